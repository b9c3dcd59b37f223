#!/bin/bash
# The session ends the station with SIGTERM (log-out) or SIGHUP, a terminal with SIGINT or
# SIGQUIT: it must close the ordinary way, so the positioner's shutdown save still runs. A
# catalogue written with integer numbers is rewritten with ".0" only by a save, which makes
# the save visible. A second station started in the same folder must end touching nothing.
# Under a file-size limit below the catalogue the station must not die of SIGXFSZ but say why.
#   station_signal_save.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x600x24" bash "$0" "$@"
fi
station="$1/Varnold" launcher="$1/emu/varnold-emu"
[ -x "$station" ] && [ -x "$launcher" ] || { echo "needs $station and $launcher"; exit 1; }
work=$(mktemp -d)
trap 'kill -9 ${pid:-} ${second:-} 2>/dev/null || true; rm -rf "$work"' EXIT
cp "$1"/*.png "$work/"
export GDK_GL=disable NO_AT_BRIDGE=1 LANG=${LANG:-C.UTF-8}
fail() { echo "$*"; cat "$work/log"; exit 1; }
wait_for() {  # what condition...: up to 60 s, for a loaded machine and sanitizers
  local what=$1 && shift && for _ in $(seq 600); do "$@" && return 0; sleep 0.1; done
  fail "$what"
}
# The running station's own records may grow meanwhile; everything else must stay as it is.
listing() { (cd "$work" && ls -lA --time-style=full-iso --ignore='Records.db*' --ignore='*log' . && md5sum Settings.dat); }

for signal in TERM HUP INT QUIT; do
  printf '{"ShaftTypes": [{"ID": 7, "name": "Old", "X": 5, "Y": 1, "alpha": 2, "beta": 3}]}' >"$work/Settings.dat"
  (cd "$work" && exec "$launcher" -- "$station") >"$work/log" 2>&1 &
  pid=$!
  # The folder lock is taken after the signal handlers are in place.
  wait_for "SIG$signal: the station did not start" eval "! flock -n '$work' true"
  if [ $signal = TERM ]; then
    before=$(listing)
    (cd "$work" && exec "$station") >"$work/second.log" 2>&1 &
    second=$!
    wait_for "the second station did not end" eval "! kill -0 $second 2>/dev/null"
    [ "$before" = "$(listing)" ] || fail "the second station changed the folder: $before // $(listing)"
    grep -q "Another station is running in this folder" "$work/second.log" || fail "second station said nothing"
  fi
  kill -"$signal" "$pid"
  wait_for "SIG$signal: the station did not end" eval "! kill -0 $pid 2>/dev/null"
  wait "$pid" || true
  grep -q '"X": 5.0' "$work/Settings.dat" || fail "SIG$signal: the shutdown save did not run"
  echo "SIG$signal: saved"
done

type='{"ID": %d, "name": "T", "X": 5, "Y": 1, "alpha": 2, "beta": 3}'
printf "{\"ShaftTypes\": [$type$(printf ", $type" $(seq 2 20))]}" 1 >"$work/Settings.dat"
# Its output goes through a pipe: the limit would cut a log file short as well.
(cd "$work" && exec prlimit --fsize=2048 "$station") > >(exec cat >"$work/log") 2>&1 &
pid=$!
wait_for "file-size limit: the station did not start" eval "! flock -n '$work' true"
kill -TERM "$pid"
wait "$pid" || fail "file-size limit: the station ended with status $?"
wait_for "file-size limit: no line says why" grep -q "Settings file not saved: Settings.dat: File too large" "$work/log"
echo "file-size limit: the save failed with its reason"
