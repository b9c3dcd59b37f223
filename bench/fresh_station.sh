#!/bin/bash
# From a fresh Debian 12 installation to a station that keeps itself running, with the time
# each step takes: the package installed with apt, the operator merto added and set up, the
# station started by its log-in entry as the session's service on a virtual display, killed
# and seen back, "Update" pressed for a newer signed release and then for an older one, and
# the previous program brought back with varnold-operator-setup --previous.
# Everything happens in a private mount namespace over throw-away layers of /usr, /etc, /var,
# /home and /run: the machine itself is not changed. Needs root, xvfb, xdotool, minisign.
#   bench/fresh_station.sh BUILD_DIR      (after cmake --build BUILD_DIR --target deb)
set -euo pipefail
build=$(cd "$1" && pwd)
deb=$(echo "$build"/package/varnold_*.deb)
[ -f "$deb" ] || { echo "no package in $build/package: cmake --build $build --target deb"; exit 1; }
if [ "${VARNOLD_FRESH_NAMESPACE:-}" != yes ]; then
    VARNOLD_FRESH_NAMESPACE=yes exec unshare -m --propagation private bash "$0" "$@"
fi
layers=$(mktemp -d)
for dir in usr etc var home; do
    mkdir -p "$layers/$dir/upper" "$layers/$dir/work"
    mount -t overlay overlay -o "lowerdir=/$dir,upperdir=$layers/$dir/upper,workdir=$layers/$dir/work" "/$dir"
done
mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/system /run/lock
export LANG=C.UTF-8
now() { date +%s.%N; }
since() { awk -v a="$(now)" -v b="$1" 'BEGIN { printf "%.1f s", a - b }'; }
wait_for() {  # what, condition...: up to 120 s
    local what=$1 && shift && for _ in $(seq 1200); do "$@" && return 0; sleep 0.1; done
    echo "FAIL: $what"; tail -20 "$log" "$layers/manager.log" 2>/dev/null
    [ -z "${VARNOLD_FAIL_SHOT:-}" ] || DISPLAY=:71 xwd -root -silent | /usr/bin/convert xwd:- "$VARNOLD_FAIL_SHOT"; exit 1
}
step() { printf '%-58s %s\n' "$1" "$2"; }

t=$(now) && apt-get install -y -q "$deb" >"$layers/apt.log" 2>&1 && step "package installed (apt-get install ./varnold_*.deb)" "$(since "$t")"
adduser --disabled-password --gecos "" merto >/dev/null
uid=$(id -u merto) runtime=/run/user/$(id -u merto) log=/home/merto/station.log
install -d -o merto -m 700 "$runtime"
Xvfb :71 -screen 0 1024x600x24 -nolisten tcp -ac >/dev/null 2>&1 &
display=$!
cleanup() {
    kill -KILL $(find "$cgroup" -name cgroup.procs -exec cat {} + 2>/dev/null) 2>/dev/null
    kill "$display" ${server:-} 2>/dev/null
    sleep 0.5 && find "$cgroup" -depth -type d -exec rmdir {} + 2>/dev/null
}
trap cleanup EXIT
as_merto() { runuser -u merto -- env HOME=/home/merto XDG_RUNTIME_DIR="$runtime" DISPLAY=:71 GDK_GL=disable NO_AT_BRIDGE=1 LANG=C.UTF-8 "$@"; }
# What log-in does for the operator: a cgroup of the operator's own for the service manager.
cgroup=/sys/fs/cgroup/unified/varnold-fresh-station-$$
[ -d /sys/fs/cgroup/unified ] || cgroup=/sys/fs/cgroup/varnold-fresh-station-$$
mkdir "$cgroup" && chown -R merto "$cgroup"
(echo "$BASHPID" >"$cgroup/cgroup.procs" && exec runuser -u merto -- env HOME=/home/merto XDG_RUNTIME_DIR="$runtime" \
    DISPLAY=:71 GDK_GL=disable NO_AT_BRIDGE=1 LANG=C.UTF-8 /lib/systemd/systemd --user) >"$layers/manager.log" 2>&1 &
