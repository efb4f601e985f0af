#!/bin/bash
# The demo: sets up a fresh machine (as root), builds and registers the DLL,
# starts the device simulator (127.0.0.1:502, and unit 17 behind its gateway
# port 1502, RTU over TCP on 1503) and runs examples/poll.vbs, gateway.vbs,
# word_order.vbs and rtu.vbs against it, printing what they read and wrote.
set -euo pipefail
cd "$(dirname "$0")"
bash tools/install-packages.sh
exec unshare --net --mount bash tools/demo-in-netns.sh
