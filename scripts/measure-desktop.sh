#!/bin/sh
# Times a preparation run by the ordinary user in the desktop tier's guest
# against the same udisks2 calls made by her by hand, per phase and per call.
#   scripts/measure-desktop.sh [build folder] [rounds]
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build="${1:-$here/build}"
rounds="${2:-3}"
[ -f "$build/CMakeCache.txt" ] || cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --target sarnovelle-usb-maker sarnovelle_diskutil sarnovelle_udisks_module \
    sarnovelle_bundle sarnovelle-system-driver
exec python3 "$here/scripts/desktop/measure.py" --build "$build" --rounds "$rounds"
