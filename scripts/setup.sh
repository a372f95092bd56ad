#!/bin/sh
# Installs the Debian packages the project builds, tests and runs with.
# As root, missing packages are installed (apt-get update first); as any
# other user the missing ones are named and the script fails. The same
# names on Debian 12 and Debian 13.
#   scripts/setup.sh                   install what is missing
#   scripts/setup.sh --list-build      print the packages that build, unit-test
#                                      and package the project (no guest tiers)
set -eu

# Building, the unit tests and the package.
BUILD_PACKAGES="g++ clang lld cmake ninja-build pkg-config
libgtest-dev libplist-dev libssl-dev libudev-dev qt6-base-dev
fdisk dosfstools util-linux libblkid-dev libfdisk-dev locales mtools python3
libudisks2-dev libglib2.0-dev dbus-daemon
build-essential debhelper dpkg-dev fakeroot lintian desktop-file-utils appstream"
# The screenshots and the guest tiers.
GUEST_PACKAGES="xvfb xauth x11-apps imagemagick
qemu-system-x86 ovmf linux-image-amd64 busybox-static mmdebstrap xorriso"
PACKAGES="$BUILD_PACKAGES $GUEST_PACKAGES"

if [ "${1:-}" = "--list-build" ]; then
    # shellcheck disable=SC2086
    echo $BUILD_PACKAGES
    exit 0
fi

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages:$missing" >&2
    echo "Install them as root: apt-get install$missing" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -q
# shellcheck disable=SC2086
apt-get install -y -q --no-install-recommends $missing
