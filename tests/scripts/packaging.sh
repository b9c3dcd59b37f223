#!/bin/bash
# The Debian package and the installation: package contents and modes, cmake --install,
# the per-operator setup (which must never replace an operator's catalogue), the log-in
# launcher and desktop entry, and the board's udev rule run through udevadm itself.
#   packaging.sh BUILD_DIR SOURCE_DIR      (the station must be built in BUILD_DIR)
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

trap 'echo "FAIL unexpected error at line $LINENO"' ERR
failures=0
check() {  # description, command...
    local what=$1; shift
    if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
mode_of() { stat -c %a "$1"; }
images="up-arrow.png down-arrow.png ok-mark.png OK.png NOK.png"

for program in Varnold varnold-check varnold-records; do
    [ -x "$build/$program" ] || { echo "FAIL $build/$program is not built"; exit 1; }
done

# ---- the package ------------------------------------------------------------------------
if ! cpack --config "$build/CPackConfig.cmake" -B "$scratch/pkg" >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log"; echo "FAIL cpack"; exit 1
fi
debs=("$scratch"/pkg/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL expected one .deb, got: ${debs[*]}"; exit 1; }
deb=${debs[0]}
echo "built $(basename "$deb")"

check "package name is varnold" test "$(dpkg-deb -f "$deb" Package)" = varnold
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
dep_names=$(echo "$depends" | tr ',|' '\n\n' | sed 's/(.*)//; s/[[:space:]]//g' | sed '/^$/d')
for wanted in libwxgtk3.2-1 libwxbase3.2-1 libusb-1.0-0 libsqlite3-0 libcurl4 minisign fonts-dejavu-extra; do
    check "depends on $wanted" grep -qx "$wanted" <<<"$dep_names"
done
check "depends on no development package" bash -c '! grep -q -- "-dev$" <<<"$1"' _ "$dep_names"
# Every dependency is a real Debian package: the run-time libraries are installed here.
for name in $dep_names; do
    check "dependency $name is a known package" dpkg-query -W "$name" >/dev/null
done

check "apt can install the package with its dependencies" \
    bash -c 'apt-get install -s "$1" >/dev/null 2>&1' _ "$deb"
check "every packaged file belongs to root" \
    bash -c '! dpkg-deb -c "$1" | awk "{print \$2}" | grep -v "^root/root$"' _ "$deb"

root=$scratch/root
dpkg-deb -x "$deb" "$root"
declare -A expected=(
    [usr/bin/varnold-operator-setup]=755
    [usr/bin/varnold-station]=755
    [usr/bin/varnold-check]=755
    [usr/bin/varnold-records]=755
    [usr/libexec/varnold/Varnold]=755
    [usr/share/varnold/Settings.dat.sample]=644
    [usr/share/applications/varnold.desktop]=644
    [usr/lib/udev/rules.d/60-varnold.rules]=644
)
for image in $images; do expected[usr/share/varnold/$image]=644; done

check_tree() {  # root, label: exactly the expected files, with the expected modes
    local tree=$1 label=$2 file
    for file in "${!expected[@]}"; do
        check "$label: $file mode ${expected[$file]}" \
            test "$(mode_of "$tree/$file" 2>/dev/null)" = "${expected[$file]}"
    done
    local actual wanted
    actual=$(cd "$tree" && find . -type f -o -type l | sed 's|^\./||' | sort)
    wanted=$(printf '%s\n' "${!expected[@]}" | sort)
    check "$label: no other files" test "$actual" = "$wanted"
    check "$label: directories are 755" \
        bash -c '[ -z "$(find "$1" -type d ! -perm 755)" ]' _ "$tree/usr"
}
check_tree "$root" package

for image in $images; do
    check "packaged $image is the resource" cmp -s "$root/usr/share/varnold/$image" "$source/resources/$image"
done
check "packaged sample catalogue is the resource" \
    cmp -s "$root/usr/share/varnold/Settings.dat.sample" "$source/resources/Settings.dat"
check "packaged program is an executable" bash -c 'file -b "$1" | grep -q "ELF.*executable"' _ \
    "$root/usr/libexec/varnold/Varnold"
check "packaged program finds its libraries" \
    bash -c '! ldd "$1" | grep -q "not found"' _ "$root/usr/libexec/varnold/Varnold"
check "packaged board check runs" bash -c '"$1" --help >/dev/null' _ "$root/usr/bin/varnold-check"

dpkg-deb -e "$deb" "$scratch/control"
for script in postinst postrm; do
    check "$script is executable" test "$(mode_of "$scratch/control/$script")" = 755
    check "$script is valid shell" sh -n "$scratch/control/$script"
done

# ---- cmake --install gives the same tree ------------------------------------------------
DESTDIR=$scratch/destdir cmake --install "$build" --component station --prefix /usr >/dev/null
check_tree "$scratch/destdir" "cmake --install"

# ---- per-operator setup -----------------------------------------------------------------
setup=$root/usr/bin/varnold-operator-setup
station=$root/usr/bin/varnold-station
run_setup() {  # home, arguments...
    local home=$1; shift
    env -u XDG_CONFIG_HOME HOME="$home" "$setup" "$@"
}
home=$scratch/home/op
docs=$home/Documents
mkdir -p "$home"
check "setup runs in a fresh home" run_setup "$home" >/dev/null
check "program copied" cmp -s "$docs/Varnold" "$root/usr/libexec/varnold/Varnold"
check "program is 755" test "$(mode_of "$docs/Varnold")" = 755
for image in $images; do
    check "$image beside the program" cmp -s "$docs/$image" "$root/usr/share/varnold/$image"
done
check "catalogue created from the sample" cmp -s "$docs/Settings.dat" "$root/usr/share/varnold/Settings.dat.sample"
check "catalogue is 644" test "$(mode_of "$docs/Settings.dat")" = 644
check "private download folder for the self-update" test "$(mode_of "$docs/tmp")" = 700
check "autostart entry installed" \
    cmp -s "$home/.config/autostart/varnold.desktop" "$root/usr/share/applications/varnold.desktop"

# An operator's catalogue survives an upgrade byte for byte, even untouched in time.
printf '{\n    "ShaftTypes": [\n        {\n            "ID": -3,\n            "name": "T\xc3\xa9st \\"q\\"",\n            "X": 1520.0,\n            "Y": 0.0,\n            "alpha": 12.5,\n            "beta": 0.10000000149011612\n        }\n    ]\n}' >"$docs/Settings.dat"
touch -d '2020-01-02 03:04:05' "$docs/Settings.dat"
cp -p "$docs/Settings.dat" "$scratch/catalogue.before"
echo "older program" >"$docs/Varnold"
rm "$docs/OK.png"
check "setup runs again" run_setup "$home" >/dev/null
check "existing catalogue kept byte-identical" cmp -s "$docs/Settings.dat" "$scratch/catalogue.before"
check "existing catalogue not rewritten" \
    test "$(stat -c %Y "$docs/Settings.dat")" = "$(stat -c %Y "$scratch/catalogue.before")"
check "program upgraded" cmp -s "$docs/Varnold" "$root/usr/libexec/varnold/Varnold"
check "missing image restored" cmp -s "$docs/OK.png" "$root/usr/share/varnold/OK.png"
check "no temporary files left" bash -c '[ -z "$(find "$1" -name ".*.new.*")" ]' _ "$docs"

# A catalogue that is a symbolic link (e.g. to a backup disk that is not mounted) is not replaced
# or written through.
home2=$scratch/home/linked
mkdir -p "$home2/Documents"
ln -s "$scratch/elsewhere/Settings.dat" "$home2/Documents/Settings.dat"
check "setup with a dangling catalogue link" run_setup "$home2" --no-autostart >/dev/null
check "catalogue link left alone" test -L "$home2/Documents/Settings.dat" -a ! -e "$scratch/elsewhere"
check "--no-autostart installs no entry" test ! -e "$home2/.config/autostart/varnold.desktop"

if [ "$(id -u)" = 0 ]; then
    # Run for somebody else's home (as under sudo) it would leave files the operator cannot save.
    home3=$scratch/home/other
    mkdir -p "$home3"
    chown 65534:65534 "$home3"
    refused=yes
    run_setup "$home3" 2>/dev/null && refused=no
    check "setup refuses a home owned by another user" test $refused = yes
    check "and creates nothing there" test ! -e "$home3/Documents"
fi

# ---- log-in launcher and desktop entry ---------------------------------------------------
desktop=$root/usr/share/applications/varnold.desktop
check "desktop entry validates" desktop-file-validate "$desktop"
check "autostart copy validates" desktop-file-validate "$home/.config/autostart/varnold.desktop"
exec_line=$(sed -n 's/^Exec=//p' "$desktop")
check "desktop entry starts the packaged launcher" test -x "$root/usr/bin/$exec_line"
# The launcher starts the station from the Documents folder: the working directory is
# where it finds Settings.dat and its images.
printf '#!/bin/sh\npwd >"$HOME/started-in"\n' >"$docs/Varnold"
chmod 755 "$docs/Varnold"
check "launcher starts the station" env HOME="$home" "$station"
check "station started in ~/Documents" test "$(cat "$home/started-in" 2>/dev/null)" = "$docs"
# A program that fails at once gives way to the one the self-update kept, and says so.
printf '#!/bin/sh\nexit 3\n' >"$docs/Varnold"
printf '#!/bin/sh\npwd >"$HOME/old-started-in"\n' >"$docs/Varnold.old"
chmod 755 "$docs/Varnold.old"
check "launcher falls back to Varnold.old and logs it" \
    bash -c 'HOME="$1" "$2" 2>&1 | grep -q "starting the previous program" && test -e "$1/old-started-in"' _ "$home" "$station"
empty_home=$scratch/home/empty
mkdir -p "$empty_home"
check "launcher without setup fails and says why" \
    bash -c 'out=$(HOME="$1" "$2" 2>&1); [ $? -ne 0 ] && grep -q varnold-operator-setup <<<"$out"' _ "$empty_home" "$station"

# ---- udev rule ----------------------------------------------------------------------------
# udevadm test runs the real rules engine on a device that umockdev emulates in sysfs. It
# runs in a private mount namespace with its own /run, so the packaged rule is read from
# /run/udev/rules.d and nothing of the machine's udev state is touched.
rule=$root/usr/lib/udev/rules.d/60-varnold.rules
check "rule comes before 73-seat-late.rules, which applies uaccess" \
    bash -c '[[ "$(basename "$1")" < 73-seat-late.rules ]]' _ "$rule"
record() {  # file, syspath, devtype, vendor, product
    {
        echo "P: $2"
        [ "$3" = usb_device ] && echo "N: bus/usb/001/002"
        echo "E: SUBSYSTEM=usb"
        echo "E: DEVTYPE=$3"
        [ "$3" = usb_device ] && printf 'E: DEVNAME=/dev/bus/usb/001/002\nE: MAJOR=189\nE: MINOR=1\nA: dev=189:1\nA: busnum=1\nA: devnum=2\n'
        [ -n "$4" ] && printf 'A: idVendor=%s\nA: idProduct=%s\n' "$4" "$5"
        [ "$3" = usb_interface ] && printf 'A: bInterfaceNumber=00\nA: bInterfaceClass=ff\n'
        true
    } >"$1"
}
unshare_opts=(-m --propagation private)
[ "$(id -u)" = 0 ] || unshare_opts=(-r "${unshare_opts[@]}")
udev_test() {  # record file, syspath -> udevadm test output
    unshare "${unshare_opts[@]}" sh -c '
        mount -t tmpfs tmpfs /run && mkdir -p /run/udev/rules.d && cp "$1" /run/udev/rules.d/ &&
        umockdev-run -d "$2" -- udevadm test --action=add "/sys$3"' _ "$rule" "$1" "$2" 2>&1
}
board=/devices/pci0000:00/0000:00:14.0/usb1/1-2
record "$scratch/board.umockdev" "$board" usb_device 04d8 0053
record "$scratch/interface.umockdev" "$board/1-2:1.0" usb_interface "" ""
record "$scratch/other.umockdev" "$board" usb_device 04d8 000a
udev_test "$scratch/board.umockdev" "$board" >"$scratch/udev-board.txt" || true
if ! grep -q '^Reading rules file: /run/udev/rules.d/60-varnold.rules' "$scratch/udev-board.txt"; then
    cat "$scratch/udev-board.txt"
    check "udevadm test reads the packaged rule" false
else
    grep "60-varnold.rules:\\|^TAGS=\\|RUN 'uaccess'" "$scratch/udev-board.txt" | sed 's/^/     udevadm: /' || true
    check "board 04d8:0053 gets mode 0660" grep -q '60-varnold.rules:[0-9]* MODE 0660' "$scratch/udev-board.txt"
    check "board 04d8:0053 gets group plugdev" \
        grep -q "60-varnold.rules:[0-9]* GROUP $(getent group plugdev | cut -d: -f3)\$" "$scratch/udev-board.txt"
    check "board 04d8:0053 is tagged uaccess" grep -q '^TAGS=.*:uaccess:' "$scratch/udev-board.txt"
    # The builtin that gives the logged-in operator an ACL on the device node.
    check "uaccess builtin runs for the board" \
        grep -q "73-seat-late.rules:[0-9]* RUN 'uaccess'" "$scratch/udev-board.txt"
    udev_test "$scratch/interface.umockdev" "$board/1-2:1.0" >"$scratch/udev-interface.txt" || true
    udev_test "$scratch/other.umockdev" "$board" >"$scratch/udev-other.txt" || true
    for kind in interface other; do
        check "$kind device was examined" grep -q '^DEVPATH=' "$scratch/udev-$kind.txt"
        check "$kind device is not matched" bash -c '! grep -q "60-varnold.rules:[0-9]" "$1" &&
            ! grep -q "^TAGS=.*:uaccess:" "$1"' _ "$scratch/udev-$kind.txt"
    done
fi

echo "$failures failure(s)"
[ "$failures" -eq 0 ] || exit 1
