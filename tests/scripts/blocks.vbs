' A block of 1,000 registers read through MaxPerRequest, as a script reads
' it: from a device that takes 125 a request (127.0.0.1:502), and from one
' that caps its requests at 50 (port 1502), where the block ends at its
' first part until MaxPerRequest fits. Then the same block without waiting.
Option Explicit
Dim failures : failures = 0

Sub Check(condition, what)
    If Not condition Then
        WScript.Echo "FAIL: " & what
        failures = failures + 1
    End If
End Sub

Function ReadBlock(mb, most)
    mb.MaxPerRequest = most
    mb.Execute
    ReadBlock = mb.BlockDone
End Function

Function HoldsTheBlock(values)
    HoldsTheBlock = False
    If Not IsArray(values) Then Exit Function
    If UBound(values) <> 1000 Then Exit Function
    Dim i
    For i = 1 To 1000
        If values(i) <> 999 + i Then Exit Function
    Next
    HoldsTheBlock = True
End Function

Dim mb : Set mb = CreateObject("VelkoMBDLL.VelkoMB")
mb.IPAddress = "127.0.0.1" : mb.ResponseWatchdog = "2"
mb.ConnectAndWait
mb.MBFunCode = "3" : mb.StartAddress = "0" : mb.NrRegisters = "1000"
Check ReadBlock(mb, "125") = "1000", "1,000 registers in parts of 125"
Check HoldsTheBlock(mb.arwReg), "the parts put together"
Check mb.LastRequest = "0B 00 00 00 00 06 01 03 03 6B 00 7D", "the last part: " & mb.LastRequest

Dim capped : Set capped = CreateObject("VelkoMBDLL.VelkoMB")
capped.IPAddress = "127.0.0.1" : capped.Port = "1502" : capped.ResponseWatchdog = "2"
capped.ConnectAndWait
capped.MBFunCode = "3" : capped.StartAddress = "0" : capped.NrRegisters = "1000"
Check ReadBlock(capped, "125") = "0", "a capped device refuses the first part"
Check capped.ErrCode = "131" And capped.ExceptCode = "3", "its exception: " & capped.ErrCode & " " & capped.ExceptCode
Check IsEmpty(capped.arwReg), "nothing read"
Check ReadBlock(capped, "50") = "1000", "1,000 registers in parts of 50"
Check HoldsTheBlock(capped.arwReg), "the capped device's parts put together"

capped.StartAddress = "1"
capped.ExecuteAsync
Check capped.Busy = "1", "busy while the block goes"
capped.WaitForReply
Dim values : values = capped.arwReg
Check capped.Busy = "0" And capped.BlockDone = "1000" And values(1) = 1001, "the block without waiting"

If failures = 0 Then WScript.Echo "PASS" Else WScript.Echo failures & " failures"
