#!/bin/bash
# A short run of the catalogue loader's fuzz target (clang, libFuzzer, ASan, UBSan), seeded
# with the golden catalogue files: any crash, sanitizer report or failed round trip fails it.
#   fuzz_smoke.sh BUILD_DIR SOURCE_DIR     (VARNOLD_FUZZ_SECONDS, default 60)
set -euo pipefail
build=$1
source=$2
seconds=${VARNOLD_FUZZ_SECONDS:-60}
if ! command -v clang++ >/dev/null; then
  echo "SKIP: clang++ is not installed (packages clang and libclang-rt-14-dev)"
  exit 0
fi
fuzz_build=$build/fuzz-smoke
CC=clang CXX=clang++ cmake -S "$source/fuzz" -B "$fuzz_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$fuzz_build" -j2 >/dev/null
log=$fuzz_build/last-run.log
if ! "$source/fuzz/run-fuzz.sh" "$fuzz_build" "$seconds" >"$log" 2>&1; then
  tail -n 60 "$log"
  echo "FAIL: the fuzz run found a problem; the input is in $fuzz_build/artifacts/"
  exit 1
fi
grep -E '^(Done|stat::number_of_executed_units)' "$log"
