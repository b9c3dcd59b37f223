#!/bin/bash
# The session ends the station with SIGTERM (log-out) or SIGHUP, a terminal with SIGINT or
# SIGQUIT: it must close the ordinary way, so the positioner's shutdown save still runs. A
# catalogue written with integer numbers is rewritten with ".0" only by a save, which makes
# the save visible. A second station started in the same folder must end touching nothing.
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
logs=$(mktemp -d)
trap 'rm -rf "$work" "$logs"' EXIT
cp "$build"/*.png "$work/"
export GDK_GL=disable NO_AT_BRIDGE=1 LANG=${LANG:-C.UTF-8}
fail() { echo "$*"; cat "$logs/log"; exit 1; }

wait_gone() {  # pid what
  for _ in $(seq 150); do kill -0 "$1" 2>/dev/null || { wait "$1" || true; return 0; }; sleep 0.1; done
  kill -9 "$1"; fail "$2 did not end"
}

run_and_signal() {  # signal name
  printf '{"ShaftTypes": [{"ID": 7, "name": "Old", "X": 5, "Y": 1, "alpha": 2, "beta": 3}]}' \
    >"$work/Settings.dat"
  (cd "$work" && exec "$launcher" -- "$station") >"$logs/log" 2>&1 &
  local pid=$!
  # Wait until the station runs (its log box line cannot be seen from here: give it time).
  sleep 3
  [ "$1" != TERM ] || second_station_changes_nothing
  kill -"$1" "$pid"
  wait_gone "$pid" "station after SIG$1"
  grep -q '"X": 5.0' "$work/Settings.dat" || fail "SIG$1: the shutdown save did not run"
  echo "SIG$1: saved"
}

second_station_changes_nothing() {
  local before after
  # The running station's own records may grow meanwhile; everything else must stay as it is.
  listing() { (cd "$work" && ls -lA --time-style=full-iso --ignore='Records.db*' . && md5sum Settings.dat); }
  before=$(listing)
  (cd "$work" && exec "$station") >"$logs/second.log" 2>&1 &
  wait_gone $! "second station"
  after=$(listing)
  [ "$before" = "$after" ] || fail "the second station changed the folder: $before // $after"
  grep -q "Another station is running in this folder" "$logs/second.log" || fail "second station said nothing"
  echo "second station: ended, folder unchanged"
}

for signal in TERM HUP INT QUIT; do run_and_signal $signal; done
