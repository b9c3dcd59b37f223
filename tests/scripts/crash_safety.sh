#!/bin/bash
# Crash safety of "Settings.dat": the station's own save (bench/save_driver, which calls the
# catalogue's atomic write) is killed with SIGKILL at random instants. Afterwards the file must
# always load and hold the old or the new catalogue, and the next good save clears what the
# killed one left behind.
#   crash_safety.sh BUILD_DIR SOURCE_DIR     (VARNOLD_KILLS=500 for the long form)
set -euo pipefail
driver=$1/bench/save_driver
[ -x "$driver" ] || cmake --build "$1" --target save_driver >/dev/null
work=$(mktemp -d /tmp/varnold-crash.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
leftovers() { find "$work" -maxdepth 1 -name '.Settings.dat.station-save-*' | wc -l; }
file=$work/Settings.dat
"$driver" init "$file" || fail "cannot write the first catalogue"
inside=0
for i in $(seq "${VARNOLD_KILLS:-50}"); do
  "$driver" loop "$file" >/dev/null &
  sleep "$(printf '0.%03d' $((RANDOM % 250 + 20)))"
  kill -KILL $! && wait $! 2>/dev/null || true
  "$driver" check "$file" >/dev/null || fail "after kill $i the file does not hold a whole catalogue"
  # A temporary file left behind shows the kill landed inside a save; the next save clears it.
  if [ "$(leftovers)" -gt 0 ]; then
    inside=$((inside + 1))
    "$driver" init "$file"
    [ "$(leftovers)" -eq 0 ] || fail "a good save left a killed save's temporary file behind"
  fi
done
echo "$inside kills landed inside a save"
[ "$inside" -gt 0 ] || fail "no kill landed inside a save: the test did not test anything"
