#!/bin/bash
# Where a bench client's CPU goes per transaction (as root, on demand, not
# part of CI): builds like run.sh, then runs breakdown.py on the same cases,
# devices and core inside a private network namespace.
#   tools/bench/breakdown.sh [--cases "Execute IDispatch,..."] [--passes cpu,calls,requests] ...
#                            (see breakdown.py --help)
#   BENCH_DIR=dir   work directory (default: build-bench)
#   BENCH_CORE=n    the measured core (default: the last one)
set -euo pipefail
cd "$(dirname "$0")/../.."
bash tools/install-packages.sh
command -v perf >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends linux-perf
exec unshare --net --mount bash tools/bench/in-netns.sh breakdown.py "$@"
