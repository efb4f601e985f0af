#!/bin/bash
# Runs one native fuzzer for a bounded time from its seed corpus:
#   run.sh FUZZER_BINARY SEED_CORPUS_DIR WORK_DIR [SECONDS]
# FUZZ_SECONDS overrides the time (for longer runs on demand). New inputs go
# to WORK_DIR, never into the source tree. Fails on any crash, sanitizer
# report or leak, and prints the executions and time.
set -uo pipefail
fuzzer=${1:?fuzzer} seeds=${2:?seed corpus} work=${3:?work dir}
seconds=${FUZZ_SECONDS:-${4:-60}}
name=$(basename "$fuzzer")
mkdir -p "$work/corpus" "$work/artifacts"
log="$work/$name.log"
"$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
          "$work/corpus" "$seeds" > "$log" 2>&1
status=$?
runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')
echo "fuzz $name: ${runs:-?} executions in $seconds s, exit $status"
if [ $status -ne 0 ]; then
  tail -n 60 "$log"
  ls "$work/artifacts"
  exit 1
fi
