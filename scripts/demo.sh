#!/bin/bash
# Builds the updater, then shows it at work on a simulated instrument laid out
# by `update-sim --init` in a temporary folder: the usage text, a run without
# a USB device, a run that mounts the stick and carries on to the end, and a
# real update: the example package of examples/update-package, built by
# update-pack, signed with a key it made on the spot and checked by
# update-lint, installed over firmware 1.0. After each run update-sim tells
# on standard error what happened.
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
root=$work/root
stick=$root/dev/disk/by-label/BRIMWOOD

# A fresh instrument with firmware 1.0 and an empty stick attached.
lay_out() {
    rm -rf "$root"
    "$sim" --init "$root" >/dev/null
}

# Runs the updater on the instrument; update-sim tells what happened.
run() {
    echo
    echo "== $1"
    shift
    echo "\$ update-sim ROOT $*"
    "$sim" "$root" "$@" 2>&1 | sed "s|$root|ROOT|g" || true
}

lay_out
run "The usage text" -h

lay_out
rm -r "$root/sys/bus/usb/drivers/usb-storage"
run "No USB storage device attached"

lay_out
mkdir -p "$stick/firmware"
printf 'Nothing\nKey=value\n' >"$stick/firmware/AuxInfo.txt"
run "A stick whose manifest has nothing to do"

lay_out
# Firmware 1.0's settings, which the user has changed, and an MSP430
# programmer whose fast mode fails.
printf 'V1.0\nLanguage German\nBrightness 40\nBacklight(timeout) 120\n' \
    >"$root/home/Brimwood/cfg/brimwood.conf"
echo "1 --fast" >"$root/.sim/exit/msp430-tool"
cp "$root/home/Brimwood/cfg/brimwood.conf" "$work/brimwood.conf.before"

# The package: a key pair whose public half the instrument keeps, then the
# stick built from the example's source manifest and files, and signed.
echo
echo "== Building the package"
echo "\$ update-pack --keygen key.pem ROOT/home/Brimwood/bin/NorvoCal.pub"
"$pack" --keygen "$work/key.pem" "$root/home/Brimwood/bin/NorvoCal.pub" 2>&1 |
    sed "s|$root|ROOT|g; s|$work/||g"
echo "\$ update-pack examples/update-package/AuxInfo.txt.in ROOT/dev/disk/by-label/BRIMWOOD --key key.pem"
"$pack" examples/update-package/AuxInfo.txt.in "$stick" --key "$work/key.pem" 2>&1 |
    sed "s|$root|ROOT|g; s|$work/||g"
# What the stick will do on this instrument, then the findings: the example
# accepts its known warnings, so it checks clean (status 0).
echo "\$ update-lint ROOT/dev/disk/by-label/BRIMWOOD --key ROOT/home/Brimwood/bin/NorvoCal.pub --instrument ROOT --show"
status=0
"$lint" "$stick" --key "$root/home/Brimwood/bin/NorvoCal.pub" --instrument "$root" --show \
    >"$work/lint.out" 2>&1 || status=$?
sed "s|$root|ROOT|g" "$work/lint.out"
echo "-- update-lint exit status: $status"
if [ "$status" -ne 0 ]; then
    echo "demo: the stick checker does not find the example package clean" >&2
    exit 1
fi

run "A signed update from firmware 1.0 to 2.0" -s -t "2026-06-01 12:00:00"
echo "-- the stand-in programs ran, in order:"
sed 's/^/    /' "$root/.sim/stand-ins"
echo "-- the merged /home/Brimwood/cfg/brimwood.conf (the package's version 2.0"
echo "   keywords, with the values the instrument held):"
diff -u --label before --label after "$work/brimwood.conf.before" \
    "$root/home/Brimwood/cfg/brimwood.conf" | sed 's/^/    /' || true

run "The same stick again: nothing newer to install" -s -t "2026-12-01 10:00:00"
