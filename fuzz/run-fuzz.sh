#!/bin/sh
# Fuzzes the catalogue loader for a given time, seeded with the golden catalogue files.
#   fuzz/run-fuzz.sh BUILD_DIR SECONDS [CORPUS_DIR]
# BUILD_DIR holds fuzz_catalogue (built from fuzz/ with clang). The corpus grows in
# CORPUS_DIR (default BUILD_DIR/corpus); crash inputs land in BUILD_DIR/artifacts/.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$1
seconds=$2
corpus=${3:-$build/corpus}
mkdir -p "$corpus" "$build/artifacts" "$build/seeds"
cp "$here"/../tests/data/catalogue/*.json "$here"/../resources/Settings.dat "$build/seeds/"
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:suppressions=$here/ubsan.supp"
exec "$build/fuzz_catalogue" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
    -rss_limit_mb=2048 -max_len=300000 -dict="$here/catalogue.dict" \
    -artifact_prefix="$build/artifacts/" "$corpus" "$build/seeds"
