' Polls a Modbus/TCP device and writes to it: what a spreadsheet macro does.
'   cscript //nologo poll.vbs [device address]
' On Windows run it with cscript; the project's own script host runs the same
' file under Wine. WScript.Sleep lets the component's socket events through.
Option Explicit

Dim address : address = "127.0.0.1"
If WScript.Arguments.Count > 0 Then address = WScript.Arguments(0)

Dim mb : Set mb = WScript.CreateObject("VelkoMBDLL.VelkoMB", "mb_")
Dim replies : replies = 0

Sub mb_NewDataIn()
    replies = replies + 1
End Sub

Function Join16(values)
    Dim i, text
    For i = 1 To UBound(values)
        text = text & " " & values(i)
    Next
    Join16 = Trim(text)
End Function

Sub Transact(what)
    mb.Execute
    If mb.WatchdogError = "1" Then
        WScript.Echo what & ": no reply in time"
    ElseIf mb.ExceptCode <> "0" Then
        WScript.Echo what & ": exception " & mb.ExceptCode & " (function " & mb.ErrCode & ")"
    Else
        WScript.Echo what & ": ok (function " & mb.ErrCode & ")"
    End If
End Sub

mb.IPAddress = address
mb.ResponseWatchdog = "3"
mb.Connect
Dim tries : tries = 0
Do
    WScript.Sleep 50
    mb.SockDiag
    tries = tries + 1
Loop Until mb.ConnState = "7" Or tries > 100
If mb.ConnState <> "7" Then
    WScript.Echo "cannot connect to " & address & " (state " & mb.ConnState & ")"
    WScript.Quit 1
End If
WScript.Echo "connected to " & address

mb.MBFunCode = "3" : mb.StartAddress = "0" : mb.NrRegisters = "5"
Transact "read holding registers 0-4"
WScript.Echo "  values: " & Join16(mb.arwReg)

mb.MBFunCode = "4" : mb.StartAddress = "0" : mb.NrRegisters = "5"
Transact "read input registers 0-4"
WScript.Echo "  values: " & Join16(mb.arwReg)

mb.MBFunCode = "1" : mb.StartAddress = "0" : mb.NrRegisters = "8"
Transact "read coils 0-7"
WScript.Echo "  bits: " & Join16(mb.arwReg)

mb.MBFunCode = "16" : mb.StartWAddress = "10" : mb.NrWRegisters = "2"
mb.arwWReg = Array(1234, 5678)
Transact "write registers 10-11 = 1234 5678"

mb.MBFunCode = "3" : mb.StartAddress = "10" : mb.NrRegisters = "2"
Transact "read back registers 10-11"
WScript.Echo "  values: " & Join16(mb.arwReg)

mb.MBFunCode = "3" : mb.StartAddress = "100" : mb.NrRegisters = "1"
Transact "read the device's clock (register 100)"
WScript.Echo "  seconds since the device started: " & Join16(mb.arwReg)

mb.Disconnect
WScript.Echo replies & " replies received"
If replies = 6 Then WScript.Echo "PASS"
