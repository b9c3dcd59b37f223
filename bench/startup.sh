#!/bin/sh
# Start-up: process start to first paint of the positioner and resident memory after start,
# against a minimal wx frame of the same size, both under Xvfb with GDK_GL=disable.
#   bench/startup.sh BUILD_DIR [RUNS]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
runs=${2:-20}
work=$("$here/station_workdir.sh" "$here/..")
trap 'rm -rf "$work"' EXIT
cd "$work"
export GDK_GL=disable NO_AT_BRIDGE=1
xvfb-run -a -s "-screen 0 1024x600x24" "$build/bench/bench_startup" "$runs" \
  -- "$build/bench/bench_station_app" -- "$build/bench/bench_minimal_frame"
