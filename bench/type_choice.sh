#!/bin/sh
# Large catalogues on the screen: process start to the positioner's first paint and the time
# of a rename through "Atnevezes" (until redrawn), with 1,000, 10,000 and 20,000 types, against
# the minimal wx frame. Under Xvfb with GDK_GL=disable.
#   bench/type_choice.sh BUILD_DIR [RUNS] [SIZES...]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
runs=${2:-5}
[ $# -gt 2 ] && shift 2 || set -- 1000 10000 20000
export GDK_GL=disable NO_AT_BRIDGE=1 BENCH_MODE=rename
for types in "$@"; do
  work=$("$here/station_workdir.sh" "$here/..")
  "$build/bench/bench_catalogue" --write "$types" "$work/Settings.dat"
  echo "== $types types"
  (cd "$work" && xvfb-run -a -s "-screen 0 1024x600x24" "$build/bench/bench_startup" "$runs" \
    -- "$build/bench/bench_station_app" -- "$build/bench/bench_minimal_frame")
  rm -rf "$work"
done
