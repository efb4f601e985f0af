WScript.Echo("before");
  throw new Error("custom failure");
