#!/bin/bash
# The benchmark (as root): builds what it needs into its own directory, then
# runs every case inside a private network namespace (loopback only) with
# client, device server and wineserver on one core, and prints a table of
# medians and ratios plus one JSON line (BENCH_JSON ...).
#   tools/bench/run.sh [--rounds N] [--count N] [--only TEXT] ...   (see bench.py --help)
#   BENCH_DIR=dir   work directory (default: build-bench)
#   BENCH_CORE=n    the measured core (default: the last one)
set -euo pipefail
cd "$(dirname "$0")/../.."
bash tools/install-packages.sh
exec unshare --net --mount bash tools/bench/in-netns.sh bench.py "$@"
