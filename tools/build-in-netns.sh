#!/bin/bash
# Sourced inside a private network namespace: loopback up, the build's Wine
# prefix with one persistent wineserver, and the build itself. Sets $build.
ip link set lo up
build=$(realpath -m "${BUILD_DIR:-build}")
export WINEPREFIX="$build/wineprefix" WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
mkdir -p "$build"
trap 'wineserver -k 2>/dev/null || true' EXIT
bash tests/wine-prefix.sh "$WINEPREFIX"
# One persistent wineserver: every Wine program after it starts fast.
wineserver -p >/dev/null 2>&1 </dev/null
# Start Wine's desktop and services now, with their output in a file: started
# later by a test, they would inherit the test runner's pipe and hold it open.
wine cmd /c exit > "$build/wine-start.log" 2>&1 </dev/null
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
      -DVELKOMB_WINEPREFIX="$WINEPREFIX" -DCMAKE_BUILD_TYPE=Release > "$build/configure.log"
cmake --build "$build" -j"$(nproc)"
bash tools/devices/build.sh "$build/native" > /dev/null
( cd "$build" && timeout 60 wine regsvr32 /s VelkoMB.dll > regsvr32.log 2>&1 )
