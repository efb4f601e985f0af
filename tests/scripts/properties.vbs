' Both classes created by ProgID: every property round-trips and failures
' arrive as typed automation errors. Needs no events, so Wine's own cscript
' runs it.
Option Explicit
Dim failures : failures = 0

Sub Check(condition, what)
    If Not condition Then
        WScript.Echo "FAIL: " & what
        failures = failures + 1
    End If
End Sub

Sub CheckError(number, source, description, what)
    Check Err.Number = number, what & ": number " & Err.Number
    Check Err.Source = source, what & ": source " & Err.Source
    Check Err.Description = description, what & ": description " & Err.Description
    Err.Clear
End Sub

Dim mb, sock, s, v
Set mb = CreateObject("VelkoMBDLL.VelkoMB")
Check mb.IPAddress = "", "new IPAddress empty"
Check IsEmpty(mb.arwReg), "new arwReg Empty"
Check mb.ErrCode = "" And mb.ExceptCode = "" And mb.ConnState = "" And mb.WatchdogError = "", "new status texts empty"

s = "127.0.0.1"
mb.IPAddress = s
Check mb.IPAddress = "127.0.0.1", "IPAddress from a variable"
mb.StartAddress = "100" : Check mb.StartAddress = "100", "StartAddress"
mb.NrRegisters = 10 : Check mb.NrRegisters = "10", "NrRegisters from a number"
mb.StartWAddress = " 7 " : Check mb.StartWAddress = " 7 ", "StartWAddress kept as given"
mb.NrWRegisters = "abc" : Check mb.NrWRegisters = "abc", "NrWRegisters not checked when set"
mb.MBFunCode = "3"
mb.ResponseWatchdog = "2.5"
mb.arwWReg = Array(1, 2, 3)

On Error Resume Next
mb.Execute
CheckError 13, "VelkoMB.Execute", "Type mismatch", "Execute before Connect"
mb.Disconnect
Check Err.Number = 91, "Disconnect before Connect: " & Err.Number
Err.Clear
On Error GoTo 0

' Members beyond the type library, with script variables as arguments.
Check mb.Port = "502" And mb.UnitId = "1" And mb.WordOrder = "ABCD", "new Port, UnitId, WordOrder"
Check mb.LastRequest = "" And mb.LastReply = "" And mb.ExceptText = "", "new trace and exception text empty"
s = "1502" : mb.Port = s : Check mb.Port = "1502", "Port from a variable"
mb.UnitId = 17 : Check mb.UnitId = "17", "UnitId from a number"
Dim index, kind, value
index = 0 : kind = "Float32" : value = 21.5
mb.SetValue index, kind, value
Check index = 0 And kind = "Float32" And value = 21.5, "SetValue leaves its arguments alone"
On Error Resume Next
index = 1
v = mb.GetValue(index, kind)
CheckError 9, "VelkoMB.GetValue", "Subscript out of range", "GetValue without a read array"
value = "lots"
mb.SetValue index, kind, value
CheckError 13, "VelkoMB.SetValue", "Type mismatch", "SetValue of a text that is no number"
mb.SetValue index, "UInt16", -1
CheckError 6, "VelkoMB.SetValue", "Overflow", "SetValue out of range"
mb.WordOrder = "WXYZ"
mb.SetValue index, kind, 1
CheckError 5, "VelkoMB.SetValue", "Invalid procedure call or argument", "SetValue with an unknown word order"
mb.Port = "0"
mb.Connect
CheckError 6, "VelkoMB.Connect", "Overflow", "Connect to port 0"
On Error GoTo 0

' Transaction ids, retries and reconnection: texts checked by the request
' that uses them. Before Connect every request raises what Execute raises.
Check mb.TransactionIds = "Fixed" And mb.Retries = "0" And mb.AutoReconnect = "0", "new transaction policy"
Check mb.StaleReplies = "0" And mb.LastStaleReply = "", "new stale reply count and trace"
Check mb.Busy = "0" And mb.MaxPerRequest = "0" And mb.BlockDone = "0", "new asynchronous and block state"
mb.WaitForReply
mb.WaitForReply 0
s = "Counted" : mb.TransactionIds = s : Check mb.TransactionIds = "Counted", "TransactionIds from a variable"
mb.Retries = 2 : Check mb.Retries = "2", "Retries from a number"
s = "1" : mb.AutoReconnect = s : Check mb.AutoReconnect = "1", "AutoReconnect from a variable"
mb.AutoReconnect = "0"
Dim fresh : Set fresh = CreateObject("VelkoMBDLL.VelkoMB")
On Error Resume Next
v = fresh.Request(3, Array(0, 0, 0, 1))
CheckError 13, "VelkoMB.Request", "Type mismatch", "Request before Connect"
fresh.MaskWrite 0, 255, 0
CheckError 13, "VelkoMB.MaskWrite", "Type mismatch", "MaskWrite before Connect"
v = fresh.ReadDeviceId()
CheckError 13, "VelkoMB.ReadDeviceId", "Type mismatch", "ReadDeviceId before Connect"
fresh.ExecuteAsync
CheckError 13, "VelkoMB.ExecuteAsync", "Type mismatch", "ExecuteAsync before Connect"
fresh.WaitForReply -1
CheckError 5, "VelkoMB.WaitForReply", "Invalid procedure call or argument", "WaitForReply of negative seconds"
On Error GoTo 0

