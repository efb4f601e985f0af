' CSocket on its own: a small TCP server that answers its clients in upper
' case, two clients talking to it, and a UDP exchange.
'   cscript //nologo sockets.vbs [first port]
' Uses the port given (default 5050) for the server and the next two for UDP,
' all on 127.0.0.1. Events need a host whose WScript.Sleep lets them through
' (cscript on Windows) and WScript.CreateObject with a prefix for the
' handlers.
Option Explicit

Dim port : port = 5050
If WScript.Arguments.Count > 0 Then port = CLng(WScript.Arguments(0))

' Waits, letting events through, until `done` is true; at most 3 s.
Dim ticks
Function KeepWaiting(done)
    KeepWaiting = Not done And ticks < 300
    If KeepWaiting Then WScript.Sleep 10 : ticks = ticks + 1 Else ticks = 0
End Function

' --- The server: one listening socket, one socket per accepted client ---

Dim listener : Set listener = WScript.CreateObject("VelkoMBDLL.CSocket", "listener_")
Dim connections : Set connections = CreateObject("Scripting.Dictionary")

listener.Bind port, "127.0.0.1"
listener.Listen
WScript.Echo "server listening on 127.0.0.1:" & port

' A client asks to connect: a new socket takes the connection over.
Sub listener_OnConnectionRequest(requestID)
    Dim connection : Set connection = WScript.CreateObject("VelkoMBDLL.CSocket", "connection_")
    connection.Accept requestID
    connections.Add connections.Count, connection
    WScript.Echo "server accepted a client from port " & connection.RemotePort
End Sub

' All connections share these handlers: each answers what it has received.
Sub connection_OnDataArrival(bytesTotal)
    Dim connection, text
    For Each connection In connections.Items
        If connection.BytesReceived > 0 Then
            connection.GetData text
            connection.SendData UCase(text)
        End If
    Next
End Sub

' --- Two clients ---

Dim clients : clients = Array(WScript.CreateObject("VelkoMBDLL.CSocket", "client_"), _
                              WScript.CreateObject("VelkoMBDLL.CSocket", "client_"))
Dim answers : Set answers = CreateObject("Scripting.Dictionary")

Sub client_OnDataArrival(bytesTotal)
    Dim i, text
    For i = 0 To UBound(clients)
        If clients(i).BytesReceived > 0 Then
            clients(i).GetData text
            answers(i) = answers(i) & text
        End If
    Next
End Sub

Dim client, i
For Each client In clients
    client.Connect "127.0.0.1", port
Next
Do While KeepWaiting(clients(0).State = 7 And clients(1).State = 7 And connections.Count = 2) : Loop
For i = 0 To UBound(clients)
    answers(i) = ""
    clients(i).SendData "hello from client " & (i + 1)
Next
Do While KeepWaiting(Len(answers(0)) = 19 And Len(answers(1)) = 19) : Loop
For i = 0 To UBound(clients)
    WScript.Echo "client " & (i + 1) & " got: " & answers(i)
    clients(i).CloseSocket
Next
listener.CloseSocket

' --- UDP: a datagram and its answer ---

Dim ping : Set ping = WScript.CreateObject("VelkoMBDLL.CSocket", "ping_")
Dim pong : Set pong = WScript.CreateObject("VelkoMBDLL.CSocket", "pong_")
Dim echoed : echoed = ""
ping.Protocol = 1 : pong.Protocol = 1              ' sckUDPProtocol
ping.Bind port + 1, "127.0.0.1"
pong.Bind port + 2, "127.0.0.1"

' The receiver answers whoever sent the datagram: a receive sets RemoteHost
' and RemotePort to the sender.
Sub pong_OnDataArrival(bytesTotal)
    Dim text
    pong.GetData text
    pong.SendData "pong to " & text
End Sub

Sub ping_OnDataArrival(bytesTotal)
    ping.GetData echoed
End Sub

ping.RemoteHost = "127.0.0.1"
ping.RemotePort = port + 2
ping.SendData "ping"
Do While KeepWaiting(echoed <> "") : Loop
WScript.Echo "UDP answer from port " & ping.RemotePort & ": " & echoed
ping.CloseSocket
pong.CloseSocket

If answers(0) = "HELLO FROM CLIENT 1" And answers(1) = "HELLO FROM CLIENT 2" And echoed = "pong to ping" Then
    WScript.Echo "PASS"
End If
