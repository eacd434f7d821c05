#!/bin/bash
# Builds the updater and runs every test (natively also the kill test of
# scripts/kill-test.sh). On a fresh Debian 12 machine it first installs what is
# missing (as root, with apt-get).
# Usage: scripts/test.sh [BUILD_DIR]  the native build (folder "build" unless given)
#        scripts/test.sh asan         the native build under AddressSanitizer and
#                                     UndefinedBehaviorSanitizer (folder build-asan)
#        scripts/test.sh armhf        the instrument's static 32-bit ARM build, its
#                                     tests run under qemu-arm (folder build-armhf-static)
set -euo pipefail
cd "$(dirname "$0")/.."
mode=native
case "${1:-}" in
    asan | armhf) mode=$1 ;;
esac
build=${1:-build}

need=()
command -v g++ >/dev/null || need+=(g++)
command -v cmake >/dev/null || need+=(cmake)
command -v openssl >/dev/null || need+=(openssl)
command -v md5sum >/dev/null || need+=(coreutils)
command -v setpriv >/dev/null || need+=(util-linux)
[ -f /usr/include/openssl/evp.h ] || need+=(libssl-dev)
[ -d /usr/include/gtest ] || need+=(libgtest-dev)
[ -d /usr/include/benchmark ] || need+=(libbenchmark-dev)
command -v make >/dev/null || need+=(make)
[ "$mode" != native ] || command -v strace >/dev/null || need+=(strace)
# Stick images for update-pack and update-lint --image and their tests: the
# partitioning, FAT formatting and FAT file tools (the first two live in
# /usr/sbin, often not on an ordinary user's PATH).
command -v mcopy >/dev/null || need+=(mtools)
PATH=$PATH:/usr/sbin:/sbin command -v mkfs.vfat >/dev/null || need+=(dosfstools)
PATH=$PATH:/usr/sbin:/sbin command -v sfdisk >/dev/null || need+=(fdisk)
if [ "$mode" = armhf ]; then
    triplet=arm-linux-gnueabihf
    command -v $triplet-g++ >/dev/null || need+=(g++-$triplet)
    command -v qemu-arm >/dev/null || need+=(qemu-user)
    command -v qemu-arm-static >/dev/null || need+=(qemu-user-static)
    [ -f /usr/lib/$triplet/libcrypto.a ] || need+=(libssl-dev:armhf)
    [ -f /usr/lib/$triplet/libgtest.a ] || need+=(libgtest-dev:armhf)
fi
if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "test.sh: missing ${need[*]}; run as root to install them" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    if [[ " ${need[*]}" == *:armhf* ]] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
        dpkg --add-architecture armhf
    fi
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${need[@]}"
fi

case $mode in
native)
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build "$build" -j "$(nproc)"
    ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
    # The updater killed before each file-changing call of an update.
    bash scripts/kill-test.sh "$build/update-sim"
    ;;
asan)
    cmake --preset asan
    cmake --build --preset asan -j "$(nproc)"
    ctest --preset asan -j "$(nproc)"
    ;;
armhf)
    cmake --preset armhf-static
    cmake --build --preset armhf-static -j "$(nproc)"
    echo "test.sh: update for the instrument: build-armhf-static/update," \
        "$(stat -c %s build-armhf-static/update) bytes"
    # Under qemu-user the process has threads of its own, so the simulated
    # instrument cannot make a user namespace: it must already be root in one,
    # with a mount namespace of its own for the tests that mount on the host.
    as_root=()
    [ "$(id -u)" -eq 0 ] || as_root=(unshare -Urm)
    start=$SECONDS
    "${as_root[@]}" ctest --preset armhf-static -j "$(nproc)"
    echo "test.sh: armhf suite under qemu-arm: $((SECONDS - start)) s"
    ;;
esac
