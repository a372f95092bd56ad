#!/bin/sh
# Configures and builds the project with the install directories given,
# then installs it twice: with DESTDIR under the configured prefix, and
# moved to another prefix with `cmake --install --prefix`.
#   build-relocated.sh <source> <work> <prefix> <bindir> <libexecdir> <datadir> <libdir>
# Leaves <work>/build (with its stage/), <work>/destdir and <work>/moved.
set -eu
src=$1 work=$2 prefix=$3 bindir=$4 libexecdir=$5 datadir=$6 libdir=$7
mkdir -p "$work"
rm -rf "$work/destdir" "$work/moved"
cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSARNOVELLE_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_INSTALL_BINDIR="$bindir" -DCMAKE_INSTALL_LIBEXECDIR="$libexecdir" \
    -DCMAKE_INSTALL_DATADIR="$datadir" -DCMAKE_INSTALL_LIBDIR="$libdir"
cmake --build "$work/build" -j2
DESTDIR="$work/destdir" cmake --install "$work/build"
cmake --install "$work/build" --prefix "$work/moved"
