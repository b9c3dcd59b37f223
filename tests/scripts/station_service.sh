#!/bin/bash
# The station as the session's service, under a real user service manager (in a private
# mount namespace, so the machine's own is not touched): the packaged unit with only the
# launcher's path changed. Ready once painted; killed, it is back; hung, the watchdog
# restarts it; closed by the operator (status 0) it stays closed; "Update" (status 75) has
# it started again. Prints the times it took.
#   station_service.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1024x600x24" bash "$0" "$@"
fi
build=$(cd "$1" && pwd) source=$(cd "$2" && pwd)
if [ "${VARNOLD_IN_NAMESPACE:-}" != yes ]; then
    # systemd runs as a user manager only where /run/systemd/system says it booted the machine.
    VARNOLD_IN_NAMESPACE=yes exec unshare -m --propagation private bash "$0" "$@"
fi
mount -t tmpfs tmpfs /run
mkdir -p /run/systemd/system
work=$(mktemp -d)
export HOME=$work/home XDG_RUNTIME_DIR=$work/runtime XDG_CONFIG_HOME=$work/home/.config
export GDK_GL=disable NO_AT_BRIDGE=1 LANG=${LANG:-C.UTF-8}
mkdir -p "$HOME/Documents" "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME/systemd/user/varnold.service.d"
chmod 700 "$XDG_RUNTIME_DIR"
cp "$build/Varnold" "$build"/*.png "$HOME/Documents/"
cp "$source/resources/Settings.dat" "$HOME/Documents/"
cp "$source/packaging/varnold.service" "$XDG_CONFIG_HOME/systemd/user/"
printf '[Service]\nExecStart=\nExecStart=%s\n' "$build/packaging/varnold-station" \
    >"$XDG_CONFIG_HOME/systemd/user/varnold.service.d/launcher.conf"

/lib/systemd/systemd --user >"$work/manager.log" 2>&1 &
manager=$!
trap 'kill $manager 2>/dev/null; wait $manager 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL $*"; systemctl --user status varnold.service --no-pager || true; exit 1; }
wait_for() {  # what, condition...: up to 60 s, for a loaded machine
    local what=$1 && shift && for _ in $(seq 600); do "$@" && return 0; sleep 0.1; done
    fail "$what"
}
property() { systemctl --user show -P "$1" varnold.service; }
now() { date +%s.%N; }
since() { awk -v a="$(now)" -v b="$1" 'BEGIN { printf "%.1f", a - b }'; }
running() { systemctl --user is-system-running --quiet 2>/dev/null; }
wait_for "the service manager runs" running

started=$(now)
systemctl --user start varnold.service  # returns once the station said it is ready
echo "ok   ready $(since "$started") s after the start"
cmp -s "/proc/$(property MainPID)/exe" "$build/Varnold" || fail "the station itself is the service's main process"

# Killed, or hung (a screen that does not move any more stops feeding the watchdog).
for signal in KILL STOP; do
    before=$(property MainPID) && t=$(now) && kill -$signal "$before"
    wait_for "back after SIG$signal" bash -c '[ "$(systemctl --user show -P MainPID varnold.service)" != "$1" ] &&
        [ "$(systemctl --user show -P ActiveState varnold.service)" = active ]' _ "$before"
    echo "ok   SIG$signal: back and ready $(since "$t") s later"
done
[ "$(property NRestarts)" = 2 ] || fail "two restarts, counted $(property NRestarts)"

# The operator's "Close" (SIGTERM closes the station the same way, status 0) ends it for good.
kill -TERM "$(property MainPID)"
wait_for "closed" bash -c '[ "$(systemctl --user show -P ActiveState varnold.service)" = inactive ]'
[ "$(property Result)" = success ] || fail "closed by the operator, the result is $(property Result)"
echo "ok   closed by the operator: stays closed"

# "Update" ends the station with status 75 and the service starts it again: a stand-in for
# the station that ends so once.
printf '#!/bin/sh
[ -e updated ] || { touch updated; exit 75; }
systemd-notify --ready
exec sleep 600
' >"$HOME/Documents/Varnold"
systemctl --user start varnold.service 2>/dev/null || true  # the first run ends before it is ready
wait_for "started again after the update's status" bash -c '[ -e "$1" ] &&
    [ "$(systemctl --user show -P ActiveState varnold.service)" = active ]' _ "$HOME/Documents/updated"
echo "ok   ended for an update (75): started again"
echo "0 failure(s)"
