#!/bin/bash
# Sets up a fresh Debian machine (as root), builds VelkoMB.dll and runs every
# test inside a private network namespace with loopback only.
#   ./check.sh                  install what is missing, build, register, test
#   BUILD_DIR=dir ./check.sh    another build directory (default: build)
set -euo pipefail
cd "$(dirname "$0")"
bash tools/install-packages.sh
exec unshare --net bash tests/run-in-netns.sh "$@"
