#!/bin/sh
# Builds the project and runs the whole test suite.
#   scripts/test.sh              the normal build, every test
#   scripts/test.sh --sanitize   AddressSanitizer + UBSan build, every test
#                                but the guest tiers, the package build and
#                                the Debian 13 (trixie) tier
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = "--sanitize" ]; then
    build="$here/build-sanitize"
    "$here/scripts/build.sh" "$build" -DSARNOVELLE_SANITIZE=ON
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    cd "$build" && ctest --output-on-failure -LE 'system|desktop|package|trixie' -j2
else
    build="$here/build"
    "$here/scripts/build.sh" "$build"
    cd "$build" && ctest --output-on-failure -j2
fi
