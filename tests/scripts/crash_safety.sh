#!/bin/bash
# Crash safety of "Settings.dat": the station's own save (bench/save_driver, which calls the
# catalogue's atomic write) is killed with SIGKILL. Afterwards the file must always load and
# hold the old or the new catalogue, and the next good save clears what the killed one left
# behind. The first kills come from strace on entry to chosen system calls of a save, so they
# land inside one however fast the machine is; the rest come at random instants.
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
# The loop's first write is its "saving" line, its second the first temporary file; its first
# fsync flushes that file before the rename.
for kill in write:when=2 fsync:when=1 $(seq "${VARNOLD_KILLS:-50}"); do
  if [[ $kill == *:* ]]; then
    strace -f -qq -o /dev/null -e trace="${kill%%:*}" -e inject="${kill/:/:signal=KILL:}" "$driver" loop "$file" \
      >/dev/null || true
  else
    "$driver" loop "$file" >/dev/null &
    sleep "$(printf '0.%03d' $((RANDOM % 250 + 20)))"
    kill -KILL $! && wait $! 2>/dev/null || true
  fi
  "$driver" check "$file" >/dev/null || fail "after kill $kill the file does not hold a whole catalogue"
  # A temporary file left behind shows the kill landed inside a save; the next save clears it.
  if [ "$(leftovers)" -gt 0 ]; then
    inside=$((inside + 1))
    "$driver" init "$file"
    [ "$(leftovers)" -eq 0 ] || fail "a good save left a killed save's temporary file behind"
  elif [[ $kill == *:* ]]; then
    fail "the kill at $kill left no temporary file"
  fi
done
echo "$inside kills landed inside a save"
