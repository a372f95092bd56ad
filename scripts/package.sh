#!/bin/sh
# Builds the Debian package sarnovelle-usb-maker_<version>_amd64.deb out of a
# copy of the source tree (the tree itself stays clean), checks it with
# lintian and puts it in build/ or the folder given; prints its path.
#   scripts/package.sh [output-folder]
# SARNOVELLE_PACKAGE_WORK names a fixed work folder instead of a new
# temporary one (emptied first, removed after), so that a compiler cache
# (CMAKE_CXX_COMPILER_LAUNCHER=ccache in the environment) sees the same
# paths from one build to the next.
# As root, missing build dependencies are installed first (apt-get
# build-dep on debian/control); as any other user they are named and the
# script fails.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$here/build}

# The packaging tools themselves (build-essential too: a minimal root has
# no compiler, and dpkg-checkbuilddeps asks for build-essential:native),
# then what debian/control asks for. The package's Depends are computed
# by dpkg-shlibdeps on the release the script runs on.
tools="build-essential dpkg-dev debhelper fakeroot lintian"
missing=""
for p in $tools; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
unmet=""
if [ -z "$missing" ]; then
    unmet=$(cd "$here" && dpkg-checkbuilddeps 2>&1 >/dev/null |
            sed -n 's/.*Unmet build dependencies: //p') || true
fi
if [ -n "$missing$unmet" ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing Debian packages:$missing $unmet" >&2
        echo "Install them as root: scripts/package.sh (or scripts/setup.sh)" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    # shellcheck disable=SC2086
    [ -z "$missing" ] || apt-get install -y -q --no-install-recommends $missing
    apt-get build-dep -y -q --no-install-recommends "$here"
fi

version=$(cd "$here" && dpkg-parsechangelog -S Version)
arch=$(dpkg-architecture -q DEB_HOST_ARCH)
if [ -n "${SARNOVELLE_PACKAGE_WORK:-}" ]; then
    work=$SARNOVELLE_PACKAGE_WORK
    rm -rf "$work"
    mkdir -p "$work"
else
    work=$(mktemp -d "${TMPDIR:-/tmp}/sarnovelle-package.XXXXXX")
fi
trap 'rm -rf "$work"' EXIT INT TERM
src="$work/sarnovelle-usb-maker-$version"
mkdir -p "$src"

# Tracked files and new ones not ignored: the working tree as it is,
# without build folders or the repository itself.
if git -C "$here" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$here" && git ls-files -z --cached --others --exclude-standard |
        xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\n" "$f"; done' files) |
        tar -C "$here" -cf - -T - | tar -C "$src" -xf -
else
    tar -C "$here" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$src" -xf -
fi

mkdir -p "$out"
log="$out/package-build.log"
(cd "$src" && dpkg-buildpackage -b -us -uc) >"$log" 2>&1 || {
    tail -n 25 "$log" | cut -c1-300 >&2
    echo "dpkg-buildpackage failed; the whole log is $log" >&2
    exit 1
}

changes="$work/sarnovelle-usb-maker_${version}_${arch}.changes"
deb="sarnovelle-usb-maker_${version}_${arch}.deb"
# Errors and warnings fail the build; informational tags are only shown.
lintian --fail-on error,warning "$changes" >&2

cp "$work/$deb" "$out/$deb"
echo "$(cd "$out" && pwd)/$deb"
