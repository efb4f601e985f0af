// Quit without a code is exit code 0, also from inside try/catch.
function leave() { WScript.Quit(); }
WScript.Echo("start");
try { leave(); } catch (e) { WScript.Echo("caught", e.number); }
WScript.Echo("after Quit");
