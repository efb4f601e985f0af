WScript.Echo "before"
Sub Fail
    Err.Raise vbObjectError + 7, "my source", ""
End Sub
Fail
WScript.Echo "after"
