#!/bin/bash
# Sets up, builds and runs every test: the plain build (fast, link, GUI and script tests),
# then the unit, link, GUI and plant tests under AddressSanitizer+UBSan, then the link and
# plant tests (the two threaded parts) under ThreadSanitizer. Each sanitizer pass builds only the programs it runs.
#   scripts/test.sh [--quick]   (--quick: the plain build and its tests only)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
usage() { sed -n 's/^#   /usage: /p' "$0" >&2; exit 2; }  # the usage line of the header
quick=no
case "$*" in
  "") ;;
  --quick) quick=yes ;;
  *) usage ;;
esac

"$root/scripts/setup.sh"
export LANG=C.UTF-8 GDK_GL=disable NO_AT_BRIDGE=1 G_SLICE=always-malloc

# One shared X server for every GUI test.
display_log=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x600x24 -nolisten tcp 3>"$display_log" 2>/dev/null &
xvfb_pid=$!
trap 'kill $xvfb_pid 2>/dev/null || true; rm -f "$display_log"' EXIT
for _ in $(seq 100); do [ -s "$display_log" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$display_log")"

phase() { echo "== $1 (at ${SECONDS} s) =="; }
run_suite() {  # folder, ctest arguments...
  local folder=$1; shift
  ctest --test-dir "$folder" --output-on-failure -j2 "$@"
}
build() {  # folder, cmake options... [-- targets...]
  local folder=$1; shift
  "$root/scripts/build.sh" "$folder" -DVARNOLD_PRECOMPILE_HEADERS=ON "$@"
}

phase "plain build"
# Line tables are debug information enough for a test run, at two thirds of the compile time.
# "station" adds what only a package needs (manual pages, changelog): the packaging test packs it.
build "$root/build-test" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -- all station
phase "plain tests"
run_suite "$root/build-test"

[ "$quick" = yes ] && { phase "done"; exit 0; }

phase "AddressSanitizer + UBSan"
export ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$root/tests/support/lsan.supp"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
build "$root/build-asan" -DVARNOLD_SANITIZE=address -DVARNOLD_BUILD_BENCH=OFF -- test_programs
phase "AddressSanitizer tests"
run_suite "$root/build-asan" -LE script

phase "ThreadSanitizer (link, plant)"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/support/tsan.supp"
build "$root/build-tsan" -DVARNOLD_SANITIZE=thread -DVARNOLD_BUILD_BENCH=OFF -- link_tests plant_tests
phase "ThreadSanitizer tests"
run_suite "$root/build-tsan" -L "link|plant"
phase "done"
