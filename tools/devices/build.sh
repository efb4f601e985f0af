#!/bin/sh
# Builds the native libmodbus test server into OUTDIR (default: this directory).
# usage: build.sh [OUTDIR]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
outdir=${1:-$here}
mkdir -p "$outdir"
# shellcheck disable=SC2046  # pkg-config prints several words on purpose
gcc -O2 -Wall -Wextra -o "$outdir/libmodbus_server" "$here/libmodbus_server.c" \
    $(pkg-config --cflags --libs libmodbus)
echo "built $outdir/libmodbus_server"
