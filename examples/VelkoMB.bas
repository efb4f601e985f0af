Attribute VB_Name = "VelkoMBExample"
' Excel (VBA) module: polls a Modbus/TCP device into the active sheet.
' Tools > References > VelkoMBDLL, or use CreateObject as below.
Option Explicit

Public Sub PollDevice()
    Dim mb As Object
    Set mb = CreateObject("VelkoMBDLL.VelkoMB")
    mb.IPAddress = "127.0.0.1"
    mb.ResponseWatchdog = "3"
    mb.Connect

    Dim started As Single
    started = Timer
    Do
        DoEvents                 ' lets the socket's events through
        mb.SockDiag
    Loop Until mb.ConnState = "7" Or Timer - started > 5
    If mb.ConnState <> "7" Then
        MsgBox "Cannot connect (state " & mb.ConnState & ")"
        Exit Sub
    End If

    ' Read 10 holding registers from address 0 into A1:A10.
    mb.MBFunCode = "3"
    mb.StartAddress = "0"
    mb.NrRegisters = "10"
    mb.Execute
    If mb.WatchdogError = "1" Then
        MsgBox "No reply in time"
    ElseIf mb.ExceptCode <> "0" Then
        MsgBox "Device exception " & mb.ExceptCode
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
End Sub
