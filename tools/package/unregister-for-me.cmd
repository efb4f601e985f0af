@echo off
rem Removes the current user's registration of VelkoMB.dll.
"%~dp0VelkoMBReg.exe" /u
pause
