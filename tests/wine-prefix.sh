#!/bin/bash
# Creates (once) the 32-bit Wine prefix that the build and the tests use:
# null graphics driver so hidden windows work without a display, and no
# crash debugger so a crashing test fails instead of hanging.
set -euo pipefail
prefix=${1:?usage: wine-prefix.sh PREFIX}
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
if [ -f "$prefix/.velkomb-ready" ]; then exit 0; fi
mkdir -p "$prefix"
wineboot -i >/dev/null 2>&1 || true
wineserver -w
reg=$(mktemp --suffix=.reg)
cat > "$reg" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\Drivers]
"Graphics"="null"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\AeDebug]
"Debugger"="-"
"Auto"="1"
REG
wine regedit /S "$reg" >/dev/null 2>&1
rm -f "$reg"
wineserver -k || true
wineserver -w || true
touch "$prefix/.velkomb-ready"
