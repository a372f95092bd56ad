#!/bin/sh
# One step of the Debian 13 (trixie) tier, run as root inside the cached
# trixie root of scripts/release_root.py.
#   run_in_trixie.sh SOURCE BUILD root      make (or reuse) the root
#   run_in_trixie.sh SOURCE BUILD build     configure and build the tree into
#                                           BUILD there, run the unit tests
#   run_in_trixie.sh SOURCE BUILD package   scripts/package.sh there through
#                                           the package tier's .deb tests; the
#                                           .deb stays in BUILD/tests/package/deb
# Exit status 77 when the root cannot be had here (the reason is printed).
set -eu
src=$1
build=$2
step=$3
tool="$src/scripts/release_root.py"

status=0
out=$(python3 "$tool" make trixie) || status=$?
printf '%s\n' "$out"
[ "$status" -eq 0 ] || exit "$status"
root=$(printf '%s\n' "$out" | tail -n 1)
ccache_dir="$(dirname "$(dirname "$root")")/ccache-trixie"

case $step in
root)
    exit 0 ;;
build)
    # The tree's own guest tiers are not run in the root; this tier is not
    # registered there.
    script="cmake -S '$src' -B '$build' -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache \
        -DSARNOVELLE_TRIXIE_TESTS=OFF >/dev/null &&
        cmake --build '$build' &&
        cd '$build' && ctest --output-on-failure -j2 -L unit" ;;
package)
    # The package is built in a fixed folder of the root with the compiler
    # cache, so that a second run compiles little.
    script="export SARNOVELLE_PACKAGE_WORK=/var/tmp/sarnovelle-package \
        CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache &&
        cd '$build' && ctest --output-on-failure \
        -R '^(package_deb_build|DebPackage[.]|Unpacked[.])'" ;;
*)
    echo "unknown step: $step" >&2
    exit 2 ;;
esac

export CCACHE_DIR="$ccache_dir" CCACHE_BASEDIR="$src" DEB_BUILD_OPTIONS="nocheck parallel=2"
exec python3 "$tool" run --bind "$src" --bind "$build" --bind "$ccache_dir" "$root" \
    -- sh -c "$script"
