#!/bin/sh
# Configures and builds the project into a build folder.
#   scripts/build.sh [build-dir] [extra cmake arguments...]
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
[ $# -gt 0 ] && shift
"$here/scripts/setup.sh"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build"
