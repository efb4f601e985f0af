#!/bin/bash
# The soak on demand (not part of CI): builds as ./check.sh does, then runs
# TRANSACTIONS (default 1 000 000) against the device simulator inside a
# private network namespace and prints the figures at start and end.
#   tools/soak/soak.sh [TRANSACTIONS]
set -euo pipefail
cd "$(dirname "$0")/../.."
if [ "${1:-}" != --in-netns ]; then
  bash tools/install-packages.sh
  exec unshare --net --mount bash "$0" --in-netns "${1:-1000000}"
fi
source tools/build-in-netns.sh
VELKOMB_TIMEOUT=86400 bash tests/with-peers.sh "/usr/bin/python3 tools/devices/simulator.py" \
  -- "$build/wine-run" "$build/tests/soak.exe" "$2"
