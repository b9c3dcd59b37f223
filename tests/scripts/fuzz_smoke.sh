#!/bin/bash
# A short run of the catalogue loader's fuzz target (clang, libFuzzer, ASan, UBSan) seeded with
# the golden catalogue files: a crash, a sanitizer report or a failed round trip fails it.
#   fuzz_smoke.sh BUILD_DIR SOURCE_DIR     (VARNOLD_FUZZ_SECONDS, default 20; fuzz/ for long runs)
set -euo pipefail
# A missing compiler is a broken test machine, not a pass: scripts/packages.txt installs it.
command -v clang++ >/dev/null || { echo "FAIL: clang++ is not installed (clang, libclang-rt-14-dev)"; exit 1; }
fuzz_build=$1/fuzz-smoke
CC=clang CXX=clang++ cmake -S "$2/fuzz" -B "$fuzz_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$fuzz_build" -j2 >/dev/null
log=$fuzz_build/last-run.log
if ! "$2/fuzz/run-fuzz.sh" "$fuzz_build" "${VARNOLD_FUZZ_SECONDS:-20}" >"$log" 2>&1; then
  tail -n 60 "$log"
  echo "FAIL: the fuzz run found a problem; the input is in $fuzz_build/artifacts/"
  exit 1
fi
grep -E '^(Done|stat::number_of_executed_units)' "$log"
