#!/bin/bash
# Run by run.sh and breakdown.sh inside a private network and mount
# namespace: loopback up and a hosts file of its own, the bench's Wine prefix
# with one persistent wineserver on the measured core, the build of the
# component, the script host and the bench programs, registration, then the
# driver named by the first argument (bench.py or breakdown.py) with the
# other arguments.
set -euo pipefail
cd "$(dirname "$0")/../.."
driver=$1
shift
source tools/private-namespace.sh
work=$(realpath -m "${BENCH_DIR:-build-bench}")
core=${BENCH_CORE:-$(($(nproc) - 1))}
export WINEPREFIX="$work/wineprefix" WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
mkdir -p "$work"
trap 'wineserver -k 2>/dev/null || true' EXIT
bash tests/wine-prefix.sh "$WINEPREFIX"
taskset -c "$core" wineserver -p >/dev/null 2>&1 </dev/null

echo "building into $work (logs: $work/build.log)"
toolchain="$PWD/cmake/mingw-i686.cmake"
{
  # The release build's code, with its symbols and debug information kept
  # (-g changes no code) so that breakdown.py can name the functions.
  cmake -S . -B "$work/main" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DVELKOMB_WINEPREFIX="$WINEPREFIX" \
        -DCMAKE_BUILD_TYPE=Bench -DCMAKE_CXX_FLAGS_BENCH="-O3 -DNDEBUG -g" -DCMAKE_C_FLAGS_BENCH="-O3 -DNDEBUG -g"
  cmake --build "$work/main" -j"$(nproc)" --target VelkoMB scripthost
  cmake -S tools/bench -B "$work/bench" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release
  cmake --build "$work/bench" -j"$(nproc)"
  bash tools/devices/build.sh "$work/native"
  for program in native_bench epoll_device; do
    # shellcheck disable=SC2046  # pkg-config prints several words on purpose
    gcc -O2 -Wall -Wextra -o "$work/native/$program" "tools/bench/$program.c" $(pkg-config --cflags --libs libmodbus)
  done
} > "$work/build.log" 2>&1 || { tail -n 30 "$work/build.log"; exit 1; }
( cd "$work/main" && taskset -c "$core" timeout 60 wine regsvr32 /s VelkoMB.dll > "$work/regsvr32.log" 2>&1 )

/usr/bin/python3 "tools/bench/$driver" --build "$work" --prefix "$WINEPREFIX" --core "$core" "$@"
