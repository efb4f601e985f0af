#!/bin/bash
# Runs a test program with peer processes around it:
#   with-peers.sh "peer command" ["peer command" ...] -- test command...
# Each peer must print a line when it is ready; peers are stopped afterwards,
# whatever the test's outcome.
set -uo pipefail
peers=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do peers+=("$1"); shift; done
shift
pids=()
logs=$(mktemp -d)
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$logs"
}
trap cleanup EXIT
for i in "${!peers[@]}"; do
  bash -c "exec ${peers[$i]}" > "$logs/$i.out" 2> "$logs/$i.err" &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$logs/$i.out" ] && break; sleep 0.1; done
  if [ ! -s "$logs/$i.out" ]; then echo "peer did not start: ${peers[$i]}"; cat "$logs/$i.err"; exit 1; fi
done
"$@"