disown
manager_up() { as_merto systemctl --user is-system-running --quiet 2>/dev/null; }
wait_for "merto's service manager" manager_up
t=$(now) && as_merto varnold-operator-setup >/dev/null && step "operator set up (varnold-operator-setup)" "$(since "$t")"
# No journal in here: the station's session log goes to a file.
install -d -o merto /home/merto/.config/systemd/user/varnold.service.d
printf '[Service]\nStandardOutput=append:%s\nStandardError=append:%s\n' "$log" "$log" >/home/merto/.config/systemd/user/varnold.service.d/log.conf
as_merto systemctl --user daemon-reload
property() { as_merto systemctl --user show -P "$1" varnold.service; }
up_again() { [ "$(property MainPID)" != "$1" ] && [ "$(property MainPID)" != 0 ] && [ "$(property ActiveState)" = active ]; }

entry=$(sed -n 's/^Exec=//p' /home/merto/.config/autostart/varnold.desktop)
t=$(now) && as_merto sh -c "$entry" && step "log-in entry ($entry): ready" "$(since "$t")"
first=$(property MainPID)
t=$(now) && kill -KILL "$first" && wait_for "back after a kill" up_again "$first" && step "station killed: back and ready" "$(since "$t")"
second=$(property MainPID)
t=$(now) && kill -STOP "$second" && wait_for "back after a hang" up_again "$second" && step "station hung (SIGSTOP): back and ready" "$(since "$t")"

# The maker's server on this machine, the workshop's key on the station.
www=$layers/www/f/083-146-Varnold && mkdir -p "$www" /etc/varnold
minisign -G -W -p /etc/varnold/update.pub -s "$layers/update.key" >/dev/null
echo "127.0.0.1 downloads.station-maker.example" >>/etc/hosts
(cd "$layers/www" && exec python3 -m http.server 80 --bind 127.0.0.1 >/dev/null 2>&1) &
server=$!
serving() { python3 -c 'import socket; socket.create_connection(("127.0.0.1", 80), 1)' 2>/dev/null; }
wait_for "the download server" serving
release() {  # signed version: the package's program, told apart by a note at its end
    { cat /usr/libexec/varnold/Varnold; echo "release $1"; } >"$www/Varnold"
    rm -f "$www/Varnold.minisig" && minisign -S -s "$layers/update.key" -m "$www/Varnold" -t "version:$1" </dev/null >/dev/null
}
press_update() { as_merto xdotool mousemove 660 552 click 1; }
docs=/home/merto/Documents

release 1.1.0 && cp "$www/Varnold" "$www/Varnold.1.1.0"
third=$(property MainPID)
t=$(now) && press_update
wait_for "the newer release up" bash -c '[ -e "$1/Varnold.old" ] && [ ! -e "$1/Varnold.new" ] && grep -q "^Updated to" "$2"' _ "$docs" "$log"
wait_for "the service after the update" up_again "$third"
step "Update to a newer signed release (1.1.0): proven, kept" "$(since "$t")"
grep "^Updated to" "$log" | tail -1 | sed 's/^/    /'

release 0.9.0
t=$(now) && press_update
wait_for "the older release refused" grep -q "Update failed: 0.9.0 is not newer than" "$log"
step "Update to an older signed release (0.9.0): refused" "$(since "$t")"
grep "Update failed" "$log" | tail -1 | sed 's/^/    /'
[ ! -e "$docs/Varnold.new" ] && up_again 0 || { echo "FAIL: the refused release changed the station"; exit 1; }

fourth=$(property MainPID)
t=$(now) && as_merto varnold-operator-setup --previous | sed 's/^/    /'
wait_for "the previous program back" up_again "$fourth"
step "previous program back (varnold-operator-setup --previous)" "$(since "$t")"
cmp -s "$docs/Varnold" /usr/libexec/varnold/Varnold && cmp -s "$docs/Varnold.old" "$www/../083-146-Varnold/Varnold.1.1.0" ||
    { echo "FAIL: not the package's program back"; exit 1; }
