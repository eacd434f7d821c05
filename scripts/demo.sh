#!/bin/bash
# Builds the updater, then shows it at work on a simulated instrument that it
# lays out in a temporary folder: the usage text, a run without a USB device,
# and a run that mounts the stick and carries on to the end.
# Usage: scripts/demo.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

echo "== Building"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target update-sim >/dev/null
sim=$(pwd)/$build/update-sim

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
    printf '#!/bin/sh\necho "    [display] $2"\n' >"$root/home/Brimwood/bin/qsplash"
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
