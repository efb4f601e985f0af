' Quit from two procedures deep ends the script at once with its code, even
' under On Error Resume Next.
Sub Inner
    On Error Resume Next
    WScript.Quit 3
    WScript.Echo "after Quit in Inner"
End Sub
Function Outer
    Inner
    WScript.Echo "after Inner"
End Function
WScript.Echo "start"
Outer
WScript.Echo "after Outer"
