# shellcheck shell=bash
# The virtual instrument's machine, sourced by scripts/vm-test.sh: the data
# disk and stick images, the boot of one qemu-system-arm guest per run folder,
# the watch of its serial console, the qemu monitor (to pull the stick) and the
# power cut. Every qemu runs under a hard time limit and is killed by
# vm_kill_all when the script ends.
# Needs: GUEST (folder with vmlinuz and initrd.gz), UPDATE (the armhf program).

VM_LIMIT=${VM_LIMIT:-240}  # seconds any one boot may last, whatever happens

# mk_stick IMG DIR: a 64 MiB stick, one FAT32 partition labelled BRIMWOOD at
# 1 MiB, holding the files and folders of DIR.
mk_stick() {
    local img=$1 dir=$2
    rm -f "$img"
    truncate -s 64M "$img"
    echo 'start=2048, type=c' | sfdisk -q "$img"
    mkfs.vfat -F 32 -n BRIMWOOD --offset 2048 "$img" 64512 >/dev/null
    MTOOLS_SKIP_CHECK=1 mcopy -s -i "$img@@1M" "$dir"/* ::/
}

# stick_cat IMG PATH: a file of the stick, to standard output.
stick_cat() {
    MTOOLS_SKIP_CHECK=1 mtype -i "$1@@1M" "::/$2"
}

# mk_data IMG TREE: the instrument's data disk, ext4, holding TREE as
# /home/Brimwood.
mk_data() {
    rm -f "$1"
    mkfs.ext4 -q -F -L data -d "$2" "$1" 192M
}

# data_check IMG: the file system check after a run; prints e2fsck's output
# and fails when errors were left uncorrected.
data_check() {
    local status=0
    e2fsck -fy "$1" >"$1.fsck" 2>&1 || status=$?
    [ "$status" -lt 4 ] || { cat "$1.fsck"; return 1; }
}

# data_dump IMG DIR: the data disk's files into DIR, modes kept.
data_dump() {
    rm -rf "$2"
    mkdir -p "$2"
    debugfs -R "rdump / $2" "$1" >/dev/null 2>&1
}

# vm_initrd DIR SCENARIO: the run's initramfs: the guest's, followed by the
# updater and the scenario file (the kernel unpacks both archives).
vm_initrd() {
    local dir=$1 extra=$1/extra
    rm -rf "$extra"
    mkdir -p "$extra/usr/bin" "$extra/etc"
    cp "$UPDATE" "$extra/usr/bin/update"
    cp "$2" "$extra/etc/scenario"
    (cd "$extra" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet | gzip -1) >"$dir/extra.gz"
    cat "$GUEST/initrd.gz" "$dir/extra.gz" >"$dir/initrd.gz"
}

# vm_start DIR [PORT [ro]]: boots the guest of run folder DIR (its initrd.gz,
# data.img and, with a PORT such as 1.4.3, stick.img plugged there, read-only
# with "ro"). The serial console goes to DIR/serial.log.
vm_start() {
    local dir=$1 port=${2:-} ro=off
    [ "${3:-}" = ro ] && ro=on
    local stick=()
    if [ -n "$port" ]; then
        stick=(-blockdev "driver=raw,node-name=stick0,read-only=$ro,file.driver=file,file.filename=$dir/stick.img"
            -device "usb-storage,bus=xhci.0,port=$port,drive=stick0,id=stick,removable=on")
    fi
    rm -f "$dir/serial.log" "$dir/qemu.pid" "$dir/monitor.sock"
    : >"$dir/serial.log"
    timeout -k 5 "$VM_LIMIT" qemu-system-arm -M virt,highmem=off -cpu cortex-a15 -smp 1 -m 256 \
        -kernel "$GUEST/vmlinuz" -initrd "$dir/initrd.gz" \
        -append "console=ttyAMA0 quiet panic=1" -display none -no-reboot -nic none \
        -serial "file:$dir/serial.log" -monitor "unix:$dir/monitor.sock,server=on,wait=off" \
        -pidfile "$dir/qemu.pid" \
        -drive "file=$dir/data.img,format=raw,if=none,id=data,cache=writethrough" \
        -device virtio-blk-device,drive=data \
        -device usb-ehci,id=ehci -device qemu-xhci,id=xhci \
        -device usb-hub,bus=xhci.0,port=1 -device usb-hub,bus=xhci.0,port=1.4 \
        "${stick[@]}" >"$dir/qemu.out" 2>&1 &
    echo $! >"$dir/timeout.pid"
}

# The pid of DIR's qemu while it runs.
vm_pid() {
    local pid
    pid=$(cat "$1/qemu.pid" 2>/dev/null) || return 1
    [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = qemu-system-arm ] && echo "$pid"
}

vm_running() {
    kill -0 "$(cat "$1/timeout.pid")" 2>/dev/null
}

# vm_wait DIR TEXT SECONDS: waits until the console shows a line holding
# TEXT. Fails when the guest stops or the time is up first.
vm_wait() {
    local dir=$1 text=$2 end=$((SECONDS + $3))
    while [ $SECONDS -lt "$end" ]; do
        grep -qF -- "$text" "$dir/serial.log" && return 0
        vm_running "$dir" || { grep -qF -- "$text" "$dir/serial.log"; return; }
        sleep 0.05
    done
    return 1
}

# vm_monitor DIR COMMAND: a command for qemu's monitor.
vm_monitor() {
    echo "$2" | socat - "UNIX-CONNECT:$1/monitor.sock" >/dev/null
}

# vm_end DIR SECONDS: waits for the guest to power off or reboot (qemu exits
# either way); kills it when the time is up. Fails then.
vm_end() {
    local dir=$1 end=$((SECONDS + $2))
    while vm_running "$dir"; do
        if [ $SECONDS -ge "$end" ]; then
            vm_cut "$dir"
            echo "guest still running after $2 s" >&2
            return 1
        fi
        sleep 0.1
    done
    wait "$(cat "$dir/timeout.pid")" 2>/dev/null || true
}

# vm_cut DIR: the power cut: qemu is killed on the spot.
vm_cut() {
    local pid
    if pid=$(vm_pid "$1"); then
        kill -KILL "$pid" 2>/dev/null || true
    fi
    if pid=$(cat "$1/timeout.pid" 2>/dev/null); then
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
}

# vm_kill_all ROOT: every qemu started below ROOT, killed.
vm_kill_all() {
    local dir
    for dir in "$1"/*/; do
        [ -f "$dir/timeout.pid" ] && vm_cut "${dir%/}"
    done
}
