#!/bin/bash
# The instrument in a virtual machine: the static armhf `update` on a real
# armhf kernel under qemu-system-arm, with a real USB hub and vfat sticks, the
# instrument's files on an ext4 disk, installed with its start glue (busybox
# mdev starts the updater when a stick is plugged in), sticks plugged in and
# pulled out through qemu's monitor and the power cut by killing qemu. Runs
# every scenario of
# scripts/vm/scenarios.sh, prints one line per scenario with its time and,
# last, "N passed, M failed"; exits 1 when any failed.
# Usage: scripts/vm-test.sh [UPDATE_BINARY]
#   UPDATE_BINARY   the program under test (or $UPD_VM_UPDATE); by default
#                   build-release/update (the shipping build). The start glue
#                   is installed from build-release (built when out of date).
#   UPD_VM_PACK     the update-pack that builds the sticks; by default
#                   build/update-pack, built when missing
#   UPD_VM_CACHE    where the guest is built and kept (/var/cache/upd-vm)
#   UPD_VM_JOBS     guests run at once (2); each takes a whole core
#   UPD_VM_ONLY     a pattern: only the scenarios whose names match it
#   UPD_VM_KEEP     set: keep the run's folder (images, consoles) and name it
# Installs what it needs with apt-get when run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
UPDATE=${1:-${UPD_VM_UPDATE:-build-release/update}}
cache=${UPD_VM_CACHE:-/var/cache/upd-vm}
max_jobs=${UPD_VM_JOBS:-2}
only=${UPD_VM_ONLY:-}

need=()
command -v qemu-system-arm >/dev/null || need+=(qemu-system-arm)
command -v mkfs.vfat >/dev/null || need+=(dosfstools)
command -v mcopy >/dev/null || need+=(mtools)
command -v sfdisk >/dev/null || need+=(fdisk)
command -v socat >/dev/null || need+=(socat)
command -v cpio >/dev/null || need+=(cpio)
command -v depmod >/dev/null || need+=(kmod)
command -v debugfs >/dev/null || need+=(e2fsprogs)
command -v openssl >/dev/null || need+=(openssl)
# The sticks are built with the project's own update-pack (native build).
PACK=${UPD_VM_PACK:-build/update-pack}
if [ ! -x "$PACK" ]; then
    command -v g++ >/dev/null || need+=(g++)
    command -v cmake >/dev/null || need+=(cmake)
    command -v make >/dev/null || need+=(make)
    [ -f /usr/include/openssl/evp.h ] || need+=(libssl-dev)
    [ -d /usr/include/gtest ] || need+=(libgtest-dev)
    [ -d /usr/include/benchmark ] || need+=(libbenchmark-dev)
fi
# The shipping build installs the start glue; the cross compiler also builds
# the guest's test tool.
command -v cmake >/dev/null || need+=(cmake)
command -v arm-linux-gnueabihf-g++ >/dev/null || need+=(g++-arm-linux-gnueabihf)
[ -f /usr/lib/arm-linux-gnueabihf/libcrypto.a ] || need+=(libssl-dev:armhf)
[ -f /usr/lib/arm-linux-gnueabihf/libgtest.a ] || need+=(libgtest-dev:armhf)
# The guest is built from armhf packages: apt must know that architecture.
apt_armhf=yes
apt-cache show busybox-static:armhf >/dev/null 2>&1 || apt_armhf=no
if [ ${#need[@]} -gt 0 ] || [ $apt_armhf = no ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "vm-test.sh: missing ${need[*]:-the armhf packages in apt}; run as root to install" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    dpkg --print-foreign-architectures | grep -qx armhf || dpkg --add-architecture armhf
    apt-get update -q
    [ ${#need[@]} -eq 0 ] || apt-get install -y -q --no-install-recommends "${need[@]}"
fi

# The build's output is shown only when it fails.
build_log=$(mktemp)
if ! { cmake --preset release && cmake --build --preset release --target update -j "$(nproc)"; } \
    >"$build_log" 2>&1; then
    cat "$build_log" >&2
    exit 1
fi
rm -f "$build_log"
[ -f "$UPDATE" ] || { echo "vm-test.sh: no program $UPDATE" >&2; exit 1; }
UPDATE=$(realpath "$UPDATE")
if [ ! -x "$PACK" ]; then
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build --target update-pack -j "$(nproc)" >/dev/null
fi
PACK=$(realpath "$PACK")

VM_DIR=$(pwd)/scripts/vm
EXAMPLE=$(pwd)/examples/update-package
mkdir -p "$cache"
GUEST=$("$VM_DIR/build-guest.sh" "$cache")
# shellcheck source=scripts/vm/machine.sh
. "$VM_DIR/machine.sh"
# shellcheck source=scripts/vm/scenarios.sh
. "$VM_DIR/scenarios.sh"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/upd-vm.XXXXXX")
cleanup() {
    local status=$? pid
    set +e
    for pid in $(jobs -p); do kill "$pid" 2>/dev/null || true; done
    vm_kill_all "$WORK/run"
    if [ -n "${UPD_VM_KEEP:-}" ]; then
        echo "vm-test.sh: kept $WORK" >&2
    else
        rm -rf "$WORK"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mkdir -p "$WORK/run"
echo "vm-test.sh: guest $(cat "$GUEST/versions"), update $UPDATE"
# The instrument's files as the shipping build installs them, with the
# program under test as it is now, whatever a build does to it meanwhile.
INSTALLED=$WORK/installed
DESTDIR=$INSTALLED cmake --install build-release --component instrument >/dev/null
cp "$UPDATE" "$INSTALLED/usr/bin/update"
TOOLS=$WORK/tools
mkdir -p "$TOOLS"
arm-linux-gnueabihf-g++ -std=c++20 -Wall -Wextra -Werror -Os -static -s \
    -o "$TOOLS/stop-before-rename" "$VM_DIR/stop_before_rename.cpp"
prepare
echo "vm-test.sh: ready after $((SECONDS - started)) s"

# run_one NAME: one scenario in its own folder, in the background; its
# result line in the folder's file "line".
run_one() {
    dir=$WORK/run/$1
    mkdir -p "$dir"
    (
        trap 'vm_cut "$dir"' EXIT
        local start=$SECONDS
        : >"$dir/why"
        "sc_$1" >"$dir/log" 2>&1 || fail "the scenario stopped: status $?"
        local verdict=passed
        [ -s "$dir/why" ] && verdict=FAILED
        printf '%-32s %-6s %4d s\n' "$1" "$verdict" $((SECONDS - start)) >"$dir/line"
        [ ! -s "$dir/left" ] || echo "    left: $(paste -sd, "$dir/left" | sed 's/,/, /g')" >>"$dir/line"
        [ "$verdict" = passed ] || sed 's/^/    /' "$dir/why" >>"$dir/line"
    ) &
}

passed=0
failed=0
running=0
report() {
    local d
    for d in "$WORK"/run/*/; do
        if [ ! -f "$d/line" ] || [ -f "$d/reported" ]; then continue; fi
        cat "$d/line"
        : >"$d/reported"
        if head -n 1 "$d/line" | grep -q ' passed '; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
    done
}
for name in $SCENARIOS; do
    [ -z "$only" ] || [[ $name == *$only* ]] || continue
    if [ "$running" -ge "$max_jobs" ]; then
        wait -n || true
        running=$((running - 1))
        report
    fi
    run_one "$name"
    running=$((running + 1))
done
wait || true
report
echo "vm-test.sh: $((SECONDS - started)) s in all"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
