#!/bin/bash
# Installs (as root) the Debian packages the build, the tests and the demo
# need; does nothing when all are there.
set -euo pipefail
packages=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine32:i386 wine64 cmake googletest
          python3 python3-pymodbus python3-serial-asyncio libmodbus-dev pkg-config gcc iproute2 util-linux
          clang libclang-rt-14-dev make socat)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
dpkg --add-architecture i386
apt-get update -q
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
