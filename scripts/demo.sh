#!/bin/bash
# Builds the updater, then shows it at work on a simulated instrument that it
# lays out in a temporary folder: the usage text, a run without a USB device,
# a run that mounts the stick and carries on to the end, and a real update:
# the example package of examples/update-package, built by update-pack,
# signed with a key it made on the spot and checked by update-lint, installed
# over firmware 1.0.
# Usage: scripts/demo.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

echo "== Building"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target update-sim update-pack update-lint >/dev/null
sim=$(pwd)/$build/update-sim
pack=$(pwd)/$build/update-pack
lint=$(pwd)/$build/update-lint

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A fresh instrument in $work/root: the updater's folders, the usb-storage
# binding of a stick on port 1.4.3, the stick itself (a folder) at its device
# path, and stand-ins for the splash program, the main application and
# /sbin/reboot that tell what the instrument would do.
lay_out() {
    rm -rf "$work/root"
    local root=$work/root
    mkdir -p "$root"/home/Brimwood/{bin,log,download} "$root/mnt" "$root/tmp" \
        "$root/sys/bus/usb/drivers/usb-storage/2-1.4.3:1.0" \
        "$root/dev/disk/by-label/BRIMWOOD/firmware" "$root/sbin"
    printf '#!/bin/sh\necho "    [display] $2"\necho "$2" >>/tmp/display\n' \
        >"$root/home/Brimwood/bin/qsplash"
    # The main application runs in the background: it leaves a note instead.
    printf '#!/bin/sh\necho started >/tmp/brimwood-started\n' >"$root/home/Brimwood/bin/brimwood"
    printf '#!/bin/sh\necho "    [reboot]"\n' >"$root/sbin/reboot"
    chmod 755 "$root/home/Brimwood/bin/qsplash" "$root/home/Brimwood/bin/brimwood" \
        "$root/sbin/reboot"
}

# Runs the updater on the instrument and shows what it left behind.
run() {
    echo
    echo "== $1"
    shift
    echo "\$ update $*"
    local status=0
    "$sim" "$work/root" "$@" || status=$?
    echo "-- exit status: $status"
    if [ -f "$work/root/home/Brimwood/log/UpdateErrorLog.txt" ]; then
        echo "-- error file: $(cat "$work/root/home/Brimwood/log/UpdateErrorLog.txt")"
    else
        echo "-- error file: none"
    fi
    if grep -qxF 'system /home/Brimwood/bin/brimwood & -> 0' "$work/root/.sim/log"; then
        echo "-- main application restarted"
    fi
    echo "-- platform calls:"
    sed 's/^/    /' "$work/root/.sim/log"
}

lay_out
run "The usage text" -h

lay_out
rm -r "$work/root/sys/bus/usb/drivers/usb-storage"
run "No USB storage device attached"

lay_out
printf 'Nothing\nKey=value\n' >"$work/root/dev/disk/by-label/BRIMWOOD/firmware/AuxInfo.txt"
run "A stick whose manifest has nothing to do"

lay_out
root=$work/root
stick=$root/dev/disk/by-label/BRIMWOOD
# Firmware 1.0 as installed: the main application and its settings, which the
# user has changed, and the stand-in MSP430 programmer, whose fast mode fails.
printf '#!/bin/sh\necho "brimwood 1.0 started" >/tmp/brimwood-started\n' \
    >"$root/home/Brimwood/bin/brimwood"
mkdir -p "$root/home/Brimwood/cfg"
printf 'V1.0\nLanguage German\nBrightness 40\nBacklight(timeout) 120\n' \
    >"$root/home/Brimwood/cfg/brimwood.conf"
cat >"$root/home/Brimwood/bin/msp430-tool" <<'TOOL'
#!/bin/sh
case "$*" in
--probe) echo "    [msp430] target found" ;;
*--fast*) echo "    [msp430] fast programming: verification failed"; exit 1 ;;
*) echo "    [msp430] programmed: $(head -n 1 "$2")" ;;
esac
TOOL
# The stand-in flash writer tells which file it was given, and what it holds.
cat >"$root/home/Brimwood/bin/flash-tool" <<'TOOL'
#!/bin/sh
echo "    [flash] $3 <- $2: $(head -c 24 "$2")..."
TOOL
chmod 755 "$root/home/Brimwood/bin/msp430-tool" "$root/home/Brimwood/bin/flash-tool"
cp -r "$root/home/Brimwood" "$work/before"

# The package: a key pair whose public half the instrument keeps, then the
# stick built from the example's source manifest and files, and signed.
echo
echo "== Building the package"
echo "\$ update-pack --keygen key.pem NorvoCal.pub"
"$pack" --keygen "$work/key.pem" "$root/home/Brimwood/bin/NorvoCal.pub"
echo "\$ update-pack examples/update-package/AuxInfo.txt.in STICK --key key.pem"
rm -r "$stick"
"$pack" examples/update-package/AuxInfo.txt.in "$stick" --key "$work/key.pem"
# The stick as the instrument will see it: warnings only (status 1) go ahead.
echo "\$ update-lint STICK --key NorvoCal.pub"
status=0
"$lint" "$stick" --key "$root/home/Brimwood/bin/NorvoCal.pub" || status=$?
echo "-- update-lint exit status: $status"
if [ "$status" -gt 1 ]; then
    echo "demo: the stick checker found errors in the example package" >&2
    exit 1
fi

run "A signed update from firmware 1.0 to 2.0" -s -t "2026-06-01 12:00:00"
echo "-- the display showed, in order:"
sed 's/^/    /' "$root/tmp/display"
echo "-- installed:"
for f in brimwood bwhelp.txt; do
    if cmp -s "examples/update-package/$f" "$root/home/Brimwood/bin/$f"; then
        echo "    /home/Brimwood/bin/$f ($(stat -c %A "$root/home/Brimwood/bin/$f"))"
    fi
done
echo "-- backed up:"
(cd "$root" && find home/Brimwood/backup -type f | sort | sed 's|^|    /|')
echo "-- merged /home/Brimwood/cfg/brimwood.conf (the package's version 2.0"
echo "   keywords, with the values the instrument held):"
diff -u --label before --label after "$work/before/cfg/brimwood.conf" \
    "$root/home/Brimwood/cfg/brimwood.conf" | sed 's/^/    /' || true
