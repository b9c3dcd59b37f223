#!/bin/sh
# Runs a benchmark program as the station runs in the tests: under a private Xvfb of the
# station's screen size, with GL off, and with the umockdev preload for the emulated board.
#   bench/run-bench.sh PROGRAM [ARGS...]
export GDK_GL=disable NO_AT_BRIDGE=1 G_SLICE=always-malloc
export LD_PRELOAD="libumockdev-preload.so.0${LD_PRELOAD:+ $LD_PRELOAD}"
export ASAN_OPTIONS="verify_asan_link_order=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
exec xvfb-run -a -s "-screen 0 1024x600x24" "$@"
