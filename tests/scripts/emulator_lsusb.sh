#!/bin/bash
# The launcher seen from outside: lsusb, an independent USB reader, sees the emulated board
# with the board's descriptors; the shipped scenarios check; the child's exit status comes
# back and the testbed folder goes; the control FIFO moves the board while the child runs.
#   emulator_lsusb.sh BUILD_DIR SOURCE_DIR
set -u
emu="$1/emu/varnold-emu"
source=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
[ -x "$emu" ] || fail "$emu is not built"
out=$(timeout 60 "$emu" --no-scenario -- lsusb -v -d 04d8:0053 2>&1) || fail "lsusb under the emulator failed: $out"
for pattern in 'bInterfaceClass +255' 'bEndpointAddress +0x01 +EP 1 OUT' 'bEndpointAddress +0x81 +EP 1 IN' \
               'wMaxPacketSize +0x0040' 'Transfer Type +Bulk' 'iProduct +2 Positioning controller'; do
  grep -Eq "$pattern" <<<"$out" || fail "lsusb output lacks '$pattern': $out"
done

for scenario in "$source"/emu/scenarios/*.txt; do "$emu" --check "$scenario" || fail "$scenario does not check"; done
diff <("$emu" --print-default) "$source/emu/scenarios/default.txt" >/dev/null || fail "the built-in scenario is not default.txt"

testbed=$("$emu" --no-scenario -- sh -c 'echo "$UMOCKDEV_DIR"; exit 3') && status=0 || status=$?
[ "$status" -eq 3 ] || fail "exit status $status, expected the child's 3"
[ -n "$testbed" ] && [ ! -e "$testbed" ] || fail "the umockdev folder '$testbed' was left behind"

fifo=$(mktemp -u "${TMPDIR:-/tmp}/varnold-emu-control.XXXXXX")
out=$("$emu" --no-scenario --control "$fifo" -- sh -c "
  sleep 0.3; echo unplug > '$fifo'; sleep 0.5; lsusb -d 04d8:0053 >/dev/null && echo still-there
  echo plug > '$fifo'; sleep 0.5; lsusb -d 04d8:0053" 2>&1)
grep -q still-there <<<"$out" && fail "'unplug' on the control FIFO left the board listed"
grep -Eq 'Device 003: ID 04d8:0053' <<<"$out" || fail "'plug' did not bring the board back at a new address: $out"
[ ! -e "$fifo" ] || fail "the control FIFO was not removed"
echo "emulator_lsusb: ok"
