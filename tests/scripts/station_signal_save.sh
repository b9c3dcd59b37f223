#!/bin/bash
# The session ends the station with SIGTERM (log-out) or SIGHUP: it must close the
# ordinary way, so the positioner's shutdown save still runs. A catalogue written with
# integer numbers is rewritten with ".0" only by a save, which makes the save visible.
#   station_signal_save.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x600x24" bash "$0" "$@"
fi
build=$1
station="$build/Varnold"
launcher="$build/emu/varnold-emu"
[ -x "$station" ] && [ -x "$launcher" ] || { echo "needs $station and $launcher"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$build"/*.png "$work/"
export GDK_GL=disable NO_AT_BRIDGE=1 LANG=${LANG:-C.UTF-8}

run_and_signal() {  # signal name
  printf '{"ShaftTypes": [{"ID": 7, "name": "Old", "X": 5, "Y": 1, "alpha": 2, "beta": 3}]}' \
    >"$work/Settings.dat"
  (cd "$work" && exec "$launcher" -- "$station") >"$work/log" 2>&1 &
  local pid=$!
  # Wait until the station runs (its log box line cannot be seen from here: give it time).
  sleep 3
  kill -"$1" "$pid"
  local waited=0
  while kill -0 "$pid" 2>/dev/null; do
    sleep 0.1; waited=$((waited + 1))
    [ $waited -lt 100 ] || { echo "station did not end after SIG$1"; cat "$work/log"; kill -9 "$pid"; exit 1; }
  done
  wait "$pid" || true
  if ! grep -q '"X": 5.0' "$work/Settings.dat"; then
    echo "SIG$1: the shutdown save did not run"; cat "$work/Settings.dat"; echo; cat "$work/log"
    exit 1
  fi
  echo "SIG$1: saved"
}

run_and_signal TERM
run_and_signal HUP
