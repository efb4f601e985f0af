@echo off
rem Registers the VelkoMB.dll beside this file for the current user only:
rem no administrator rights needed. unregister-for-me.cmd takes it away.
"%~dp0VelkoMBReg.exe" "%~dp0VelkoMB.dll"
pause
