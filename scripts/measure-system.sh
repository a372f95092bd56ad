#!/bin/sh
# Times the preparation run against the same job done by hand inside the system
# tier's QEMU guest, per phase, for the shipped boot image and for a 512 MiB
# image, with the peak resident memory of a run.
#   scripts/measure-system.sh [build folder] [rounds]
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build="${1:-$here/build}"
rounds="${2:-3}"
[ -f "$build/CMakeCache.txt" ] || cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --target sarnovelle-system-driver
exec python3 "$here/scripts/system/measure.py" --build "$build" --rounds "$rounds"
