Attribute VB_Name = "VelkoMBExample"
' Excel (VBA) module: polls a Modbus/TCP device into the active sheet.
' The object is declared As Object (late bound), so every member works,
' ConnectAndWait, Port, UnitId, GetValue and the others included. With early
' binding (Tools > References > VelkoMBDLL, Dim mb As VelkoMB) those members
' are reached through an Object variable or CallByName: see the reference.
Option Explicit

Public Sub PollDevice()
    Dim mb As Object
    Set mb = CreateObject("VelkoMBDLL.VelkoMB")
    mb.IPAddress = "127.0.0.1"
    mb.Port = "502"              ' a gateway may listen on another port
    mb.UnitId = "1"              ' and a device behind it has a unit id of its own
    mb.ResponseWatchdog = "3"    ' seconds to wait for the connection and for each reply
    ' A device on a serial line instead: the COM port Device Manager shows and
    ' the settings the device was configured with (baud,parity,data bits,stop bits).
    ' mb.Transport = "RTU"
    ' mb.SerialPort = "COM3"
    ' mb.SerialSettings = "19200,E,8,1"

    On Error GoTo CannotConnect
    mb.ConnectAndWait            ' returns connected, or raises the reason
    On Error GoTo 0

    ' Read 10 holding registers from address 0 into A1:A10.
    mb.MBFunCode = "3"
    mb.StartAddress = "0"
    mb.NrRegisters = "10"
    mb.Execute
    If mb.WatchdogError = "1" Then
        MsgBox "No reply in time"
    ElseIf mb.ExceptCode <> "0" Then
        MsgBox "Device exception " & mb.ExceptCode & ": " & mb.ExceptText & vbLf & mb.LastReply
    Else
        Dim values As Variant, i As Long
        values = mb.arwReg        ' element 0 is empty, values start at 1
        For i = 1 To UBound(values)
            ActiveSheet.Cells(i, 1).Value = values(i)
        Next i
    End If

    ' Write two registers from B1:B2 to addresses 10 and 11.
    mb.MBFunCode = "16"
    mb.StartWAddress = "10"
    mb.NrWRegisters = "2"
    mb.arwWReg = Array(ActiveSheet.Cells(1, 2).Value, ActiveSheet.Cells(2, 2).Value)
    mb.Execute

    mb.Disconnect
    Exit Sub

CannotConnect:
    MsgBox "Cannot connect: " & Err.Description & " (" & Err.Number & ")"
End Sub

' Reads a floating-point value spread over two registers into C1 and writes
' the value in C2 back to the two registers after it. The defaults are those
' of the project's simulator: unit 17 on port 1502, a Float32 at register 64.
Public Sub ReadAndWriteFloat()
    Dim mb As Object
    Set mb = CreateObject("VelkoMBDLL.VelkoMB")
    mb.IPAddress = "127.0.0.1"
    mb.Port = "1502"
    mb.UnitId = "17"
    mb.ResponseWatchdog = "3"
    mb.WordOrder = "ABCD"        ' or CDAB, BADC, DCBA: as the device stores it
    mb.ConnectAndWait

    mb.MBFunCode = "3"
    mb.StartAddress = "64"
    mb.NrRegisters = "2"
    mb.Execute
    If mb.WatchdogError = "0" And mb.ExceptCode = "0" Then
        ActiveSheet.Cells(1, 3).Value = mb.GetValue(1, "Float32")   ' arwReg elements 1 and 2
    End If

    mb.SetValue 0, "Float32", ActiveSheet.Cells(2, 3).Value        ' write array elements 0 and 1
    mb.MBFunCode = "16"
    mb.StartWAddress = "66"
    mb.NrWRegisters = "2"
    mb.Execute

    mb.Disconnect
End Sub
