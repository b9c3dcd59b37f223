#!/bin/sh
# Runs a GUI test binary under the preload with a display: the one in DISPLAY when the
# test command started a shared Xvfb, otherwise a private one.
here=$(dirname "$0")
export GDK_GL=disable NO_AT_BRIDGE=1
case " $* " in *" --gtest_list_tests "*) exec "$@" ;; esac
if [ -n "${DISPLAY:-}" ]; then
  exec "$here/run-emulated.sh" "$@"
fi
exec xvfb-run -a -s "-screen 0 1024x600x24" "$here/run-emulated.sh" "$@"
