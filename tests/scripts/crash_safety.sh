#!/bin/bash
# Crash safety of "Settings.dat": the station's own save (bench/save_driver, which calls the
# catalogue save the positioner uses) is killed with SIGKILL at random instants, and run on a
# full file system and in a read-only folder. Afterwards the file must always load and hold
# the old or the new catalogue, and a failed save must leave the catalogue in memory as it was.
#   crash_safety.sh BUILD_DIR SOURCE_DIR     (VARNOLD_KILLS=500 for the long form)
set -euo pipefail
build=$1
kills=${VARNOLD_KILLS:-50}
driver=$build/bench/save_driver
if [ ! -x "$driver" ]; then
  cmake --build "$build" --target save_driver >/dev/null
fi

work=$(mktemp -d /tmp/varnold-crash.XXXXXX)
mnt=$work/mnt
cleanup() {
  mountpoint -q "$mnt" 2>/dev/null && umount "$mnt"
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

# --- SIGKILL during saves ---
file=$work/Settings.dat
"$driver" init "$file" || fail "cannot write the first catalogue"
inside=0
declare -A held=([A]=0 [B]=0)
for i in $(seq "$kills"); do
  "$driver" loop "$file" >/dev/null &
  pid=$!
  # A random instant, a few saves into the run.
  sleep "$(awk -v seed="$RANDOM" 'BEGIN { srand(seed); printf "%.3f", 0.02 + rand() * 0.25 }')"
  kill -KILL "$pid"
  wait "$pid" 2>/dev/null || true
  which=$("$driver" check "$file") || fail "after kill $i the file does not hold a whole catalogue: $which"
  held[$which]=$((held[$which] + 1))
  # A temporary file left behind shows the kill landed inside a save, between its first
  # write and its rename. The loader never reads it.
  leftovers=$(find "$work" -maxdepth 1 -name '.Settings.dat.*' | wc -l)
  [ "$leftovers" -gt 0 ] && inside=$((inside + 1))
  find "$work" -maxdepth 1 -name '.Settings.dat.*' -delete
done
echo "$kills kills: file held A ${held[A]} times, B ${held[B]} times; $inside kills landed inside a save"
[ "$inside" -gt 0 ] || fail "no kill landed inside a save: the test did not test anything"

# --- full file system and read-only folder ---
mkdir -p "$mnt"
"$driver" init "$work/old.dat"
size=$(stat -c %s "$work/old.dat")
if ! mount -t tmpfs -o size=$((size + 65536)) tmpfs "$mnt" 2>"$work/mount.err"; then
  echo "SKIP full and read-only file system: cannot mount a tmpfs ($(cat "$work/mount.err"))"
  exit 0
fi
cp "$work/old.dat" "$mnt/Settings.dat"

# Tries one save of a larger catalogue that must fail, then checks the old file and the folder.
expect_failed_save() {  # label
  out=$("$driver" once "$mnt/Settings.dat") || fail "$1: $out"
  [ "$out" = failed ] || fail "$1: the save reported '$out'"
  cmp -s "$work/old.dat" "$mnt/Settings.dat" || fail "$1: the old file changed"
  "$driver" check "$mnt/Settings.dat" >/dev/null || fail "$1: the old file no longer loads"
  [ -z "$(find "$mnt" -maxdepth 1 -name '.Settings.dat.*')" ] || fail "$1: a temporary file was left behind"
  echo "$1: save failed, old file intact, catalogue in memory unchanged"
}

# Room left, but less than the new text: the write fails part-way.
expect_failed_save "nearly full file system"
# No room at all.
dd if=/dev/zero of="$mnt/filler" bs=4k 2>/dev/null || true
expect_failed_save "full file system"
rm -f "$mnt/filler"
mount -o remount,ro "$mnt"
expect_failed_save "read-only folder"
echo "crash safety: all checks passed"
