#!/bin/bash
# Creates (once) the Wine prefix that the build and the tests use, 32-bit
# (win32, the default) or 64-bit (win64): null graphics driver so hidden
# windows work without a display, and no crash debugger so a crashing test
# fails instead of hanging.
set -euo pipefail
prefix=${1:?usage: wine-prefix.sh PREFIX [win32|win64]}
export WINEPREFIX=$prefix WINEARCH=${2:-win32} WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
source "$(dirname "$0")/wine-loader.sh"
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
"$wine" regedit /S "$reg" >/dev/null 2>&1
rm -f "$reg"
wineserver -k || true
wineserver -w || true
touch "$prefix/.velkomb-ready"
