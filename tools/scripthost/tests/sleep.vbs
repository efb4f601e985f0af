' Sleep waits about as long as asked; DoEvents returns at once.
Dim t : t = Timer
WScript.Sleep 400
Dim slept : slept = Timer - t
t = Timer
WScript.DoEvents
WScript.Sleep 0
WScript.Echo "slept enough", slept >= 0.38, "not too long", slept < 3, "doevents quick", Timer - t < 0.5
