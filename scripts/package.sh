#!/bin/bash
# Builds the two Debian packages and checks them with dpkg-deb:
#   instrument-updater-tools  the workstation programs (update-sim and the
#                             package tools) for this machine, from a native
#                             Release build;
#   instrument-updater        the instrument's `update` for armhf, static and
#                             stripped, from the release preset (build-release).
# On a fresh Debian 12 machine it first installs what is missing (as root).
# Usage: scripts/package.sh
# Environment: UPD_PACKAGE_BUILD (the native build folder, default build-package).
# Output: build-packages/*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
native=${UPD_PACKAGE_BUILD:-build-package}
out=build-packages
triplet=arm-linux-gnueabihf

need=()
command -v g++ >/dev/null || need+=(g++)
command -v cmake >/dev/null || need+=(cmake)
command -v make >/dev/null || need+=(make)
command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
command -v file >/dev/null || need+=(file)
[ -f /usr/include/openssl/evp.h ] || need+=(libssl-dev)
command -v $triplet-g++ >/dev/null || need+=(g++-$triplet)
command -v qemu-arm >/dev/null || need+=(qemu-user)
[ -f /usr/lib/$triplet/libcrypto.a ] || need+=(libssl-dev:armhf)
# The release preset builds the tests too.
[ -f /usr/lib/$triplet/libgtest.a ] || need+=(libgtest-dev:armhf)
source scripts/lib/install.sh
install_missing package.sh ${need[@]+"${need[@]}"}

rm -rf "$out"
cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=Release -DUPD_BUILD_TESTS=OFF -DUPD_BUILD_BENCH=OFF \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build "$native" -j "$(nproc)"
cpack --config "$native/CPackConfig.cmake" -B "$out" >/dev/null
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target update
cpack --config build-release/CPackConfig.cmake -B "$out" >/dev/null
echo "package.sh: update for the instrument: build-release/update," \
    "$(stat -c %s build-release/update) bytes"

version=$(sed -n 's/^project([a-z_]* VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
failed=0
fail() {
    echo "package.sh: $*" >&2
    failed=1
}

# check DEB PACKAGE ARCHITECTURE FILE_PATTERN PROGRAM...: the control fields,
# exactly the programs in /usr/bin, and what `file` says of each of them.
check() {
    local deb=$1 package=$2 arch=$3 pattern=$4
    shift 4
    echo
    echo "== $deb"
    if [ ! -f "$deb" ]; then
        fail "$deb was not built"
        return
    fi
    dpkg-deb --info "$deb"
    dpkg-deb --contents "$deb"
    local field want
    for field in Package=$package Version=$version Architecture=$arch; do
        want=${field#*=}
        field=${field%%=*}
        [ "$(dpkg-deb --field "$deb" "$field")" = "$want" ] ||
            fail "$deb: $field is '$(dpkg-deb --field "$deb" "$field")', not '$want'"
    done
    dpkg-deb --field "$deb" Maintainer | grep -q '<.*@.*>' || fail "$deb: no maintainer's address"
    local expected actual
    expected=$(printf './usr/bin/%s\n' "$@" | sort)
    actual=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
    [ "$actual" = "$expected" ] || fail "$deb holds $(echo $actual), not $(echo $expected)"
    local tmp program
    tmp=$(mktemp -d)
    dpkg-deb --extract "$deb" "$tmp"
    for program in "$@"; do
        file -b "$tmp/usr/bin/$program" | grep -Eq "$pattern" ||
            fail "$deb: $program is '$(file -b "$tmp/usr/bin/$program")'"
    done
    rm -rf "$tmp"
}

# The workstation programs are those that the tree defines, update itself aside.
mapfile -t tools < <(cd "$native" && ls update-sim update-pack update-lint 2>/dev/null)
check "$out/instrument-updater-tools_${version}_$(dpkg --print-architecture).deb" \
    instrument-updater-tools "$(dpkg --print-architecture)" 'dynamically linked.*, stripped' \
    "${tools[@]}"
dpkg-deb --field "$out"/instrument-updater-tools_*.deb Depends | grep -q 'libssl3' ||
    fail "instrument-updater-tools does not depend on libssl3"
check "$out/instrument-updater_${version}_armhf.deb" instrument-updater armhf \
    'ARM, EABI5.*statically linked.*, stripped' update
[ -z "$(dpkg-deb --field "$out"/instrument-updater_*_armhf.deb Depends)" ] ||
    fail "instrument-updater depends on shared libraries"

echo
if [ $failed -ne 0 ]; then
    echo "package.sh: the packages above are not as they should be" >&2
    exit 1
fi
echo "package.sh: packages checked:"
ls -l "$out"/*.deb
