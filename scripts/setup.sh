#!/bin/sh
# Installs the Debian packages the project builds, tests and runs with.
# As root, missing packages are installed (apt-get update first); as any
# other user the missing ones are named and the script fails.
set -eu

PACKAGES="g++ clang lld cmake ninja-build pkg-config
libgtest-dev libplist-dev libssl-dev libudev-dev qt6-base-dev
fdisk dosfstools util-linux libblkid-dev libfdisk-dev locales
xvfb xauth x11-apps imagemagick
qemu-system-x86 ovmf linux-image-amd64 busybox-static mtools python3
libudisks2-dev libglib2.0-dev dbus-daemon mmdebstrap xorriso
build-essential debhelper dpkg-dev fakeroot lintian desktop-file-utils appstream"

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
