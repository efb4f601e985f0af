' The bench's transaction loop as a script user writes it: Execute, then the
' values, with a NewDataIn handler connected.
'   bench_loop.vbs COUNT HANDSHAKE
' Prints "ready" and "done" around the measured loop and waits, after each,
' for the file HANDSHAKE.1 or HANDSHAKE.2 (the driver reads CPU counters in
' between); the last line is "result {...}".
Option Explicit

Dim count : count = CLng(WScript.Arguments(0))
Dim handshake : handshake = WScript.Arguments(1)
Dim fso : Set fso = CreateObject("Scripting.FileSystemObject")
Dim replies : replies = 0

Sub mb_NewDataIn()
    replies = replies + 1
End Sub

Sub Checkpoint(word, goFile)
    WScript.Echo word
    Dim waited : waited = 0
    Do Until fso.FileExists(goFile) Or waited > 6000
        WScript.Sleep 5
        waited = waited + 1
    Loop
End Sub

Function Transact()
    mb.Execute
    Dim values : values = mb.arwReg
    Transact = (values(1) = 1000 And values(10) = 1009)
End Function

Function Decimal(number)
    Decimal = Replace(CStr(number), ",", ".")
End Function

Dim mb : Set mb = WScript.CreateObject("VelkoMBDLL.VelkoMB", "mb_")
mb.IPAddress = "127.0.0.1"
mb.ResponseWatchdog = "3"
mb.MBFunCode = "3" : mb.StartAddress = "0" : mb.NrRegisters = "10"
mb.Connect
Dim tries : tries = 0
Do
    WScript.Sleep 10
    mb.SockDiag
    tries = tries + 1
Loop Until mb.ConnState = "7" Or tries > 300
If mb.ConnState <> "7" Then
    WScript.Echo "not connected (state " & mb.ConnState & ")"
    WScript.Quit 2
End If

Dim i, failures : failures = 0
For i = 1 To 100
    If Not Transact() Then failures = failures + 1
Next
Checkpoint "ready", handshake & ".1"
Dim started : started = Timer
For i = 1 To count
    If Not Transact() Then failures = failures + 1
Next
Dim elapsed : elapsed = Timer - started
Checkpoint "done", handshake & ".2"
mb.Disconnect
WScript.Echo "result {""n"": " & count & ", ""seconds"": " & Decimal(elapsed) & _
    ", ""tx_per_s"": " & Decimal(Round(count / elapsed, 1)) & ", ""mean_us"": " & Decimal(Round(elapsed / count * 1e6, 2)) & _
    ", ""failures"": " & failures & ", ""replies"": " & replies & "}"
