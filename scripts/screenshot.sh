#!/bin/sh
# Starts the application from a build tree under a virtual X server and
# saves a PNG of the screen, to check the window without a display.
#   scripts/screenshot.sh [build-dir] [output.png]
# Defaults: build/ and <build-dir>/screenshot.png.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
out=${2:-$build/screenshot.png}
app="$build/stage/bin/sarnovelle-usb-maker"
if [ ! -x "$app" ]; then
    echo "No application in $build; build it first: scripts/build.sh $build" >&2
    exit 1
fi
case "$out" in /*) ;; *) out="$PWD/$out" ;; esac

export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d)}"
xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
    "$1" &
    pid=$!
    sleep 4
    if ! kill -0 "$pid" 2>/dev/null; then
        echo "The application ended before the screenshot." >&2
        exit 1
    fi
    xwd -root -silent | convert xwd:- "png:$2"
    kill "$pid" 2>/dev/null
    wait "$pid" || true
' screenshot "$app" "$out"
echo "$out"
