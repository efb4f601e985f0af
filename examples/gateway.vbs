' Polls a device behind a Modbus/TCP gateway: another port than 502 and a
' unit id of its own, as serial devices behind a gateway have. Reads a 32-bit
' integer and a floating-point value, each spread over two registers.
'   cscript //nologo gateway.vbs [address] [port] [unit id]
' The defaults match the project's simulator: unit 17 on 127.0.0.1:1502,
' an Int32 at register 32 and a Float32 at register 64, both ABCD.
Option Explicit

Dim address, port, unit
address = "127.0.0.1" : port = "1502" : unit = "17"
If WScript.Arguments.Count > 0 Then address = WScript.Arguments(0)
If WScript.Arguments.Count > 1 Then port = WScript.Arguments(1)
If WScript.Arguments.Count > 2 Then unit = WScript.Arguments(2)

Dim mb : Set mb = CreateObject("VelkoMBDLL.VelkoMB")
mb.IPAddress = address
mb.Port = port
mb.UnitId = unit
mb.ResponseWatchdog = "3"
mb.WordOrder = "ABCD"

On Error Resume Next
mb.ConnectAndWait                     ' raises the reason when it cannot connect
If Err.Number <> 0 Then
    WScript.Echo "cannot connect to " & address & ":" & port & ": " & Err.Description & " (" & Err.Number & ")"
    WScript.Quit 1
End If
On Error GoTo 0
WScript.Echo "connected to unit " & unit & " at " & address & ":" & port

' Reads `count` holding registers from `start`; False (with the reason
' shown) when no values came.
Function ReadRegisters(start, count)
    mb.MBFunCode = "3" : mb.StartAddress = start : mb.NrRegisters = count
    mb.Execute
    ReadRegisters = False
    If mb.WatchdogError = "1" Then
        WScript.Echo "  no reply in time"
    ElseIf mb.ExceptCode <> "0" Then
        WScript.Echo "  exception " & mb.ExceptCode & ": " & mb.ExceptText
    Else
        ReadRegisters = True
    End If
End Function

Dim poll, answered
answered = 0
For poll = 1 To 3
    If ReadRegisters(32, 2) Then
        WScript.Echo "poll " & poll & ": Int32 at 32 = " & mb.GetValue(1, "Int32")
        If ReadRegisters(64, 2) Then
            WScript.Echo "        Float32 at 64 = " & mb.GetValue(1, "Float32")
            answered = answered + 1
        End If
    End If
    WScript.Sleep 200
Next

mb.Disconnect
WScript.Echo answered & " of 3 polls answered"
If answered = 3 Then WScript.Echo "PASS"
