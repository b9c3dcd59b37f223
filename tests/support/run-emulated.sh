#!/bin/sh
# Runs a test binary under the umockdev preload so the emulated board is visible to libusb.
export LD_PRELOAD="libumockdev-preload.so.0${LD_PRELOAD:+ $LD_PRELOAD}"
export ASAN_OPTIONS="verify_asan_link_order=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export G_SLICE=always-malloc
exec "$@"
