#!/bin/bash
# Crash safety of "Settings.dat": the station's own save (bench/save_driver, which calls the
# catalogue's atomic write) is killed with SIGKILL at random instants. Afterwards the file must
# always load and hold the old or the new catalogue, and the next good save clears what the
# killed one left behind.
#   crash_safety.sh BUILD_DIR SOURCE_DIR     (VARNOLD_KILLS=500 for the long form)
set -euo pipefail
build=$1
kills=${VARNOLD_KILLS:-50}
driver=$build/bench/save_driver
[ -x "$driver" ] || cmake --build "$build" --target save_driver >/dev/null

work=$(mktemp -d /tmp/varnold-crash.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
leftovers() { find "$work" -maxdepth 1 -name '.Settings.dat.station-save-*' | wc -l; }

file=$work/Settings.dat
"$driver" init "$file" || fail "cannot write the first catalogue"
inside=0
declare -A held=([A]=0 [B]=0)
for i in $(seq "$kills"); do
  "$driver" loop "$file" >/dev/null &
  pid=$!
  sleep "$(awk -v seed="$RANDOM" 'BEGIN { srand(seed); printf "%.3f", 0.02 + rand() * 0.25 }')"
  kill -KILL "$pid"
  wait "$pid" 2>/dev/null || true
  which=$("$driver" check "$file") || fail "after kill $i the file does not hold a whole catalogue: $which"
  held[$which]=$((held[$which] + 1))
  # A temporary file left behind shows the kill landed inside a save; the next save clears it.
  if [ "$(leftovers)" -gt 0 ]; then
    inside=$((inside + 1))
    "$driver" init "$file"
    [ "$(leftovers)" -eq 0 ] || fail "a good save left a killed save's temporary file behind"
  fi
done
echo "$kills kills: file held A ${held[A]} times, B ${held[B]} times; $inside kills landed inside a save"
[ "$inside" -gt 0 ] || fail "no kill landed inside a save: the test did not test anything"
