#!/bin/bash
# Configures and builds one build folder, all of it or only the targets named after "--":
#   scripts/build.sh FOLDER [cmake options...] [-- TARGET...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
folder=$1; shift
options=() targets=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do options+=("$1"); shift; done
[ $# -gt 0 ] && shift
for target in "$@"; do targets+=(--target "$target"); done
cmake -S "$root" -B "$folder" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" "${options[@]}" >/dev/null
cmake --build "$folder" -j"$(nproc)" "${targets[@]}"