' Connected to a port where nothing listens: requests go nowhere, so bad
' policy texts show, and a request that sends nothing returns Empty.
mb.Port = "1"
mb.Connect
Sub SetPolicy(name, text)
    Select Case name
        Case "TransactionIds" : mb.TransactionIds = text
        Case "Retries" : mb.Retries = text
        Case "AutoReconnect" : mb.AutoReconnect = text
    End Select
End Sub
Dim policy, bad
For Each policy In Array(Array("TransactionIds", "Sequential", 5), Array("TransactionIds", "counted", 0), _
                         Array("Retries", "256", 6), Array("Retries", "many", 13), Array("Retries", "1", 0), _
                         Array("AutoReconnect", "2", 5), Array("AutoReconnect", "on", 13))
    bad = policy(1)
    SetPolicy policy(0), bad
    On Error Resume Next
    mb.Execute
    Check Err.Number = policy(2), policy(0) & " " & bad & ": number " & Err.Number
    If policy(2) <> 0 Then Check Err.Source = "VelkoMB.Execute", policy(0) & " " & bad & ": source " & Err.Source
    Err.Clear
    On Error GoTo 0
Next
mb.AutoReconnect = "2"
On Error Resume Next
v = mb.Request(3, Array(0, 0, 0, 1))
CheckError 5, "VelkoMB.Request", "Invalid procedure call or argument", "Request with AutoReconnect 2"
mb.MaskWrite 0, 255, 0
CheckError 5, "VelkoMB.MaskWrite", "Invalid procedure call or argument", "MaskWrite with AutoReconnect 2"
On Error GoTo 0
mb.AutoReconnect = "0"
Check IsEmpty(mb.Request(3, Array(0, 0, 0, 1))), "Request that sent nothing gives Empty"
Check IsEmpty(mb.ReadDeviceId()), "ReadDeviceId that sent nothing gives Empty"
mb.Disconnect

' The transports: checked at Connect, not when set.
Check mb.Transport = "TCP" And mb.SerialPort = "COM1" And mb.SerialSettings = "19200,E,8,1", "new transport settings"
s = "Carrier pigeon" : mb.Transport = s : Check mb.Transport = s, "Transport kept as given"
On Error Resume Next
mb.Connect
CheckError 5, "VelkoMB.Connect", "Invalid procedure call or argument", "Connect over an unknown transport"
mb.Transport = "rtu"
mb.SerialPort = "COM99"
mb.SerialSettings = "19200,X,8,1"
mb.Connect
CheckError 5, "VelkoMB.Connect", "Invalid procedure call or argument", "Connect with unknown parity"
mb.SerialSettings = "19200,N,8,1"
mb.Connect
Check Err.Number = 2 And Err.Source = "VelkoMB.Connect", "Connect to a missing port: " & Err.Number & " " & Err.Source
Err.Clear
On Error GoTo 0
Check mb.FrameErrors = "0", "FrameErrors after Connect"

Set sock = CreateObject("VelkoMBDLL.CSocket")
Check sock.State = 0 And sock.SocketHandle = -1 And sock.Protocol = 0, "new socket state"
Check sock.RemotePort = 0 And sock.LocalPort = 0 And sock.BytesReceived = 0, "new socket numbers"
Check sock.RemoteHost = "" And sock.RemoteHostIP = "" And sock.LocalIP = "" And sock.LocalHostName = "", "new socket texts"
sock.RemotePort = 502 : Check sock.RemotePort = 502, "RemotePort"
sock.LocalPort = 1234 : Check sock.LocalPort = 1234, "LocalPort"
sock.RemoteHost = "127.0.0.1" : Check sock.RemoteHostIP = "127.0.0.1", "dotted RemoteHost sets RemoteHostIP"
sock.RemoteHost = "device.example" : Check sock.RemoteHostIP = "127.0.0.1", "a name keeps RemoteHostIP"
sock.Protocol = 1 : Check sock.Protocol = 1, "Protocol without a socket"
sock.Protocol = 0

On Error Resume Next
sock.SendData "AB"
CheckError 40006, "CSocket.SendData", "Wrong protocol or connection state for the requested transaction or request.", "SendData before Connect"
sock.RemoteHost = ""
sock.Connect
CheckError 10049, "CSocket.CSocket.Connect", "Cannot assign requested address.", "Connect without host"
sock.Connect "127.0.0.1", 70000
CheckError 6, "CSocket.CSocket.Connect", "Overflow", "Connect to port 70000"
On Error GoTo 0
Check sock.SocketHandle <> -1, "Connect created the socket"
sock.Protocol = 1 : Check sock.Protocol = 0, "Protocol ignored while a socket exists"
sock.CloseSocket
Check sock.SocketHandle = -1 And sock.State = 0, "CloseSocket releases an unconnected socket"

If failures = 0 Then WScript.Echo "PASS" Else WScript.Echo failures & " failures"
