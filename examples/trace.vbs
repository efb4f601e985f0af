' Shows the frames of a transaction the device refuses: the request sent,
' the exception reply and the name of its code.
'   cscript //nologo trace.vbs [address] [port] [register]
' The defaults match the project's simulator on 127.0.0.1:502, which has no
' register 250.
Option Explicit

Dim address, port, register
address = "127.0.0.1" : port = "502" : register = "250"
If WScript.Arguments.Count > 0 Then address = WScript.Arguments(0)
If WScript.Arguments.Count > 1 Then port = WScript.Arguments(1)
If WScript.Arguments.Count > 2 Then register = WScript.Arguments(2)

Dim mb : Set mb = CreateObject("VelkoMBDLL.VelkoMB")
mb.IPAddress = address : mb.Port = port
mb.ResponseWatchdog = "3"
mb.ConnectAndWait

mb.MBFunCode = "3" : mb.StartAddress = register : mb.NrRegisters = "2"
mb.Execute
WScript.Echo "request: " & mb.LastRequest
WScript.Echo "reply:   " & mb.LastReply
If mb.WatchdogError = "1" Then
    WScript.Echo "no reply in time"
ElseIf mb.ExceptCode <> "0" Then
    WScript.Echo "function " & mb.ErrCode & ", exception " & mb.ExceptCode & ": " & mb.ExceptText
    WScript.Echo "PASS"
Else
    WScript.Echo "register " & register & " was read: no exception"
End If
mb.Disconnect
