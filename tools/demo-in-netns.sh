#!/bin/bash
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/build-in-netns.sh
/usr/bin/python3 tools/devices/simulator.py > "$build/simulator.log" 2>&1 &
simulator=$!
trap 'kill $simulator 2>/dev/null; wineserver -k 2>/dev/null || true' EXIT
for _ in $(seq 50); do grep -q listening "$build/simulator.log" && break; sleep 0.1; done
echo "--- examples/poll.vbs against the simulator on 127.0.0.1:502"
wine "$build/tools/scripthost/scripthost.exe" //nologo "Z:$PWD/examples/poll.vbs" 127.0.0.1 > "$build/demo.log" 2>&1 || true
tr -d '\r' < "$build/demo.log"
