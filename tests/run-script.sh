#!/bin/bash
# Runs a host script and requires its own success line: Wine's cscript exits
# with 0 even when a script dies of an uncaught error.
#   run-script.sh EMULATOR HOST SCRIPT [ARGS...]
set -uo pipefail
emulator=$1 host=$2 script=$3
shift 3
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$emulator" "$host" //nologo "Z:$script" "$@" > "$out" 2>&1 < /dev/null
status=$?
tr -d '\r' < "$out"
if [ "$(tr -d '\r' < "$out" | grep -v '^$' | tail -n 1)" != "PASS" ]; then
  echo "script did not finish with PASS (exit $status)"
  exit 1
fi
