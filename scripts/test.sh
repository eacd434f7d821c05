#!/bin/bash
# Builds the updater and runs every test (natively also the kill test of
# scripts/kill-test.sh). On a fresh Debian 12 machine it first installs what is
# missing (as root, with apt-get).
# Usage: scripts/test.sh [BUILD_DIR]  the native build (folder "build" unless given)
#        scripts/test.sh asan         the native build under AddressSanitizer and
#                                     UndefinedBehaviorSanitizer (folder build-asan)
#        scripts/test.sh armhf        the instrument's shipping build (preset release:
#                                     static, -Os, stripped), its tests run under
#                                     qemu-arm (folder build-release)
#        scripts/test.sh clang        the native build with clang (folder build-clang)
# Environment: UPD_BUILD_TYPE, the build type of the native and clang builds
#              (default RelWithDebInfo). Compiler warnings are errors here.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=native
case "${1:-}" in
    asan | armhf | clang) mode=$1 ;;
esac
build=${1:-build}
[ "$mode" != clang ] || build=build-clang
build_type=${UPD_BUILD_TYPE:-RelWithDebInfo}

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
[ "$mode" != clang ] || command -v clang++ >/dev/null || need+=(clang)
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
source scripts/lib/install.sh
install_missing test.sh ${need[@]+"${need[@]}"}

case $mode in
native | clang)
    compilers=()
    [ $mode = native ] || compilers=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE="$build_type" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
        "${compilers[@]}"
    cmake --build "$build" -j "$(nproc)"
    ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
    # The updater killed before each file-changing call of an update.
    [ $mode = clang ] || bash scripts/kill-test.sh "$build/update-sim"
    ;;
asan)
    cmake --preset asan
    cmake --build --preset asan -j "$(nproc)"
    ctest --preset asan -j "$(nproc)"
    ;;
armhf)
    cmake --preset release
    cmake --build --preset release -j "$(nproc)"
    echo "test.sh: update for the instrument (static, stripped): build-release/update," \
        "$(stat -c %s build-release/update) bytes"
    # Under qemu-user the process has threads of its own, so the simulated
    # instrument cannot make a user namespace: it must already be root in one,
    # with a mount namespace of its own for the tests that mount on the host.
    as_root=()
    [ "$(id -u)" -eq 0 ] || as_root=(unshare -Urm)
    start=$SECONDS
    "${as_root[@]}" ctest --preset release -j "$(nproc)"
    echo "test.sh: armhf suite under qemu-arm: $((SECONDS - start)) s"
    ;;
esac
