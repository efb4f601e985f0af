' CSocket's events reach VBScript handlers: a TCP client against the echo
' peer on 127.0.0.1:47000, then a refused connection on 47009.
' Needs a host whose WScript.Sleep pumps messages and whose CreateObject
' connects events (Windows' cscript, or the project's script host).
Option Explicit
Dim failures : failures = 0
Dim log : log = ""
Dim received : received = ""
Dim errorNumber, errorText

Sub Check(condition, what)
    If Not condition Then
        WScript.Echo "FAIL: " & what
        failures = failures + 1
    End If
End Sub

Sub sock_OnConnect() : log = log & "connect " : End Sub
Sub sock_OnSendProgress(bytesSent, bytesRemaining) : log = log & "progress(" & bytesSent & "," & bytesRemaining & ") " : End Sub
Sub sock_OnSendComplete() : log = log & "complete " : End Sub
Sub sock_OnClose() : log = log & "close " : End Sub
Sub sock_OnDataArrival(bytesTotal)
    Dim text
    sock.GetData text
    received = received & text
End Sub
Sub sock_OnError(Number, Description, Scode, Source, HelpFile, HelpContext, CancelDisplay)
    errorNumber = Number
    errorText = Description
    Description = "changed by the handler"
    CancelDisplay = True
End Sub

' Waits (letting events through) while the last test is false, at most 2 s.
Dim ticks
Function KeepWaiting(ready)
    If ready Or ticks >= 200 Then
        KeepWaiting = False
        ticks = 0
    Else
        WScript.Sleep 10
        ticks = ticks + 1
        KeepWaiting = True
    End If
End Function

Dim sock
Set sock = WScript.CreateObject("VelkoMBDLL.CSocket", "sock_")
sock.Connect "127.0.0.1", 47000
Check sock.State = 6, "connecting right after Connect: " & sock.State
Do While KeepWaiting(sock.State = 7) : Loop
Check sock.State = 7, "connected"
Check InStr(log, "connect ") = 1, "OnConnect first: " & log
Check sock.LocalIP = "127.0.0.1" And sock.LocalPort > 0, "local address known"

sock.SendData "hello"
Check InStr(log, "progress(5,0)") > 0, "OnSendProgress during SendData: " & log
Check InStr(log, "complete") = 0, "OnSendComplete only from the message loop"
Do While KeepWaiting(received = "hello" And InStr(log, "complete") > 0) : Loop
Check received = "hello", "echo arrived: " & received
Check InStr(log, "complete") > 0, "OnSendComplete after the loop ran"
Check sock.BytesReceived = 0, "GetData took everything"

sock.CloseSocket
Check sock.State = 8, "closing after CloseSocket: " & sock.State
Do While KeepWaiting(sock.State = 0) : Loop
Check sock.State = 0, "closed after the peer's close"
Check InStr(log, "close") > 0, "OnClose raised: " & log

sock.Connect "127.0.0.1", 47009
Do While KeepWaiting(sock.State = 9) : Loop
Check sock.State = 9, "refused connection ends in sckError"
Check errorNumber = 10061, "OnError Number: " & errorNumber
Check errorText = "Connection refused.", "OnError Description: " & errorText
Check sock.SocketHandle = -1, "socket released after the error"

If failures = 0 Then WScript.Echo "PASS" Else WScript.Echo failures & " failures"
