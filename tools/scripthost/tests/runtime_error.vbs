WScript.Echo "before"
Dim zero : zero = 0
WScript.Echo 1 / zero
WScript.Echo "after"
