' Reads and writes a Float32 in two word orders. Devices differ in how they
' spread a 32-bit value over two registers: ABCD puts the most significant
' register first (the Modbus convention), CDAB the least significant.
'   cscript //nologo word_order.vbs [address] [port] [unit id]
' The defaults match the project's simulator: unit 17 on 127.0.0.1:1502 holds
' the same Float32 at register 64 in ABCD and at register 68 in CDAB. The
' script also WRITES registers 120 to 123: try it on a simulator, not on a
' running plant.
Option Explicit

Dim address, port, unit
address = "127.0.0.1" : port = "1502" : unit = "17"
If WScript.Arguments.Count > 0 Then address = WScript.Arguments(0)
If WScript.Arguments.Count > 1 Then port = WScript.Arguments(1)
If WScript.Arguments.Count > 2 Then unit = WScript.Arguments(2)

Dim mb : Set mb = CreateObject("VelkoMBDLL.VelkoMB")
mb.IPAddress = address : mb.Port = port : mb.UnitId = unit
mb.ResponseWatchdog = "3"
mb.ConnectAndWait

Dim good : good = 0

Sub Transact(what)
    mb.Execute
    If mb.WatchdogError = "1" Then
        WScript.Echo what & ": no reply in time"
    ElseIf mb.ExceptCode <> "0" Then
        WScript.Echo what & ": exception " & mb.ExceptCode & " (" & mb.ExceptText & ")"
    Else
        good = good + 1
    End If
End Sub

' The registers arwReg holds, as four hexadecimal digits each.
Function Registers()
    Dim values, i, text
    values = mb.arwReg
    For i = 1 To UBound(values)
        text = text & " " & Right("000" & Hex(values(i)), 4)
    Next
    Registers = Trim(text)
End Function

' Reading: the same value, stored two ways.
Dim order, start
For Each order In Array("ABCD", "CDAB")
    If order = "ABCD" Then start = 64 Else start = 68
    mb.MBFunCode = "3" : mb.StartAddress = start : mb.NrRegisters = "2"
    Transact "read registers " & start & "-" & (start + 1)
    mb.WordOrder = order
    WScript.Echo "read  " & order & " at " & start & ": registers " & Registers() & " = " & mb.GetValue(1, "Float32")
Next

' Writing: SetValue fills the write array (from element 0) in the word
' order; function 16 with two registers writes them.
Dim written : written = 0
For Each order In Array("ABCD", "CDAB")
    If order = "ABCD" Then start = 120 Else start = 122
    mb.WordOrder = order
    mb.SetValue 0, "Float32", 21.5
    mb.MBFunCode = "16" : mb.StartWAddress = start : mb.NrWRegisters = "2"
    Transact "write registers " & start & "-" & (start + 1)
    mb.MBFunCode = "3" : mb.StartAddress = start : mb.NrRegisters = "2"
    Transact "read back registers " & start & "-" & (start + 1)
    WScript.Echo "wrote " & order & " at " & start & ": registers " & Registers() & " = " & mb.GetValue(1, "Float32")
    If mb.GetValue(1, "Float32") = 21.5 Then written = written + 1
Next

mb.Disconnect
If good = 6 And written = 2 Then WScript.Echo "PASS"
