#!/bin/bash
# A serial line for tests under Wine: a pseudo-terminal pair (socat) whose
# one end is a COM port of the Wine prefix and whose other end a device
# program opens. The COM port is a dosdevices symlink, which Wine resolves at
# each open: no wineserver restart is needed.
#   serial_line.sh WINEPREFIX COMn DEVICE_LINK
# Prints "serial line COMn ready at DEVICE_LINK" once both ends exist; on
# SIGTERM or SIGINT stops socat and removes the COM port and the links.
set -euo pipefail
usage="usage: serial_line.sh WINEPREFIX COMn DEVICE_LINK"
prefix=${1:?$usage} port=${2:?$usage} device=${3:?$usage}
[[ $port =~ ^COM[1-9][0-9]{0,2}$ ]] || { echo "not a COM port name: $port" >&2; exit 2; }
com_link="$prefix/dosdevices/${port,,}"
wine_end="$device.wine"
mkdir -p "$(dirname "$device")"
rm -f "$device" "$wine_end"

socat_pid=
cleanup() {
  if [ -n "$socat_pid" ]; then kill "$socat_pid" 2>/dev/null; wait "$socat_pid" 2>/dev/null || true; fi
  rm -f "$com_link" "$device" "$wine_end"
}
trap cleanup EXIT
trap 'exit 0' TERM INT

socat "pty,link=$wine_end,raw,echo=0" "pty,link=$device,raw,echo=0" &
socat_pid=$!
for _ in $(seq 50); do
  [ -e "$device" ] && [ -e "$wine_end" ] && break
  kill -0 "$socat_pid" 2>/dev/null || { echo "socat ended" >&2; exit 1; }
  sleep 0.1
done
[ -e "$device" ] && [ -e "$wine_end" ] || { echo "socat made no pty pair" >&2; exit 1; }
# The COM port points at the pty itself, so Wine's traces show its name.
ln -sfn "$(readlink -f "$wine_end")" "$com_link"
echo "serial line $port ready at $device"
wait "$socat_pid"
