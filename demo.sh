#!/bin/bash
# The demo: sets up a fresh machine (as root), builds and registers the DLL,
# starts the device simulator on 127.0.0.1:502 and runs examples/poll.vbs
# against it, printing what it read and wrote.
set -euo pipefail
cd "$(dirname "$0")"
bash tools/install-packages.sh
exec unshare --net --mount bash tools/demo-in-netns.sh
