# shellcheck shell=bash
# The scenarios of scripts/vm-test.sh, sourced by it: the packages, sticks and
# instrument trees they share, and one function sc_NAME per scenario, run in
# its own folder $dir. The updater is never started by the test: sticks are
# plugged in (or are in at power-up) and the instrument's start glue starts it.
# A scenario notes each failed check in $dir/why.
# Needs machine.sh, and WORK (the run's folder), EXAMPLE (the example
# package's folder), PACK (update-pack, which builds the sticks' contents) and
# INSTALLED (the instrument's installed files, whose settings it writes).

OLD_STAMP="2026-06-01 12:00:00"            # build time stamp of the installed firmware
STAMP_FILE=/home/Brimwood/cfg/firmware.stamp # where the instrument keeps it
BIG_MIB=8                                  # the large file of the power-cut package
FLASH_MIB=4                                # its flash image, copied onto the instrument
ENDED="the updater ended with status"      # the start glue's line when a run ends
REMOVE="UPD-SPLASH Please remove USB device."
UPDATING="UPD-SPLASH Updating firmware..."

# fail TEXT: notes a failed check (prefixed with $phase when set).
fail() { echo "${phase:+$phase: }$*" >>"$dir/why"; }

# ---- Checks ----

# expect_file PATH WANT_FILE MODE: the run left the instrument's PATH with
# WANT_FILE's content and that mode.
expect_file() {
    local got=$dir/out/$1
    if [ ! -f "$got" ]; then
        fail "/home/Brimwood/$1 missing"
    elif ! cmp -s "$got" "$2"; then
        fail "/home/Brimwood/$1: content differs from $(basename "$2") ($(stat -c %s "$got") bytes)"
    elif [ "$(stat -c %a "$got")" != "$3" ]; then
        fail "/home/Brimwood/$1: mode $(stat -c %a "$got"), not $3"
    fi
}

expect_absent() {
    [ ! -e "$dir/out/$1" ] || fail "/home/Brimwood/$1 exists"
}

# expect_console TEXT: the console showed a line holding TEXT.
expect_console() {
    grep -qF -- "$1" "$dir/serial.log" || fail "console never showed \"$1\""
}

expect_error_file() {
    local got
    got=$(cat "$dir/out/log/UpdateErrorLog.txt" 2>/dev/null) || got="(none)"
    [ "$got" = "$1" ] || fail "error file: $got, not $1"
}

# The display's messages, one a line, in order.
splashes() {
    sed -n 's/^UPD-SPLASH //p' "$dir/serial.log" | tr -d '\r'
}

expect_splashes() {
    [ "$(splashes | tr '\n' '|')" = "$1" ] || fail "display: $(splashes | tr '\n' '|')"
}

# expect_ended N STATUS: the N-th run that ended, ended with STATUS.
expect_ended() {
    local got
    got=$(grep -aF "$ENDED" "$dir/serial.log" | sed -n "$1p" | tr -d '\r' | sed 's/.* //')
    [ "$got" = "$2" ] || fail "run $1 ended with status ${got:-(none)}, not $2"
}

# The number of console lines holding TEXT.
count() {
    grep -caF -- "$1" "$dir/serial.log"
}

# expect_example_installed [OLD_BACKUP]: the example package is installed
# (the main application's backup holds firmware 1.0 unless told "no").
expect_example_installed() {
    local p=$WORK/pkg/example/firmware
    expect_console "reboot: Restarting system"
    expect_console "UPD-FLASH /dev/mtd3 <- BOOT LOGO 2.0"
    expect_console "UPD-MSP430 programmed: MSP430 firmware 2.0"
    expect_file bin/brimwood "$p/brimwood" 755
    expect_file bin/bwhelp.txt "$p/bwhelp.txt" 755
    [ "${1:-}" = no ] || expect_file backup/bin/brimwood "$WORK/old/brimwood" 755
    expect_file cfg/brimwood.conf "$WORK/expect/brimwood.conf" 644
}

# ---- Steps ----

