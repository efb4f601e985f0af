#!/bin/bash
# Builds the 32-bit and the 64-bit DLL (as root on Debian, like ./check.sh,
# installing what is missing) and packs the Windows distribution:
#   ./package.sh [OUTPUT.zip]      default dist/VelkoMB.zip
# The zip holds x86/ and x64/ (VelkoMB.dll, VelkoMBReg.exe and the per-user
# register scripts), examples/, docs/ and INSTALL.txt.
set -euo pipefail
cd "$(dirname "$0")"
output=$(realpath -m "${1:-dist/VelkoMB.zip}")
bash tools/install-packages.sh
for arch in i686 x86_64; do
  ARCH=$arch unshare --net --mount bash -c 'set -euo pipefail; source tools/build-in-netns.sh' > /dev/null
done
python3 tools/package/pack.py build build64 "$output"
