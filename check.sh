#!/bin/bash
# Sets up a fresh Debian machine (as root), builds VelkoMB.dll for 32-bit and
# for 64-bit Windows and runs every test against each, inside a private
# network namespace with loopback only; then packs the distribution zip.
#   ./check.sh                  install what is missing, build, register, test
#   ./check.sh -R client        ctest options pass through
#   ARCHES=x86_64 ./check.sh    one architecture only (i686, x86_64)
set -euo pipefail
cd "$(dirname "$0")"
bash tools/install-packages.sh
arches=${ARCHES:-i686 x86_64}
failed=()
for arch in $arches; do
  echo "=== $arch"
  ARCH=$arch unshare --net --mount bash tests/run-in-netns.sh "$@" || failed+=("$arch")
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "tests failed for: ${failed[*]}"
  exit 1
fi
if [ "$arches" = "i686 x86_64" ]; then
  python3 tools/package/pack.py build build64 dist/VelkoMB.zip | tail -n 1
fi
