var d = WScript.CreateObject("Scripting.Dictionary");
d.Add("k", "v");
WScript.Echo(d.Count, d.Item("k"));
