#!/bin/bash
# Builds, registers and runs every test inside a network namespace of its
# own (loopback only: nothing leaves the machine, unknown names fail at once).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/build-in-netns.sh
# Two jobs: the fuzzers run beside the tests that hold the shared lock.
ctest --test-dir "$build" --output-on-failure --timeout 600 -j2 "$@"
