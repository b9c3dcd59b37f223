#!/bin/bash
# Regenerates the screenshots in docs/screenshots/: the station runs headless under Xvfb
# (1024 x 600, the screen it is laid out for) against the emulated board with its built-in
# scenario, from a folder laid out like an operator's Documents folder.
#   scripts/screenshots.sh [--seconds N]     (N: how long each screen runs first, default 8)
# Environment: BUILD_DIR (default build/).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${BUILD_DIR:-$root/build}")
out=$root/docs/screenshots
seconds=8
while [ $# -gt 0 ]; do
    case "$1" in
        --seconds) seconds=$2; shift ;;
        *) echo "unknown option $1" >&2; exit 2 ;;
    esac
    shift
done

"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" >/dev/null
cmake --build "$build" -j"$(nproc)" --target Varnold varnold-emu varnold-io-monitor
mkdir -p "$out"

export GDK_GL=disable NO_AT_BRIDGE=1 LANG=C.UTF-8

shoot() {  # program, picture: runs the program for a while and takes the whole screen
    local program=$1 picture=$2 work
    work=$(mktemp -d)
    cp "$root"/resources/*.png "$root/resources/Settings.dat" "$work/"
    (
        cd "$work"
        xvfb-run -a -s "-screen 0 1024x600x24" bash -c '
            "$1" -- "$2" >station.log 2>&1 & pid=$!
            sleep "$3"
            if ! kill -0 $pid 2>/dev/null; then
                cat station.log >&2; echo "the station ended before the screenshot" >&2; exit 1
            fi
            xwd -root -silent | /usr/bin/convert xwd:- -strip "$4"
            kill -TERM $pid 2>/dev/null; wait $pid 2>/dev/null || true
        ' _ "$build/emu/varnold-emu" "$program" "$seconds" "$work/shot.png"
    ) || { rm -rf "$work"; exit 1; }
    # A blank screen means the station drew nothing: keep the old picture.
    if [ "$(/usr/bin/convert "$work/shot.png" -format '%k' info:)" -lt 16 ]; then
        echo "$picture: the screen is (nearly) blank" >&2; rm -rf "$work"; exit 1
    fi
    mv "$work/shot.png" "$out/$picture"
    rm -rf "$work"
    echo "saved $out/$picture"
}

shoot "$build/Varnold" positioner.png
shoot "$build/varnold-io-monitor" io-monitor.png
