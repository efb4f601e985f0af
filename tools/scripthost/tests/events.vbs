' Events of the project's socket: a refused connection on loopback raises
' OnError during Sleep, with Description by reference. Needs VelkoMB.dll
' registered.
Dim sock, errors : errors = 0
Set sock = WScript.CreateObject("VelkoMBDLL.CSocket", "sock_")
Sub sock_OnError(Number, Description, Scode, Source, HelpFile, HelpContext, CancelDisplay)
    errors = errors + 1
    WScript.Echo "OnError", Number, Description
    Description = "written by the handler"
End Sub
sock.Connect "127.0.0.1", 1
Dim i
For i = 1 To 100
    If errors > 0 Then Exit For
    WScript.Sleep 50
Next
WScript.DisconnectObject sock
sock.Connect "127.0.0.1", 1
WScript.Sleep 300
WScript.Echo "errors", errors
