#!/bin/bash
# CPU share of one core used by the open IO monitor (10 ms refresh against the emulated board,
# which runs in its own process under varnold-emu) over SECONDS, against a minimal wx program
# with the same 10 ms timer and no USB.
#   bench/cpu_share.sh BUILD_DIR [SECONDS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
seconds=${2:-30}
settle=3
work=$("$here/station_workdir.sh" "$here/..")
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT
cd "$work"
export GDK_GL=disable NO_AT_BRIDGE=1

# Start a private X server for both programs.
Xvfb -displayfd 3 -screen 0 1024x600x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$work/display")"

ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }  # utime + stime, in clock ticks
hz=$(getconf CLK_TCK)

# Percent of one core that pid used over the measuring window.
measure() {  # pid
  sleep "$settle"
  local before after
  before=$(ticks "$1")
  sleep "$seconds"
  after=$(ticks "$1")
  awk -v t=$((after - before)) -v hz="$hz" -v s="$seconds" 'BEGIN { printf "%.2f", 100 * t / hz / s }'
}

BENCH_MODE=timer "$build/bench/bench_minimal_frame" &
minimal=$!
pids+=($minimal)
minimal_share=$(measure "$minimal")
kill "$minimal"

BENCH_MODE=io "$build/emu/varnold-emu" --no-scenario -- "$build/bench/bench_station_app" &
emulator=$!
pids+=($emulator)
sleep 1
station=$(pgrep -P "$emulator" | head -n1)
[ -n "$station" ] || { echo "the station did not start under varnold-emu"; exit 1; }
station_share=$(measure "$station")
emulator_share=$(awk -v t="$(ticks "$emulator")" -v hz="$hz" 'BEGIN { printf "%.1f", t / hz }')
kill "$station"

echo "CPU share of one core over ${seconds} s (after ${settle} s to settle):"
echo "  minimal wx program, 10 ms timer, no USB: ${minimal_share}%"
echo "  station with the IO monitor open:         ${station_share}%"
echo "  (the emulated board's own process used ${emulator_share} s of CPU in all, not counted above)"
awk -v a="$station_share" -v b="$minimal_share" 'BEGIN { if (b > 0) printf "  ratio station / minimal: %.2f\n", a / b }'
