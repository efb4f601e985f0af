#!/bin/bash
# Sourced inside a private network and mount namespace (unshare --net
# --mount): loopback up and a hosts file of its own, the build's Wine prefix
# with one persistent wineserver, and the build itself. Sets $build.
#   ARCH=i686 (default, into build/) or ARCH=x86_64 (into build64/);
#   BUILD_DIR=dir chooses another directory.
source tools/private-namespace.sh
case ${ARCH:=i686} in
  i686) winearch=win32 default_build=build ;;
  x86_64) winearch=win64 default_build=build64 ;;
  *) echo "unknown ARCH $ARCH (i686 or x86_64)"; exit 1 ;;
esac
build=$(realpath -m "${BUILD_DIR:-$default_build}")
export WINEPREFIX="$build/wineprefix" WINEARCH=$winearch WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
mkdir -p "$build"
trap 'wineserver -k 2>/dev/null || true' EXIT
source tests/wine-loader.sh
bash tests/wine-prefix.sh "$WINEPREFIX" "$WINEARCH"
# One persistent wineserver: every Wine program after it starts fast.
wineserver -p >/dev/null 2>&1 </dev/null
# Start Wine's desktop and services now, with their output in a file: started
# later by a test, they would inherit the test runner's pipe and hold it open.
"$wine" cmd /c exit > "$build/wine-start.log" 2>&1 </dev/null
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$ARCH.cmake" \
      -DVELKOMB_WINEPREFIX="$WINEPREFIX" -DCMAKE_BUILD_TYPE=Release > "$build/configure.log"
cmake --build "$build" -j"$(nproc)"
bash tools/devices/build.sh "$build/native" > /dev/null
( cd "$build" && timeout 60 "$wine" regsvr32 /s VelkoMB.dll > regsvr32.log 2>&1 )
