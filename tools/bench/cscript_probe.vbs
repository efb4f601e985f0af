' What the bench loop meets under Wine's own cscript: its WScript has no
' Sleep and nothing pumps window messages, so Connect cannot complete. Polls
' the state for 2 s without sleeping, then tries one Execute.
Option Explicit
Dim mb : Set mb = CreateObject("VelkoMBDLL.VelkoMB")
mb.IPAddress = "127.0.0.1"
mb.ResponseWatchdog = "1"
mb.MBFunCode = "3" : mb.StartAddress = "0" : mb.NrRegisters = "10"
mb.Connect
Dim started : started = Timer
Do
    mb.SockDiag
Loop Until mb.ConnState = "7" Or Timer - started > 2
Dim state : state = mb.ConnState
started = Timer
mb.Execute
WScript.Echo "ConnState after 2 s of polling: " & state & "; Execute returned after " & _
    Replace(CStr(Round(Timer - started, 3)), ",", ".") & " s with ErrCode """ & mb.ErrCode & """"
