#!/bin/bash
# Crash safety of "Settings.dat": the station's own save (bench/save_driver, which calls the
# catalogue's atomic write) is killed with SIGKILL. Afterwards the file must always load and
# hold the old or the new catalogue, and the next good save clears what the killed one left
# behind. strace kills it on entry to chosen system calls of a save, so those kills land
# inside one however fast the machine is; more kills follow at random instants.
#   crash_safety.sh BUILD_DIR SOURCE_DIR     (VARNOLD_KILLS=500 for the long form)
set -euo pipefail
driver=$1/bench/save_driver
[ -x "$driver" ] || cmake --build "$1" --target save_driver >/dev/null
work=$(mktemp -d /tmp/varnold-crash.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
leftovers() { find "$work" -maxdepth 1 -name '.Settings.dat.station-save-*' | wc -l; }
file=$work/Settings.dat
# After a kill: a whole catalogue in the file; a temporary file left behind (the kill landed
# inside a save) is cleared by the next save. Returns whether one was left.
check_after_kill() {
  "$driver" check "$file" >/dev/null || fail "after $1 the file does not hold a whole catalogue"
  [ "$(leftovers)" -gt 0 ] || return 1
  "$driver" init "$file"
  [ "$(leftovers)" -eq 0 ] || fail "a good save left a killed save's temporary file behind"
}
"$driver" init "$file" || fail "cannot write the first catalogue"

# The loop's first write is its "saving" line, its second the first temporary file; its
# first fsync flushes that file before the rename.
for call in "write 2" "fsync 1"; do
  read -r name number <<<"$call"
  strace -f -qq -o /dev/null -e trace="$name" -e inject="$name:signal=KILL:when=$number" "$driver" loop "$file" \
    >/dev/null || true
  check_after_kill "the kill at $name $number" || fail "the kill at $name $number left no temporary file"
done
inside=0
for i in $(seq "${VARNOLD_KILLS:-50}"); do
  "$driver" loop "$file" >/dev/null &
  sleep "$(printf '0.%03d' $((RANDOM % 250 + 20)))"
  kill -KILL $! && wait $! 2>/dev/null || true
  if check_after_kill "random kill $i"; then inside=$((inside + 1)); fi
done
echo "2 chosen kills and $inside random ones landed inside a save"