# scenario WATCHERS [bare]: the run's initramfs, with the shell code
# WATCHERS run beside the guest's runner (see scripts/vm/guest/etc/init.d/runner)
# and the shell definitions $defs (if set) for the lines sent to it; with
# "bare", without the mdev rule that starts the updater.
scenario() {
    {
        [ -z "$1" ] || echo "watchers() { $1; }"
        [ -z "${defs:-}" ] || echo "$defs"
    } >"$dir/scenario"
    vm_initrd "$dir" "${2:-}"
}

# boot [IMAGE PORT [ro]]: boots (with that stick in) and waits for the runner.
boot() {
    vm_start "$dir" "$@"
    vm_wait "$dir" "UPD-READY" 90 || fail "the guest never became ready"
}

# plug STICK PORT ID [ro]: a fresh copy of the stick plugged in, as device ID
# (its image $dir/ID.img).
plug() {
    cp --sparse=always "$WORK/sticks/$1.img" "$dir/$3.img"
    vm_plug "$dir" "$dir/$3.img" "$2" "$3" "${4:-}"
}

# pull_when_asked ID [N]: pulls stick ID out when the display asks for it the
# N-th time (1 by default). Fails when, before that, a run has ended and none
# is left running.
pull_when_asked() {
    local n=${1:-} asked=${2:-1} runs end=$((SECONDS + 150))
    runs=$(count "$ENDED")
    while [ "$(count "$REMOVE")" -lt "$asked" ]; do
        if { [ "$(count "$ENDED")" -gt "$runs" ] &&
            [ "$(count "$ENDED")" -ge "$(count "starting the updater")" ]; } ||
            ! vm_running "$dir" || [ $SECONDS -ge $end ]; then
            fail "the display never asked to remove the stick"
            vm_running "$dir" && vm_send "$dir" poweroff
            return
        fi
        sleep 0.1
    done
    vm_pull "$dir" "$n"
}

# ended N: waits until N runs have ended.
ended() {
    vm_wait "$dir" "$ENDED" 120 "$1" || fail "run $1 never ended"
}

# end_of_boot: waits for the guest to reboot or power off.
end_of_boot() {
    vm_end "$dir" 60 || fail "the guest did not end"
}

power_off() {
    vm_send "$dir" poweroff
    end_of_boot
}

# finish: the data disk checked and read back into $dir/out.
finish() {
    data_check "$dir/data.img" >"$dir/fsck.out" || fail "e2fsck left errors: $(tail -n 3 "$dir/fsck.out")"
    data_dump "$dir/data.img" "$dir/out"
}

# ---- Shared material ----

# pack ARGUMENT...: update-pack, its report shown only when it fails.
pack() {
    "$PACK" "$@" >"$WORK/pack.log" 2>&1 || { cat "$WORK/pack.log" >&2; return 1; }
}

# The merged configuration files expected after an update.
write_expected_configs() {
    printf '%s\n' "V2.0" "Language German" "Brightness 40" \
        "Units metric" "Backlight(timeout) 120" "Autosave on" >"$WORK/expect/brimwood.conf"
    {
        echo "V2"
        seq 1 "$CONF_LINES" | sed 's/.*/key& old&/'
        seq 1 20 | sed 's/.*/added& on/'
    } >"$WORK/expect/big.conf"
}

CONF_LINES=20000

# The names stick: labelled OTHER (the updater must not start for it), with
# names that show how the updater's vfat mount reads names, written by mtools
# under a UTF-8 locale (the last one ends with a dot).
mk_names_stick() {
    local img=$1 f
    mk_stick "$img" "" OTHER
    for f in Müller.txt ÄBC.txt abc.TXT dot.txt.; do
        echo "$f" >"$WORK/name"
        LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 mcopy -i "$img@@1M" "$WORK/name" "::$f"
    done
}

