#!/usr/bin/env bash
# The Debian packages installed and run as a service under a real systemd:
# boots the system guest (tools/vmtest/run-system-guest.sh) with the packages
# of tools/package.sh and runs tests/system/service.sh in it, over two boots.
#
#   tests/system/run.sh [BUILD_DIR]     (default build/native, for candump-compare)
#
# Every amd64 or all package of this version in build/package is installed,
# telltrail_<version>_amd64.deb must be among them. Needs root the first
# time (the guest's disk image is built with mmdebstrap, then cached).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${1:-$ROOT/build/native}
OUT=$ROOT/build/package
VERSION=$(dpkg-parsechangelog -l "$ROOT/packaging/changelog" -S Version)

[ -f "$OUT/telltrail_${VERSION}_amd64.deb" ] ||
  { echo "system: $OUT/telltrail_${VERSION}_amd64.deb not found: run tools/package.sh first"; exit 1; }
shopt -s nullglob
DEBS=("$OUT"/telltrail*_"${VERSION}"_{amd64,all}.deb)
shopt -u nullglob

if [ ! -d "$BUILD" ]; then
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
fi
cmake --build "$BUILD" --target candump-compare -j"${JOBS:-2}" > /dev/null

exec "$ROOT/tools/vmtest/run-system-guest.sh" --timeout 900 "${DEBS[@]}" \
  "$ROOT/tests/system/service.sh" "$BUILD/tools/candump_compare/candump-compare" -- bash service.sh
