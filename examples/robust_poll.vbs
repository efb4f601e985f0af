' Polls a device with the client's safeguards on and prints what happened at
' each poll: counted transaction ids (a late or foreign reply is dropped and
' counted, never taken for the answer), one retry after a time-out, and a new
' connection when the old one is gone (here after a Disconnect halfway).
'   cscript //nologo robust_poll.vbs [address] [port] [polls]
' The defaults match the project's simulator on 127.0.0.1:502.
Option Explicit

Dim address, port, polls
address = "127.0.0.1" : port = "502" : polls = 4
If WScript.Arguments.Count > 0 Then address = WScript.Arguments(0)
If WScript.Arguments.Count > 1 Then port = WScript.Arguments(1)
If WScript.Arguments.Count > 2 Then polls = CInt(WScript.Arguments(2))

Dim mb : Set mb = CreateObject("VelkoMBDLL.VelkoMB")
mb.IPAddress = address : mb.Port = port
mb.ResponseWatchdog = "3"
mb.TransactionIds = "Counted"
mb.Retries = "1"
mb.AutoReconnect = "1"
mb.ConnectAndWait

Function Values()
    Dim registers, i, text
    registers = mb.arwReg
    For i = 1 To UBound(registers)
        text = text & " " & registers(i)
    Next
    Values = Trim(text)
End Function

' One poll; True when the device answered with values.
Function Poll(number)
    Poll = False
    On Error Resume Next
    mb.Execute
    If Err.Number <> 0 Then
        WScript.Echo "poll " & number & ": " & Err.Description & " (" & Err.Source & ")"
        Exit Function
    End If
    On Error GoTo 0
    WScript.Echo "poll " & number & ": WatchdogError " & mb.WatchdogError & ", ExceptCode " & mb.ExceptCode
    WScript.Echo "  request: " & mb.LastRequest
    WScript.Echo "  reply:   " & mb.LastReply
    If mb.StaleReplies = "0" Then
        WScript.Echo "  stale replies: none"
    Else
        WScript.Echo "  stale replies: " & mb.StaleReplies & ", the last: " & mb.LastStaleReply
    End If
    If mb.WatchdogError = "0" And mb.ExceptCode = "0" Then
        WScript.Echo "  values:  " & Values()
        Poll = True
    End If
End Function

mb.MBFunCode = "3" : mb.StartAddress = "0" : mb.NrRegisters = "3"
Dim i, answered : answered = 0
For i = 1 To polls
    If i = polls \ 2 + 1 Then
        mb.Disconnect
        WScript.Echo "disconnected: the next poll connects again"
    End If
    If Poll(i) Then answered = answered + 1
    WScript.Sleep 100
Next
mb.SockDiag
WScript.Echo answered & " of " & polls & " polls answered, ConnState " & mb.ConnState
mb.Disconnect
If answered = polls Then WScript.Echo "PASS"
