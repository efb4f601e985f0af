' Echo's conversions and joining, the arguments collection, names and the
' two text streams, through both WScript and its alias WSH.
WScript.Echo "text", 42, 2.5, True, Null, Empty
WScript.Echo
Dim args : Set args = WScript.Arguments
WSH.Echo args.Count, args.Length, args(0), args.Item(1), WScript.Arguments(2), args.Unnamed.Count
WScript.Echo WScript.Name, WScript.ScriptName, Right(WScript.ScriptFullName, 26)
WScript.StdOut.Write "no newline "
WScript.StdOut.WriteLine "then newline"
WScript.StdErr.WriteLine "to stderr"
On Error Resume Next
WScript.Echo args.Item(3)
WScript.Echo "out of range", Hex(Err.Number)