# prepare: keys, packages, sticks, instrument trees and the instrument's
# settings for every scenario.
prepare() {
    local p=$WORK/pkg
    mkdir -p "$WORK/keys" "$WORK/expect" "$p"
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$WORK/keys/key.pem" 2>/dev/null
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$WORK/keys/foreign.pem" 2>/dev/null

    # The maker's settings: signed updates, the installed firmware's time stamp.
    printf 'UPDATE_OPTIONS="-s"\nUPDATE_STAMP_FILE="%s"\n' "$STAMP_FILE" >"$INSTALLED/etc/default/update"

    # Firmware 1.0 as installed: the stand-ins, the key, settings the user
    # changed, the build time stamp.
    local t=$WORK/tree-example
    mkdir -p "$t"/{bin,cfg,log,download}
    cp "$VM_DIR"/instrument/* "$t/bin/"
    : >"$t/bin/BrimwoodSplash.png"
    openssl pkey -in "$WORK/keys/key.pem" -pubout -out "$t/bin/NorvoCal.pub"
    printf 'V1.0\nLanguage German\nBrightness 40\nBacklight(timeout) 120\n' >"$t/cfg/brimwood.conf"
    echo "$OLD_STAMP" >"$t${STAMP_FILE#/home/Brimwood}"

    # The power-cut package's firmware 1.0 besides: a large file, a small one
    # and a long configuration file, mode 0644 so that a new file's mode 0755
    # tells the two apart.
    t=$WORK/tree-big
    cp -a "$WORK/tree-example" "$t"
    head -c $((BIG_MIB << 20)) /dev/urandom >"$t/bin/big.bin"
    echo "app 1.0" >"$t/bin/app"
    { echo "V1"; seq 1 "$CONF_LINES" | sed 's/.*/key& old&/'; } >"$t/cfg/big.conf"
    chmod 644 "$t/bin/big.bin" "$t/bin/app" "$t/cfg/big.conf"
    mkdir -p "$WORK/old"
    cp -a "$t/bin/big.bin" "$t/bin/app" "$t/cfg/big.conf" "$WORK/old/"
    cp -a "$WORK/tree-example/bin/brimwood" "$WORK/old/brimwood"

    # The example package, signed; the same signed with a foreign key; the
    # same with a help text that does not match its digests. update-pack
    # fills in the digests and signs.
    pack "$EXAMPLE/AuxInfo.txt.in" "$p/example" --key "$WORK/keys/key.pem"
    pack "$EXAMPLE/AuxInfo.txt.in" "$p/foreign" --key "$WORK/keys/foreign.pem"
    cp -a "$p/example" "$p/mismatch"
    echo "a help text the manifest's digests do not describe" >"$p/mismatch/firmware/bwhelp.txt"

    # The power-cut package.
    local src=$WORK/big-source
    mkdir -p "$src"
    cp "$VM_DIR/big-package.in" "$src/AuxInfo.txt.in"
    { echo "FLASH IMAGE 2.0 for tests"; head -c $((FLASH_MIB << 20)) /dev/urandom; } >"$src/flash.img"
    head -c $((BIG_MIB << 20)) /dev/urandom >"$src/big.bin"
    echo "app 2.0" >"$src/app"
    { echo "V2"; seq 1 "$CONF_LINES" | sed 's/.*/key& new&/'; seq 1 20 | sed 's/.*/added& on/'; } \
        >"$src/big.conf"
    pack "$src/AuxInfo.txt.in" "$p/big" --key "$WORK/keys/key.pem"
    write_expected_configs

    local name
    mkdir -p "$WORK/sticks"
    for name in example foreign mismatch big; do
        mk_stick "$WORK/sticks/$name.img" "$p/$name"
    done
    mk_names_stick "$WORK/sticks/names.img"
}

# use_tree TREE: a fresh data disk holding that instrument tree.
use_tree() {
    mk_data "$dir/data.img" "$WORK/tree-$1"
}

# ---- Scenarios ----

# A signed update of firmware 1.0 to the example package: the stick plugged
# in, the updater started by the glue with the settings' options.
sc_update_port_1_4_3() {
    use_tree example
    scenario ""
    boot
    plug example 1.4.3 stick1
    pull_when_asked stick1
    end_of_boot
    finish
    expect_console "UPD-ARGS /usr/bin/update -s -t $OLD_STAMP "
    expect_console "update-hotplug: sda1: starting the updater"
    expect_splashes "Updating firmware...|Please remove USB device.|Rebooting...|"
    expect_example_installed
    expect_absent log/UpdateErrorLog.txt
    cmp -s <(stick_cat "$dir/stick1.img" firmware/AuxInfo.txt) "$WORK/pkg/example/firmware/AuxInfo.txt" ||
        fail "the stick's manifest changed"
}

