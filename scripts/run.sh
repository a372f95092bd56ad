#!/bin/sh
# Builds the application and starts it from the build tree.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/build.sh" "$here/build"
app="$here/build/stage/bin/sarnovelle-usb-maker"
if [ ! -x "$app" ]; then
    echo "The window is not built yet." >&2
    exit 1
fi
exec "$app"
