// The same component from JScript: numbers come back as negative HRESULTs.
var failures = 0;
function check(condition, what) { if (!condition) { WScript.Echo("FAIL: " + what); failures++; } }

var mb = new ActiveXObject("VelkoMBDLL.VelkoMB");
mb.IPAddress = "127.0.0.1";
check(mb.IPAddress === "127.0.0.1", "IPAddress");
try {
    mb.Execute();
    check(false, "Execute before Connect must fail");
} catch (e) {
    check((e.number >>> 0) === 0x800A000D, "Execute error number " + e.number);
    check(e.description === "Type mismatch", "Execute error text " + e.description);
}
check(mb.TransactionIds === "Fixed" && mb.Retries === "0" && mb.AutoReconnect === "0" && mb.StaleReplies === "0",
      "new transaction policy");
var ids = "Counted";
mb.TransactionIds = ids;
check(mb.TransactionIds === "Counted", "TransactionIds from a variable");
try {
    mb.Request(3, [0, 0, 0, 1]);
    check(false, "Request before Connect must fail");
} catch (e) {
    check((e.number >>> 0) === 0x800A000D, "Request error number " + e.number);
}
var sock = new ActiveXObject("VelkoMBDLL.CSocket");
sock.LocalPort = 4000;
check(sock.LocalPort === 4000, "LocalPort");
try {
    sock.SendData("x");
    check(false, "SendData before Connect must fail");
} catch (e) {
    check((e.number >>> 0) === (0x800A0000 | 40006) >>> 0, "SendData error number " + e.number);
}
WScript.Echo(failures === 0 ? "PASS" : failures + " failures");
