# shellcheck shell=bash
# The virtual instrument's machine, sourced by scripts/vm-test.sh: the data
# disk and stick images, the boot of one qemu-system-arm guest per run folder,
# the watch of its serial console and the lines written to it, the qemu
# monitor (to plug sticks in and pull them out) and the power cut. Every qemu runs under a hard time limit and is killed by
# vm_kill_all when the script ends.
# Needs: GUEST (folder with vmlinuz and initrd.gz), VM_DIR (scripts/vm),
# INSTALLED (the instrument's installed files, the updater under test among
# them) and TOOLS (the guest's test tools).

VM_LIMIT=${VM_LIMIT:-240}  # seconds any one boot may last, whatever happens

# mk_stick IMG DIR [LABEL]: a 64 MiB stick, one FAT32 partition labelled
# LABEL (BRIMWOOD) at 1 MiB, holding the files and folders of DIR (if any).
mk_stick() {
    local img=$1 dir=$2
    rm -f "$img"
    truncate -s 64M "$img"
    echo 'start=2048, type=c' | sfdisk -q "$img"
    mkfs.vfat -F 32 -n "${3:-BRIMWOOD}" --offset 2048 "$img" 64512 >/dev/null
    [ -z "$dir" ] || MTOOLS_SKIP_CHECK=1 mcopy -s -i "$img@@1M" "$dir"/* ::/
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

# vm_initrd DIR [bare]: the run's initramfs: the guest's, followed by the
# instrument's installed files (INSTALLED: the updater, its start glue and
# settings), the mdev rule that starts the updater added to the guest's
# mdev.conf (left out with "bare"), the test tools (TOOLS) and DIR/scenario as
# /etc/scenario. The kernel unpacks both archives, the later files replacing
# the earlier ones.
vm_initrd() {
    local dir=$1 extra=$1/extra
    rm -rf "$extra"
    mkdir -p "$extra/etc" "$extra/usr/bin"
    cp -a "$INSTALLED/." "$extra/"
    cp -a "$TOOLS/." "$extra/usr/bin/"
    if [ "${2:-}" != bare ]; then
        cat "$VM_DIR/guest/etc/mdev.conf" "$INSTALLED/usr/share/instrument-updater/mdev.conf" \
            >"$extra/etc/mdev.conf"
    fi
    cp "$dir/scenario" "$extra/etc/scenario"
    (cd "$extra" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet | gzip -1) >"$dir/extra.gz"
    cat "$GUEST/initrd.gz" "$dir/extra.gz" >"$dir/initrd.gz"
}

# vm_start DIR [IMAGE PORT [ro]]: boots the guest of run folder DIR (its
# initrd.gz and data.img; with an IMAGE, that stick plugged in at PORT, such
# as 1.4.3, read-only with "ro", as device "stick"). The serial console goes
# to DIR/serial.log and takes input from DIR/console.sock (vm_send).
vm_start() {
    local dir=$1 image=${2:-} port=${3:-} ro=off
    [ "${4:-}" = ro ] && ro=on
    local stick=()
    if [ -n "$image" ]; then
        stick=(-blockdev "driver=raw,node-name=stick0,read-only=$ro,file.driver=file,file.filename=$image"
            -device "usb-storage,bus=xhci.0,port=$port,drive=stick0,id=stick,removable=on")
    fi
    rm -f "$dir/serial.log" "$dir/qemu.pid" "$dir/monitor.sock" "$dir/console.sock"
    : >"$dir/serial.log"
    timeout -k 5 "$VM_LIMIT" qemu-system-arm -M virt,highmem=off -cpu cortex-a15 -smp 1 -m 256 \
        -kernel "$GUEST/vmlinuz" -initrd "$dir/initrd.gz" \
        -append "console=ttyAMA0 quiet panic=1" -display none -no-reboot -nic none \
        -chardev "socket,id=console,path=$dir/console.sock,server=on,wait=off,logfile=$dir/serial.log" \
        -serial chardev:console -monitor "unix:$dir/monitor.sock,server=on,wait=off" \
        -pidfile "$dir/qemu.pid" \
        -drive "file=$dir/data.img,format=raw,if=none,id=data,cache=writethrough" \
        -device virtio-blk-device,drive=data \
        -device usb-ehci,id=ehci -device qemu-xhci,id=xhci \
        -device usb-hub,bus=xhci.0,port=1 -device usb-hub,bus=xhci.0,port=1.4 \
        "${stick[@]}" >"$dir/qemu.out" 2>&1 &
    echo $! >"$dir/timeout.pid"
}

# vm_plug DIR IMAGE PORT ID [ro]: plugs the stick IMAGE in at PORT, as device
# ID (a name not used before in this boot).
vm_plug() {
    local readonly=off
    [ "${5:-}" = ro ] && readonly=on
    vm_monitor "$1" "drive_add 0 if=none,id=$4,file=$2,format=raw,readonly=$readonly"
    vm_monitor "$1" "device_add usb-storage,bus=xhci.0,port=$3,drive=$4,id=$4,removable=on"
}

# vm_pull DIR ID: pulls out the stick plugged in as device ID.
vm_pull() {
    vm_monitor "$1" "device_del $2"
}

# vm_send DIR LINE: a line on the guest's console, which the guest's runner
# runs as a shell command.
vm_send() {
    printf '%s\n' "$2" | socat -t 1 - "UNIX-CONNECT:$1/console.sock" >/dev/null
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

# vm_wait DIR TEXT SECONDS [N]: waits until the console has shown N lines
# (1 by default) holding TEXT. Fails when the guest stops or the time is up
# first.
vm_wait() {
    local dir=$1 text=$2 end=$((SECONDS + $3)) n=${4:-1}
    while [ $SECONDS -lt "$end" ]; do
        [ "$(grep -caF -- "$text" "$dir/serial.log")" -lt "$n" ] || return 0
        vm_running "$dir" || { [ "$(grep -caF -- "$text" "$dir/serial.log")" -ge "$n" ]; return; }
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
