#!/bin/bash
# Builds the two Debian packages and checks them with dpkg-deb:
#   instrument-updater-tools  the workstation programs (update-sim and the
#                             package tools) and their manual pages for this
#                             machine, from a native Release build;
#   instrument-updater        the instrument's `update` for armhf, static and
#                             stripped, from the release preset (build-release),
#                             with what starts it on the instrument (starter/).
# It also checks that a plain `cmake --install` of the native build installs
# the workstation programs and their manual pages only.
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
command -v groff >/dev/null || need+=(groff-base)
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

# check DEB PACKAGE ARCHITECTURE FILE_PATTERN PATH...: the control fields,
# exactly the files PATH... (the programs among them in /usr/bin), and what
# `file` says of each program. Leaves the package unpacked in $unpacked.
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
check() {
    local deb=$1 package=$2 arch=$3 pattern=$4
    shift 4
    echo
    echo "== $deb"
    rm -rf "${unpacked:?}"/*
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
    expected=$(printf './%s\n' "$@" | sort)
    actual=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
    [ "$actual" = "$expected" ] || fail "$deb holds $(echo $actual), not $(echo $expected)"
    local path
    dpkg-deb --extract "$deb" "$unpacked"
    for path in "$@"; do
        [[ $path == usr/bin/* ]] || continue
        file -b "$unpacked/$path" | grep -Eq "$pattern" ||
            fail "$deb: $path is '$(file -b "$unpacked/$path")'"
    done
}

# The workstation programs are those that the tree defines, update itself aside,
# and each that has a help text (src/programs/PROGRAM.help) has a manual page.
mapfile -t tools < <(cd "$native" && ls update-sim update-pack update-lint 2>/dev/null)
pages=()
for tool in "${tools[@]}"; do
    [ -f "src/programs/$tool.help" ] && pages+=("$tool.1")
done
check "$out/instrument-updater-tools_${version}_$(dpkg --print-architecture).deb" \
    instrument-updater-tools "$(dpkg --print-architecture)" 'dynamically linked.*, stripped' \
    "${tools[@]/#/usr/bin/}" ${pages[@]+"${pages[@]/#/usr/share/man/man1/}"}
# Each page is one that man reads without a warning, and it tells what the
# program's --help tells, its exit statuses too.
for page in ${pages[@]+"${pages[@]}"}; do
    path=$unpacked/usr/share/man/man1/$page
    [ -f "$path" ] || continue
    warnings=$(groff -man -Tutf8 -ww -z "$path" 2>&1) || fail "$page: groff fails"
    [ -z "$warnings" ] || fail "$page: groff warns: $warnings"
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS 'EXIT STATUS'; do
        grep -q "^\.SH \"\?$section\"\?\$" "$path" || fail "$page: no $section section"
    done
    echo "package.sh: manual page $page, $(wc -l <"$path") lines"
done
dpkg-deb --field "$out"/instrument-updater-tools_*.deb Depends | grep -q 'libssl3' ||
    fail "instrument-updater-tools does not depend on libssl3"

starter=usr/libexec/instrument-updater
glue=(etc/default/update "$starter/start-update" "$starter/mdev-hotplug"
    usr/share/instrument-updater/mdev.conf usr/lib/udev/rules.d/90-instrument-update.rules
    usr/lib/systemd/system/instrument-update.service)
deb=$(echo "$out"/instrument-updater_"${version}"_armhf.deb)
check "$deb" instrument-updater armhf 'ARM, EABI5.*statically linked.*, stripped' \
    usr/bin/update "${glue[@]}"
[ -z "$(dpkg-deb --field "$deb" Depends)" ] || fail "instrument-updater depends on shared libraries"
# The start glue: the maker's settings kept on upgrades, scripts that a POSIX
# shell reads, and every installed path the files name present in the package.
[ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./conffiles)" = /etc/default/update ] ||
    fail "$deb: /etc/default/update is not its only conffile"
for script in "$starter/start-update" "$starter/mdev-hotplug"; do
    [ -x "$unpacked/$script" ] || fail "$deb: $script is not executable"
    sh -n "$unpacked/$script" || fail "$deb: $script is not a valid shell script"
done
for named in $(cd "$unpacked" && grep -ohE '/(usr|etc/default)/[A-Za-z0-9/._-]*[A-Za-z0-9_-]' "${glue[@]}" | sort -u); do
    [ -e "$unpacked$named" ] || fail "$deb: the start files name $named, which it does not hold"
done
unit=$(sed -n 's/.*SYSTEMD_WANTS}+="\([^"]*\)".*/\1/p' "$unpacked/${glue[4]}")
[ -f "$unpacked/usr/lib/systemd/system/$unit" ] || fail "$deb: the udev rule starts '$unit', not in it"

# A plain install of the native build puts the workstation programs on the
# PATH, never the instrument's program or its start files.
cmake --install "$native" --prefix "$unpacked/plain" >/dev/null
actual=$(cd "$unpacked/plain" && find . ! -type d | sort)
expected=$( (printf './bin/%s\n' "${tools[@]}"
    printf './share/man/man1/%s\n' ${pages[@]+"${pages[@]}"}) | sort)
[ "$actual" = "$expected" ] || fail "cmake --install installs $(echo $actual), not $(echo $expected)"

echo
if [ $failed -ne 0 ]; then
    echo "package.sh: the packages above are not as they should be" >&2
    exit 1
fi
echo "package.sh: packages checked:"
ls -l "$out"/*.deb
