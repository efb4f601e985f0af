' An object from the system by ProgID, through VBScript's CreateObject and
' through the host's WScript.CreateObject.
Dim a, b
Set a = CreateObject("Scripting.Dictionary")
Set b = WScript.CreateObject("Scripting.Dictionary")
a.Add "x", 1
b.Add "y", 2 : b.Add "z", 3
WScript.Echo a.Count, b.Count, b("z"), b.Exists("y")
On Error Resume Next
WScript.CreateObject "No.Such.Object"
WScript.Echo "unknown ProgID", Hex(Err.Number)