# Names on the updater's vfat mount (no options: codepage 437, iocharset
# ascii, utf8), tried on the names stick: what a directory read gives, which
# spellings open a file and which do not.
NAMES_READ="Müller.txt|abc.TXT|dot.txt.|ÄBC.txt|" # in byte order
NAMES_OPEN="Müller.txt|müller.txt|MÜLLER.TXT|ÄBC.txt|ÄBC.TXT|abc.TXT|ABC.TXT|abc.txt|abc.txt.|abc.txt..|DOTTXT~1|"
NAMES_FAIL="äbc.txt|abc.txt |dot.txt.|dot.txt|"
names_check() {
    echo 'names_check() {
        mkdir -p /tmp/names && mount -t vfat /dev/sda1 /tmp/names || return
        for f in /tmp/names/*; do echo "UPD-NAME-READ ${f#/tmp/names/}"; done
        for f in '"$(echo "$NAMES_OPEN$NAMES_FAIL" | sed "s/\([^|]*\)|/'\1' /g")"'; do
            if cat "/tmp/names/$f" >/dev/null 2>&1; then echo "UPD-NAME-OPENS $f|"; else echo "UPD-NAME-FAILS $f|"; fi
        done
        umount /tmp/names
        echo UPD-NAMES-DONE
    }'
}
expect_names() {
    local read opens fails
    read=$(sed -n 's/^UPD-NAME-READ //p' "$dir/serial.log" | tr -d '\r' | LC_ALL=C sort | tr '\n' '|')
    opens=$(sed -n 's/^UPD-NAME-OPENS //p' "$dir/serial.log" | tr -d '\r\n')
    fails=$(sed -n 's/^UPD-NAME-FAILS //p' "$dir/serial.log" | tr -d '\r\n')
    [ "$read" = "$NAMES_READ" ] || fail "vfat names read: $read"
    [ "$opens" = "$NAMES_OPEN" ] || fail "vfat names that open: $opens"
    [ "$fails" = "$NAMES_FAIL" ] || fail "vfat names that do not open: $fails"
}

# A stick with another label changes nothing (its names are tried meanwhile);
# the update's stick, plugged in beside it on port 1.2, installs.
sc_other_stick_then_port_1_2() {
    use_tree example
    local defs
    defs=$(names_check)
    scenario ""
    boot
    plug names 1.4.3 other
    vm_send "$dir" "until [ -b /dev/sda1 ]; do usleep 50000; done; names_check"
    vm_wait "$dir" UPD-NAMES-DONE 60 || fail "the names were never tried"
    plug example 1.2 stick1
    pull_when_asked stick1
    end_of_boot
    finish
    expect_names
    [ "$(count "starting the updater")" = 1 ] || fail "$(count "starting the updater") updaters started, not 1"
    expect_console "update-hotplug: sdb1: starting the updater"
    expect_splashes "Updating firmware...|Please remove USB device.|Rebooting...|"
    expect_example_installed
}

# A stick whose signature is foreign: 668, the run torn down, the main
# application restarted; then the update from a write-protected stick (the
# read-write mount fails with EROFS; the read-only one works).
sc_foreign_then_write_protected() {
    use_tree example
    scenario ""
    boot
    plug foreign 1.4.3 stick1
    ended 1
    vm_pull "$dir" stick1
    plug example 1.4.3 stick2 ro
    pull_when_asked stick2
    end_of_boot
    finish
    expect_ended 1 1
    expect_console "UPD-BRIMWOOD 1.0 started"
    expect_splashes "Updating firmware...|Error updating firmware: 668|Updating firmware...|Please remove USB device.|Rebooting...|"
    expect_example_installed
    expect_error_file "1902 668"
}

# A failure that leaves /mnt mounted (649), the stick pulled, a good stick
# plugged in: it installs, and /mnt holds that stick alone.
sc_stale_mount_then_good_stick() {
    use_tree example
    scenario ""
    boot
    plug mismatch 1.4.3 stick1
    ended 1
    vm_send "$dir" "echo UPD-MOUNTS-LEFT \$(grep -c ' /mnt ' /proc/mounts)"
    vm_wait "$dir" UPD-MOUNTS-LEFT 30
    vm_pull "$dir" stick1
    plug example 1.4.3 stick2
    pull_when_asked stick2
    end_of_boot
    finish
    expect_ended 1 1
    expect_console "UPD-MOUNTS-LEFT 1"
    expect_splashes "Updating firmware...|Error updating firmware: 649|Updating firmware...|Please remove USB device.|Rebooting...|"
    # The display's stand-in tells the mounts on /mnt before each message.
    local mounts
    mounts=$(grep -aF -B1 "$UPDATING" "$dir/serial.log" | sed -n 's/^UPD-MNT //p' | tr -d '\r' | sed -n 2p)
    [ "$mounts" = 1 ] || fail "${mounts:-no} mounts on /mnt as the second run began"
    # The first run installed the main application before it failed.
    expect_example_installed no
}

# An updater started the moment the USB storage binding appears, before the
# by-label link, as a starter watching the USB ports would: it still installs.
sc_late_by_label_link() {
    use_tree example
    scenario "until [ -e /sys/bus/usb/drivers/usb-storage/2-1.4.3:1.0 ]; do usleep 10000; done
        if [ -e /dev/disk/by-label/BRIMWOOD ]; then echo UPD-EARLY link present; else echo UPD-EARLY link absent; fi
        { /usr/libexec/instrument-updater/start-update; echo \"port watcher: $ENDED \$?\"; } >/dev/console 2>&1" bare
    boot
    plug example 1.4.3 stick1
    pull_when_asked stick1
    end_of_boot
    finish
    expect_console "UPD-EARLY link absent"
    expect_splashes "Updating firmware...|Please remove USB device.|Rebooting...|"
    expect_example_installed
}

# The stick pulled out during the copy of a large file and pushed back at
# once, while the updater is still busy (stopped meanwhile): the glue sees the
# stick again, yet one updater works at a time; the copy fails with 658 and
# the installed file stays whole.
sc_stick_pushed_back() {
    use_tree big
    scenario "freeze_when '[ \$(size_of /home/Brimwood/download/big.bin.new) -ge $((BIG_MIB << 19)) ]' copying"
    boot
    plug big 1.4.3 stick1
    if vm_wait "$dir" "UPD-MARK copying" 120; then
        vm_pull "$dir" stick1
        vm_plug "$dir" "$dir/stick1.img" 1.4.3 stick2
        vm_wait "$dir" "starting the updater" 30 2 || fail "the stick pushed back was never seen"
        # Time for a second updater to get going, then the first goes on.
        vm_send "$dir" "sleep 3; kill -CONT \$(cat /tmp/frozen)"
    else
        fail "the copy was never seen"
    fi
    local first="update-hotplug: sda1: $ENDED"
    vm_wait "$dir" "$first" 120 || fail "the first run never ended"
    # Whatever runs now on the stick pushed back ends, or asks for the stick.
    local end=$((SECONDS + 120))
    while [ "$(count "$ENDED")" -lt "$(count "starting the updater")" ] && [ "$(count "$REMOVE")" = 0 ] &&
        [ $SECONDS -lt $end ]; do
        sleep 0.2
    done
    if [ "$(count "$REMOVE")" != 0 ]; then
        vm_pull "$dir" stick2
        end_of_boot
    else
        power_off
    fi
    finish
    # No updater began work while the first one was at it.
    sed -n "/UPD-MARK copying/,/$first/p" "$dir/serial.log" | grep -qF "$UPDATING" &&
        fail "a second updater began while the first was at work"
    expect_console "$first 1"
    grep -qaF "Error updating firmware: 658" "$dir/serial.log" || fail "display: $(splashes | tr '\n' '|')"
    expect_whole bin/big.bin "$WORK/pkg/big/firmware/big.bin" 755
}

# expect_whole PATH NEW_FILE MODE: PATH holds the whole old file with its mode
# 0644 or the whole new one with mode MODE.
expect_whole() {
    local got=$dir/out/$1 mode=$3
    if [ ! -f "$got" ]; then
        fail "$1 missing"
        echo "$1 MISSING" >>"$dir/left"
    elif cmp -s "$got" "$WORK/old/$(basename "$1")"; then
        [ "$(stat -c %a "$got")" = 644 ] || fail "$1: old, mode $(stat -c %a "$got")"
        echo "$1 old" >>"$dir/left"
    elif cmp -s "$got" "$2"; then
        [ "$(stat -c %a "$got")" = "$mode" ] || fail "$1: new, mode $(stat -c %a "$got")"
        echo "$1 new" >>"$dir/left"
    else
        fail "$1: neither old nor new ($(stat -c %s "$got") bytes)"
        echo "$1 PARTIAL $(stat -c %s "$got") bytes" >>"$dir/left"
    fi
}

# power_cut NAME WATCHERS: the stick plugged in, the updater stopped at the
# moment the console marks NAME, the power cut without a sync (what the
# kernel had not written back is lost); every installed path checked after
# a file-system check. Then power back on with the stick still in: the update
# starts by itself and completes, and leaves nothing in the download folder.
power_cut() {
    local name=$1 p=$WORK/pkg/big/firmware
    use_tree big
    scenario "$2"
    boot
    plug big 1.4.3 stick1
    if vm_wait "$dir" "UPD-MARK $name" 150; then
        vm_cut "$dir"
    else
        fail "the moment \"$name\" was never reached"
        vm_cut "$dir"
    fi
    mv "$dir/serial.log" "$dir/serial-cut.log"
    finish
    mv "$dir/fsck.out" "$dir/fsck-cut.out"
    expect_whole bin/big.bin "$p/big.bin" 755
    expect_whole bin/app "$p/app" 755
    expect_whole cfg/big.conf "$WORK/expect/big.conf" 644
    # What else the cut left: interim copies and temporary files.
    (cd "$dir/out" && find download cfg bin -type f -name '.*' -o -type f -path 'download/*') |
        LC_ALL=C sort | while read -r f; do
        echo "$f $(stat -c %s "$dir/out/$f") bytes" >>"$dir/left"
    done

    local phase="power back on"
    scenario ""
    boot "$dir/stick1.img" 1.4.3
    pull_when_asked stick
    end_of_boot
    finish
    grep -qF "reboot: Restarting system" "$dir/serial.log" ||
        fail "no reboot; $(grep -ah 'UPD-SPLASH Error' "$dir/serial.log" | tr -d '\r')"
    [ "$(count "$UPDATING")" = 1 ] || fail "$(count "$UPDATING") updaters began work, not 1"
    expect_console "UPD-FLASH /dev/mtd2 <- FLASH IMAGE 2.0 for test"
    expect_file bin/big.bin "$p/big.bin" 755
    expect_file bin/app "$p/app" 755
    expect_file cfg/big.conf "$WORK/expect/big.conf" 644
    local left
    left=$(cd "$dir/out/download" && ls -A)
    [ -z "$left" ] || fail "left in the download folder: $(echo $left)"
}

sc_power_cut_during_copy() {
    # The flash image's verified copy on the instrument (the first file of
    # the download folder), half written.
    power_cut copy "freeze_when '[ \$(bytes_in /home/Brimwood/download) -ge $((FLASH_MIB << 19)) ]' copy"
}
sc_power_cut_during_flash_write() {
    # The flash image's copy complete and checked, the write command running.
    power_cut flash-write "echo flash-write >/tmp/cut-at"
}
sc_power_cut_between_renames() {
    # The large file's backup made, its new copy not yet renamed into place.
    power_cut renames "stop_before_rename /home/Brimwood/bin/big.bin renames"
}
sc_power_cut_during_merge() {
    # The first trace of the merge on disk: the backup, or a new file beside
    # the installed ones (brimwood.conf, big.conf and the time stamp).
    power_cut merge "freeze_when '[ -e /home/Brimwood/backup/cfg/big.conf ] || [ \$(ls -A /home/Brimwood/cfg | wc -l) -gt 3 ]' merge 0"
}

SCENARIOS="power_cut_during_copy power_cut_during_flash_write power_cut_between_renames
power_cut_during_merge stick_pushed_back update_port_1_4_3 other_stick_then_port_1_2 foreign_then_write_protected
stale_mount_then_good_stick late_by_label_link"
