WScript.Echo "before"
WScript.NoSuchMember
