#!/bin/bash
# Builds the virtual instrument's guest from Debian's armhf packages: the armmp
# kernel, and an initramfs of busybox with the kernel modules the instrument
# needs (USB host controllers and storage, vfat, ext4, virtio) and the files of
# guest/ (init, the by-label rule, the run of a scenario). The result lands in
# CACHE/guest-HASH/{vmlinuz,initrd.gz}, HASH covering the kernel and busybox
# versions and every input file, so later runs (and CI on the same machine)
# reuse it. Prints the folder.
# Usage: scripts/vm/build-guest.sh CACHE
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=$1

# The kernel's package follows Debian's point releases: ask apt which one the
# metapackage pulls in today.
kernel_pkg=$(apt-cache depends linux-image-armmp:armhf | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
kernel_pkg=${kernel_pkg%:armhf}
[ -n "$kernel_pkg" ] || { echo "build-guest: no armhf kernel package known to apt" >&2; exit 1; }
# The candidate versions, in one call (apt is slow on a busy machine).
versions=$(apt-cache policy "$kernel_pkg:armhf" busybox-static:armhf | awk '/Candidate:/ {print $2}')
kernel_ver=$(sed -n 1p <<<"$versions")
busybox_ver=$(sed -n 2p <<<"$versions")
hash=$( {
    echo "$kernel_pkg $kernel_ver busybox-static $busybox_ver"
    cat "$0"
    (cd "$here/guest" && find . -type f | LC_ALL=C sort | while read -r f; do
        echo "$f $(stat -c %a "$f")"
        cat "$f"
    done)
} | sha256sum | cut -c1-16)
out=$cache/guest-$hash
# One builder at a time: runs that start together wait for the first build.
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9
if [ -f "$out/initrd.gz" ] && [ -f "$out/vmlinuz" ]; then
    echo "$out"
    exit 0
fi

mkdir -p "$cache/debs"
work=$(mktemp -d "$cache/build.XXXXXX")
trap 'rm -rf "$work"' EXIT
# apt-get download names files NAME_VERSION_ARCH.deb, the epoch's colon as %3a.
kernel_deb=$cache/debs/${kernel_pkg}_${kernel_ver//:/%3a}_armhf.deb
busybox_deb=$cache/debs/busybox-static_${busybox_ver//:/%3a}_armhf.deb
if [ ! -f "$kernel_deb" ] || [ ! -f "$busybox_deb" ]; then
    # As root, apt warns that its sandbox user cannot write here: harmless.
    (cd "$cache/debs" && apt-get download -q "$kernel_pkg:armhf" busybox-static:armhf 2>&1 |
        grep -v unsandboxed) >&2 || true
fi
for deb in "$kernel_deb" "$busybox_deb"; do
    [ -f "$deb" ] || { echo "build-guest: $deb not downloaded" >&2; exit 1; }
done
dpkg-deb -x "$kernel_deb" "$work/kernel"
dpkg-deb -x "$busybox_deb" "$work/busybox"
abi=${kernel_pkg#linux-image-}
mods=$work/kernel/lib/modules/$abi

# The modules to load, in this order. The checksum modules are loaded before
# their users because the kernel asks for them by algorithm name, which the
# guest's modprobe cannot resolve; the ARM-accelerated crct10dif does not load
# on a Cortex-A15, the generic one serves.
load=(ehci-pci xhci-pci crct10dif_generic crc64_rocksoft_generic sd_mod usb-storage
    vfat nls_cp437 nls_iso8859-1 nls_ascii crc32c_generic virtio_mmio virtio_blk ext4)
depmod -b "$work/kernel" "$abi"
root=$work/root
mkdir -p "$root/lib/modules/$abi"
for m in "${load[@]}"; do
    line=$(grep -E "(^|/)${m}\.ko(\.xz)?:" "$mods/modules.dep") ||
        { echo "build-guest: module $m not in $kernel_pkg" >&2; exit 1; }
    for f in ${line/:/}; do
        mkdir -p "$root/lib/modules/$abi/$(dirname "$f")"
        cp "$mods/$f" "$root/lib/modules/$abi/$f"
    done
done
cp "$mods"/modules.{order,builtin,builtin.modinfo} "$root/lib/modules/$abi/"
depmod -b "$root" "$abi"
printf '%s\n' "${load[@]}" >"$root/lib/modules/load"

mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,proc,sys,dev,mnt,tmp,root,home/Brimwood}
cp "$work/busybox/bin/busybox" "$root/bin/busybox"
ln -s busybox "$root/bin/sh"
cp -a "$here/guest/." "$root/"
(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet >"$work/root.cpio")
mkdir -p "$out.tmp"
cp "$work/kernel/boot/vmlinuz-$abi" "$out.tmp/vmlinuz"
gzip -9n <"$work/root.cpio" >"$out.tmp/initrd.gz"
echo "$kernel_pkg $kernel_ver, busybox-static $busybox_ver" >"$out.tmp/versions"
rm -rf "$out"
mv "$out.tmp" "$out"
echo "$out"
