#!/bin/bash
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/build-in-netns.sh
/usr/bin/python3 tools/devices/simulator.py > "$build/simulator.log" 2>&1 &
simulator=$!
trap 'kill $simulator 2>/dev/null; wineserver -k 2>/dev/null || true' EXIT
for _ in $(seq 50); do grep -q listening "$build/simulator.log" && break; sleep 0.1; done
run() {
  wine "$build/tools/scripthost/scripthost.exe" //nologo "Z:$PWD/examples/$1" "${@:2}" > "$build/demo.log" 2>&1 || true
  tr -d '\r' < "$build/demo.log"
}
echo "--- examples/poll.vbs against the simulator on 127.0.0.1:502"
run poll.vbs 127.0.0.1
echo
echo "--- examples/gateway.vbs: unit 17 behind the simulator's gateway on 127.0.0.1:1502"
run gateway.vbs 127.0.0.1 1502 17
echo
echo "--- examples/word_order.vbs: a Float32 in two word orders, same unit and port"
run word_order.vbs 127.0.0.1 1502 17
echo
echo "--- examples/rtu.vbs: RTU frames over TCP to the simulator's port 1503 (no serial line here)"
run rtu.vbs - 127.0.0.1 1503
