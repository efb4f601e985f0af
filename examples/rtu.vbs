' Reads and writes a Modbus RTU device: on a serial line, then over a TCP
' connection that carries RTU frames (as serial-to-Ethernet converters do).
'   cscript //nologo rtu.vbs [COM port] [address] [port]
' The defaults match the project's test lines: the simulator on COM5 (unit 1,
' 19200 baud, no parity: a pseudo-terminal takes none; most devices want the
' settings they were configured with, often "19200,E,8,1") and RTU over TCP
' on 127.0.0.1:1503. A COM port "-" leaves the serial line out.
Option Explicit

Dim serialPort, address, port
serialPort = "COM5" : address = "127.0.0.1" : port = "1503"
If WScript.Arguments.Count > 0 Then serialPort = WScript.Arguments(0)
If WScript.Arguments.Count > 1 Then address = WScript.Arguments(1)
If WScript.Arguments.Count > 2 Then port = WScript.Arguments(2)

Dim mb : Set mb = CreateObject("VelkoMBDLL.VelkoMB")
mb.UnitId = "1"
mb.ResponseWatchdog = "3"

' Connects over the transport set; False (with the reason shown) when not.
Function Connected(where)
    On Error Resume Next
    mb.ConnectAndWait
    Connected = Err.Number = 0
    If Err.Number <> 0 Then WScript.Echo "cannot open " & where & ": " & Err.Description & " (" & Err.Number & ")"
    On Error GoTo 0
End Function

' Executes the request set; True when the device answered it.
Function Answered(what)
    mb.Execute
    Answered = False
    If mb.WatchdogError = "1" Then
        WScript.Echo "  " & what & ": no reply in time"
    ElseIf mb.ExceptCode <> "0" Then
        WScript.Echo "  " & what & ": exception " & mb.ExceptCode & ": " & mb.ExceptText
    Else
        Answered = True
    End If
End Function

' Writes two registers, reads them back: True when they came back as written.
Function WriteAndReadBack(first, second)
    WriteAndReadBack = False
    mb.MBFunCode = "16" : mb.StartWAddress = "10" : mb.NrWRegisters = "2"
    mb.arwWReg = Array(first, second)
    If Not Answered("write registers 10-11") Then Exit Function
    mb.MBFunCode = "3" : mb.StartAddress = "10" : mb.NrRegisters = "2"
    If Not Answered("read registers 10-11") Then Exit Function
    Dim values : values = mb.arwReg
    WScript.Echo "  registers 10-11 = " & values(1) & " " & values(2) & "   (request " & mb.LastRequest & ")"
    WriteAndReadBack = values(1) = first And values(2) = second
End Function

' Reads holding registers 0-3 and writes and reads back two registers.
Function Poll(where, first, second)
    Poll = False
    If Not Connected(where) Then Exit Function
    WScript.Echo where & ":"
    mb.MBFunCode = "3" : mb.StartAddress = "0" : mb.NrRegisters = "4"
    If Answered("read registers 0-3") Then
        Dim values : values = mb.arwReg
        WScript.Echo "  registers 0-3 = " & values(1) & " " & values(2) & " " & values(3) & " " & values(4)
        Poll = WriteAndReadBack(first, second)
    End If
    If mb.FrameErrors <> "0" Then WScript.Echo "  replies with a wrong checksum: " & mb.FrameErrors
    mb.Disconnect
End Function

mb.Transport = "RTU"
mb.SerialPort = serialPort
mb.SerialSettings = "19200,N,8,1"
Dim serialDone : serialDone = serialPort = "-"
If Not serialDone Then serialDone = Poll("RTU on " & serialPort, 4321, 8765)

mb.Transport = "RTU over TCP"
mb.IPAddress = address
mb.Port = port
Dim networkDone : networkDone = Poll("RTU over TCP to " & address & ":" & port, 1111, 2222)

If serialDone And networkDone Then WScript.Echo "PASS"
