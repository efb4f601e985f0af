// Polls a Modbus/TCP device and writes to it, as poll.vbs does, in JScript.
//   cscript //nologo poll.js [device address]
// On Windows run it with cscript; the project's own script host runs the same
// file under Wine. WScript.Sleep lets the component's socket events through.
var address = WScript.Arguments.Count() > 0 ? WScript.Arguments(0) : "127.0.0.1";

var mb = WScript.CreateObject("VelkoMBDLL.VelkoMB", "mb_");
var replies = 0;

function mb_NewDataIn() {
    replies++;
}

// The component hands out and takes arrays as the platform's safe arrays:
// VBArray reads one, a dictionary's Items() makes one.
function valuesOf(safeArray) {
    return new VBArray(safeArray).toArray().slice(1).join(" ");
}

function safeArrayOf(values) {
    var dictionary = new ActiveXObject("Scripting.Dictionary");
    for (var i = 0; i < values.length; i++) dictionary.Add(i, values[i]);
    return dictionary.Items();
}

function transact(what) {
    mb.Execute();
    if (mb.WatchdogError == "1")
        WScript.Echo(what + ": no reply in time");
    else if (mb.ExceptCode != "0")
        WScript.Echo(what + ": exception " + mb.ExceptCode + " (function " + mb.ErrCode + ")");
    else
        WScript.Echo(what + ": ok (function " + mb.ErrCode + ")");
}

mb.IPAddress = address;
mb.ResponseWatchdog = "3";
mb.Connect();
for (var tries = 0; mb.ConnState != "7" && tries <= 100; tries++) {
    WScript.Sleep(50);
    mb.SockDiag();
}
if (mb.ConnState != "7") {
    WScript.Echo("cannot connect to " + address + " (state " + mb.ConnState + ")");
    WScript.Quit(1);
}
WScript.Echo("connected to " + address);

mb.MBFunCode = "3"; mb.StartAddress = "0"; mb.NrRegisters = "5";
transact("read holding registers 0-4");
WScript.Echo("  values: " + valuesOf(mb.arwReg));

mb.MBFunCode = "1"; mb.StartAddress = "0"; mb.NrRegisters = "8";
transact("read coils 0-7");
WScript.Echo("  bits: " + valuesOf(mb.arwReg));

mb.MBFunCode = "16"; mb.StartWAddress = "10"; mb.NrWRegisters = "2";
mb.arwWReg = safeArrayOf([4321, 8765]);
transact("write registers 10-11 = 4321 8765");

mb.MBFunCode = "3"; mb.StartAddress = "10"; mb.NrRegisters = "2";
transact("read back registers 10-11");
var readBack = valuesOf(mb.arwReg);
WScript.Echo("  values: " + readBack);

mb.Disconnect();
WScript.Echo(replies + " replies received");
if (replies == 4 && readBack == "4321 8765") WScript.Echo("PASS");
