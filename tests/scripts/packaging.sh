#!/bin/bash
# The Debian package and the installation: lintian, contents and modes (the package and cmake
# --install alike), dependencies, every command's --help and --version, the per-operator setup
# (which never replaces an operator's catalogue and keeps the log-in choice), the launcher and
# desktop entry, and the board's udev rule run through udevadm itself.
#   packaging.sh BUILD_DIR SOURCE_DIR      (the station must be built in BUILD_DIR)
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
check() {  # description, command...
    local what=$1; shift
    if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
mode() { stat -c %a "$1" 2>/dev/null; }
same() { cmp -s "$1" "$2"; }
same_images() { local image; for image in $images; do cmp -s "$1/$image" "$2/$image" || return 1; done; }
images="up-arrow.png down-arrow.png ok-mark.png OK.png NOK.png"

cpack --config "$build/CPackConfig.cmake" -B "$scratch/pkg" >"$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log"; echo "FAIL cpack"; exit 1; }
deb=$(echo "$scratch"/pkg/*.deb)
[ -f "$deb" ] || { echo "FAIL expected one .deb, got: $deb"; exit 1; }
root=$scratch/root && dpkg-deb -x "$deb" "$root" && dpkg-deb -e "$deb" "$scratch/control"

# ---- the package --------------------------------------------------------------------------
deps=$(dpkg-deb -f "$deb" Depends | tr ',|' '\n\n' | sed 's/(.*)//; s/[[:space:]]//g; /^$/d')
check "depends on the run-time libraries, minisign and the fonts, on no -dev package" bash -c '! grep -q -- "-dev$" <<<"$1" &&
    for wanted in libwxgtk3.2-1 libusb-1.0-0 libsqlite3-0 libcurl4 minisign fonts-dejavu-extra; do grep -qx "$wanted" <<<"$1" || exit 1; done' _ "$deps"
check "every file belongs to root; postinst and postrm are executable shell" bash -c '! dpkg-deb -c "$1" | awk "{print \$2}" | grep -v "^root/root$" &&
    for f in "$2"/post{inst,rm}; do [ "$(stat -c %a "$f")" = 755 ] && sh -n "$f" || exit 1; done' _ "$deb" "$scratch/control"
check "lintian finds nothing to warn about" bash -c 'lintian --fail-on error,warning "$1" 2>&1 | grep -v "root privileges" >&2; [ "${PIPESTATUS[0]}" = 0 ]' _ "$deb"
commands="varnold-operator-setup varnold-station varnold-check varnold-records"
declare -A expected=([usr/libexec/varnold/Varnold]=755 [usr/share/varnold/Settings.dat.sample]=644
    [usr/share/applications/varnold.desktop]=644 [usr/lib/udev/rules.d/60-varnold.rules]=644
    [usr/lib/systemd/user/varnold.service]=644 [usr/share/doc/varnold/copyright]=644
    [usr/share/doc/varnold/changelog.gz]=644 [usr/share/doc/varnold/setup-guide.md]=644)
for image in $images; do expected[usr/share/varnold/$image]=644; done
for command in $commands; do expected[usr/bin/$command]=755 expected[usr/share/man/man1/$command.1.gz]=644; done
for shot in "$source"/docs/screenshots/*.png; do expected[usr/share/doc/varnold/screenshots/${shot##*/}]=644; done
check_tree() {  # root, label: exactly the expected files, with the expected modes
    local file listed
    for file in "${!expected[@]}"; do check "$2: $file ${expected[$file]}" test "$(mode "$1/$file")" = "${expected[$file]}"; done
    listed=$(cd "$1" && find . -type f -o -type l | sed 's|^\./||' | sort)
    check "$2: no other files" test "$listed" = "$(printf '%s\n' "${!expected[@]}" | sort)"
    check "$2: directories are 755" test -z "$(find "$1/usr" -type d ! -perm 755)"
}
check_tree "$root" package
DESTDIR=$scratch/destdir cmake --install "$build" --component station --prefix /usr >/dev/null
check_tree "$scratch/destdir" "cmake --install"
share=$root/usr/share/varnold station=$root/usr/bin/varnold-station desktop=$root/usr/share/applications/varnold.desktop
check "packaged images and sample catalogue" eval 'same_images "$share" "$source/resources" && same "$share/Settings.dat.sample" "$source/resources/Settings.dat"'
check "packaged program finds its libraries" eval '! ldd "$root/usr/libexec/varnold/Varnold" | grep -q "not found"'
# Each command answers --help and --version and refuses an unknown option with the usage; the
# station does so without a display, so it never opens its window for them.
version=$(dpkg-deb -f "$deb" Version) build_id=$("$build/Varnold" --version | sed -n 's/.*(build \(.*\))$/\1/p')
answers_options() {  # program
    local name=${1##*/} refused status
    env -u DISPLAY -u WAYLAND_DISPLAY "$1" --help | grep -q "^usage: $name" &&
        [ "$(env -u DISPLAY -u WAYLAND_DISPLAY "$1" --version)" = "$name $version (build $build_id)" ] || return 1
    refused=$(env -u DISPLAY -u WAYLAND_DISPLAY "$1" --bogus 2>&1 >/dev/null) && return 1
    status=$? && [ "$status" = 2 ] && grep -q "^$name: unknown .*--bogus" <<<"$refused" && grep -q "^usage: $name" <<<"$refused"
}
for program in usr/libexec/varnold/Varnold ${commands//varnold-/usr/bin/varnold-}; do
    check "${program##*/}: --help, --version $version, unknown option" answers_options "$root/$program"
done

# ---- per-operator setup -------------------------------------------------------------------
setup() { local home=$1; shift; env -u XDG_CONFIG_HOME HOME="$home" "$root/usr/bin/varnold-operator-setup" "$@" >/dev/null; }
home=$scratch/home/op docs=$scratch/home/op/Documents && mkdir -p "$home"
check "setup in a fresh home" setup "$home"
check "program 755, catalogue 644, images, private download folder 700 and autostart entry" eval 'same "$docs/Varnold" "$root/usr/libexec/varnold/Varnold" &&
    same "$docs/Settings.dat" "$share/Settings.dat.sample" && same_images "$docs" "$share" && same "$home/.config/autostart/varnold.desktop" "$desktop" &&
    [ "$(mode "$docs/Varnold") $(mode "$docs/Settings.dat") $(mode "$docs/tmp")" = "755 644 700" ]'
# An operator's catalogue survives an upgrade byte for byte and untouched in time.
printf '{"ShaftTypes": [{"ID": -3, "name": "T\xc3\xa9st", "X": 1520.0, "Y": 0.0, "alpha": 12.5, "beta": 0.1}]}' >"$docs/Settings.dat"
touch -d '2020-01-02 03:04:05' "$docs/Settings.dat" && cp -p "$docs/Settings.dat" "$scratch/catalogue.before"
printf '#!/bin/sh\necho older\n' >"$docs/Varnold" && rm "$docs/OK.png"
check "setup again, catalogue kept as it was" eval 'setup "$home" && same "$docs/Settings.dat" "$scratch/catalogue.before" &&
    [ "$(stat -c %Y "$docs/Settings.dat")" = "$(stat -c %Y "$scratch/catalogue.before")" ]'
check "program upgraded, missing image restored" eval 'same "$docs/Varnold" "$root/usr/libexec/varnold/Varnold" && same "$docs/OK.png" "$share/OK.png"'
check "the replaced program is kept; --previous brings it back, and once more undoes that" eval '[ "$("$docs/Varnold.old")" = older ] &&
    setup "$home" --previous && [ "$("$docs/Varnold")" = older ] && setup "$home" --previous && same "$docs/Varnold" "$root/usr/libexec/varnold/Varnold"'
# A catalogue that is a dangling link (a backup disk not mounted) is neither replaced nor written through.
mkdir -p "$scratch/home/linked/Documents" "$scratch/elsewhere" && ln -s "$scratch/elsewhere/Settings.dat" "$scratch/home/linked/Documents/Settings.dat"
entry=$scratch/home/linked/.config/autostart/varnold.desktop
check "setup --no-autostart beside a dangling catalogue link: link left alone, a log-in entry that hides itself" eval 'setup "$scratch/home/linked" --no-autostart &&
    test -L "$scratch/home/linked/Documents/Settings.dat" -a ! -e "$scratch/elsewhere/Settings.dat" && grep -qx Hidden=true "$entry"'
check "a later setup keeps log-in start off, --autostart turns it on" eval 'setup "$scratch/home/linked" && grep -qx Hidden=true "$entry" &&
    desktop-file-validate "$entry" && setup "$scratch/home/linked" --autostart && same "$entry" "$desktop"'
if [ "$(id -u)" = 0 ]; then  # for somebody else's home (under sudo) it would leave files the operator cannot save
    mkdir -p "$scratch/home/other" && chown 65534:65534 "$scratch/home/other"
    check "setup refuses a home owned by another user, creating nothing" eval '! setup "$scratch/home/other" 2>/dev/null && test ! -e "$scratch/home/other/Documents"'
fi

# ---- log-in launcher and desktop entry ----------------------------------------------------
check "desktop entry validates and starts the service through the launcher" eval 'desktop-file-validate "$desktop" &&
    test -x "$root/usr/bin/$(sed -n "s/^TryExec=//p" "$desktop")" && grep -qx "Exec=varnold-station --service" "$desktop"'
# The station finds Settings.dat and its images in its working directory: ~/Documents.
printf '#!/bin/sh\npwd >"$HOME/started-in"\n' >"$docs/Varnold" && chmod 755 "$docs/Varnold"
check "launcher (no user service manager) starts the station in ~/Documents" bash -c 'HOME="$1" XDG_RUNTIME_DIR=/nonexistent "$2" --service &&
    [ "$(cat "$1/started-in")" = "$1/Documents" ]' _ "$home" "$station"
# After an update the old station may take long to close; the wait is bounded and says so.
printf '#!/bin/sh\nexit 3\n' >"$docs/Varnold.new" && chmod 755 "$docs/Varnold.new" && rm "$home/started-in"
exec 9<"$docs" && flock 9  # the closing station holds its folder
check "launcher waits a bounded time for a closing station, says so and starts nothing" bash -c 'out=$(VARNOLD_CLOSE_WAIT=1 HOME="$1" "$2" 2>&1);
    [ $? = 1 ] && grep -q "did not close within 1 s" <<<"$out" && test -e "$1/Documents/Varnold.new" -a ! -e "$1/started-in"' _ "$home" "$station"
exec 9>&-
mkdir -p "$scratch/home/empty"
check "launcher without setup fails and says why" bash -c 'out=$(HOME="$1" "$2" 2>&1); [ $? -ne 0 ] && grep -q varnold-operator-setup <<<"$out"' _ "$scratch/home/empty" "$station"

# ---- udev rule ----------------------------------------------------------------------------
# udevadm test runs the real rules engine on a device umockdev emulates in sysfs, in a private
# mount namespace with its own /run: the rule is read from /run/udev/rules.d, nothing of the
# machine's udev state is touched.
rule=$root/usr/lib/udev/rules.d/60-varnold.rules
board=/devices/pci0000:00/0000:00:14.0/usb1/1-2
udev_test() {  # syspath, devtype, vendor, product -> udevadm test output
    local record=$scratch/$RANDOM.umockdev opts=(-m --propagation private)
    printf 'P: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=%s\n' "$1" "$2" >"$record"
    if [ "$2" = usb_device ]; then
        printf 'N: bus/usb/001/002\nE: DEVNAME=/dev/bus/usb/001/002\nE: MAJOR=189\nE: MINOR=1\nA: dev=189:1\nA: busnum=1\nA: devnum=2\nA: idVendor=%s\nA: idProduct=%s\n' "$3" "$4"
    else printf 'A: bInterfaceNumber=00\nA: bInterfaceClass=ff\n'; fi >>"$record"
    [ "$(id -u)" = 0 ] || opts=(-r "${opts[@]}")
    unshare "${opts[@]}" sh -c 'mount -t tmpfs tmpfs /run && mkdir -p /run/udev/rules.d && cp "$1" /run/udev/rules.d/ &&
        umockdev-run -d "$2" -- udevadm test --action=add "/sys$3"' _ "$rule" "$record" "$1" 2>&1 || true
}
out=$(udev_test "$board" usb_device 04d8 0053)
if ! grep -q '^Reading rules file: /run/udev/rules.d/60-varnold.rules' <<<"$out"; then
    echo "$out"; check "udevadm test reads the packaged rule" false
else
    check "board gets mode 0660" grep -q '60-varnold.rules:[0-9]* MODE 0660' <<<"$out"
    check "board gets group plugdev" grep -q "60-varnold.rules:[0-9]* GROUP $(getent group plugdev | cut -d: -f3)\$" <<<"$out"
    check "board is tagged uaccess and the builtin runs" bash -c 'grep -q "^TAGS=.*:uaccess:" <<<"$1" &&
        grep -q "73-seat-late.rules:[0-9]* RUN '"'uaccess'"'" <<<"$1"' _ "$out"
    for other in "$board/1-2:1.0 usb_interface" "$board usb_device 04d8 000a"; do
        # shellcheck disable=SC2086
        out=$(udev_test $other)
        check "not matched: $other" bash -c 'grep -q "^DEVPATH=" <<<"$1" && ! grep -q "60-varnold.rules:[0-9]\|^TAGS=.*:uaccess:" <<<"$1"' _ "$out"
    done
fi

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
