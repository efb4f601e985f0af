WScript.Echo("never runs");
var x = ;
