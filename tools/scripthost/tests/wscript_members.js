// The same members from JScript, whose names are case-sensitive to the
// script but not to the host.
var args = WScript.Arguments;
WScript.Echo("js", args.length, args.Count(), args(0), args.Item(1));
WScript.Echo(WScript.ScriptName, null, true, 1 / 4);
WScript.StdOut.WriteLine("line");
