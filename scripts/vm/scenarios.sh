# shellcheck shell=bash
# The scenarios of scripts/vm-test.sh, sourced by it: the packages, sticks and
# instrument trees they share, and one function sc_NAME per scenario, run in
# its own folder $dir. A scenario notes each failed check in $dir/why.
# Needs machine.sh, and WORK (the run's folder), EXAMPLE (the example
# package's folder) and PACK (update-pack, which builds the sticks' contents).

OLD_STAMP="2026-06-01 12:00:00"  # build time stamp of the installed firmware
BIG_MIB=24                      # the large file of the power-cut package

# fail TEXT: notes a failed check (prefixed with $phase when set).
fail() { echo "${phase:+$phase: }$*" >>"$dir/why"; }

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

# scenario_file STICK CUT WATCHERS ARGUMENT...: writes $dir/scenario for the
# guest: with or without a stick, the cut point, the watchers' shell code and
# the updater's command line.
scenario_file() {
    local stick=$1 cut=$2 watch=$3 a
    shift 3
    {
        echo "STICK=$stick"
        echo "CUT=$cut"
        printf 'run_update() { /usr/bin/update'
        for a in "$@"; do printf " '%s'" "$a"; done
        echo '; }'
        [ -z "$watch" ] || echo "watchers() { $watch; }"
    } >"$dir/scenario"
    vm_initrd "$dir" "$dir/scenario"
}

# boot_and_pull PORT [ro]: boots, pulls the stick when the display asks for
# it and waits for the end of the run. Fails when the guest does not end.
boot_and_pull() {
    vm_start "$dir" "$@"
    if vm_wait "$dir" "UPD-SPLASH Please remove USB device." 120; then
        vm_monitor "$dir" "device_del stick"
    fi
    vm_end "$dir" 120 || fail "the guest did not end"
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

CONF_LINES=60000

# prepare: keys, packages, sticks and instrument trees for every scenario.
prepare() {
    local p=$WORK/pkg
    mkdir -p "$WORK/keys" "$WORK/expect" "$p"
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$WORK/keys/key.pem" 2>/dev/null
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$WORK/keys/foreign.pem" 2>/dev/null

    # Firmware 1.0 as installed: the stand-ins, the key, settings the user changed.
    local t=$WORK/tree-example
    mkdir -p "$t"/{bin,cfg,log,download}
    cp "$VM_DIR"/instrument/* "$t/bin/"
    : >"$t/bin/BrimwoodSplash.png"
    openssl pkey -in "$WORK/keys/key.pem" -pubout -out "$t/bin/NorvoCal.pub"
    printf 'V1.0\nLanguage German\nBrightness 40\nBacklight(timeout) 120\n' >"$t/cfg/brimwood.conf"

    # The power-cut package's firmware 1.0 besides: a large file, a small one
    # and a long configuration file, mode 0644 so that a new file's mode 0755
    # tells the two apart.
    t=$WORK/tree-big
    cp -a "$WORK/tree-example" "$t"
    head -c $((16 << 20)) /dev/urandom >"$t/bin/big.bin"
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
    head -c $((BIG_MIB << 20)) /dev/urandom >"$src/big.bin"
    echo "app 2.0" >"$src/app"
    { echo "V2"; seq 1 "$CONF_LINES" | sed 's/.*/key& new&/'; seq 1 20 | sed 's/.*/added& on/'; } \
        >"$src/big.conf"
    cp "$EXAMPLE/msp430.txt" "$src/"
    pack "$src/AuxInfo.txt.in" "$p/big" --key "$WORK/keys/key.pem"
    write_expected_configs

    local name
    mkdir -p "$WORK/sticks"
    for name in example foreign mismatch big; do
        mk_stick "$WORK/sticks/$name.img" "$p/$name"
    done
}

# use STICK TREE: the run's own copies of a stick and of an instrument tree
# on a fresh data disk.
use() {
    cp --sparse=always "$WORK/sticks/$1.img" "$dir/stick.img"
    mk_data "$dir/data.img" "$WORK/tree-$2"
}

# ---- Scenarios ----

# A signed update of firmware 1.0 to the example package, ending in a reboot.
signed_update() {
    use example example
    scenario_file yes "" "" -s -t "$OLD_STAMP"
    boot_and_pull "$@"
    finish
    local p=$WORK/pkg/example/firmware
    expect_console "reboot: Restarting system"
    expect_console "UPD-FLASH /dev/mtd3 <- BOOT LOGO 2.0"
    expect_console "UPD-MSP430 programmed: MSP430 firmware 2.0"
    [ "$(splashes | tr '\n' '|')" = "Updating firmware...|Please remove USB device.|Rebooting...|" ] ||
        fail "display: $(splashes | tr '\n' '|')"
    expect_file bin/brimwood "$p/brimwood" 755
    expect_file bin/bwhelp.txt "$p/bwhelp.txt" 755
    expect_file backup/bin/brimwood "$WORK/old/brimwood" 755
    expect_file cfg/brimwood.conf "$WORK/expect/brimwood.conf" 644
    expect_absent log/UpdateErrorLog.txt
    cmp -s <(stick_cat "$dir/stick.img" firmware/AuxInfo.txt) "$p/AuxInfo.txt" ||
        fail "the stick's manifest changed"
}

sc_update_port_1_4_3() { signed_update 1.4.3; }
sc_update_port_1_2() { signed_update 1.2; }
sc_write_protected_stick() { signed_update 1.4.3 ro; }

# A failed run: the exit, the error file and its display message.
expect_failure() {
    expect_console "UPD-EXIT 1"
    expect_error_file "1902 $1"
    splashes | grep -qxF "Error updating firmware: $1" || fail "display: $(splashes | tr '\n' '|')"
}

sc_no_stick() {
    use example example
    scenario_file no "" "" -s
    vm_start "$dir"
    vm_end "$dir" 120 || fail "the guest did not end"
    finish
    expect_failure 652
    expect_file bin/brimwood "$WORK/old/brimwood" 755
}

sc_digest_mismatch() {
    use mismatch example
    scenario_file yes "" "" -s -t "$OLD_STAMP"
    vm_start "$dir" 1.4.3
    vm_end "$dir" 120 || fail "the guest did not end"
    finish
    expect_failure 649
    expect_absent bin/bwhelp.txt
}

sc_foreign_signature() {
    use foreign example
    scenario_file yes "" "" -s -t "$OLD_STAMP"
    vm_start "$dir" 1.4.3
    vm_end "$dir" 120 || fail "the guest did not end"
    finish
    expect_failure 668
    expect_file bin/brimwood "$WORK/old/brimwood" 755
    expect_console "UPD-BRIMWOOD 1.0 started"
}

# The stick pulled while the large file is being copied from it.
sc_stick_pulled_mid_transfer() {
    use big big
    scenario_file yes "" \
        "mark_when '[ \$(size_of /home/Brimwood/download/big.bin.new) -ge $((8 << 20)) ]' copying" -s
    vm_start "$dir" 1.4.3
    if vm_wait "$dir" "UPD-MARK copying" 120; then
        vm_monitor "$dir" "device_del stick"
    else
        fail "the copy was never seen"
    fi
    vm_end "$dir" 120 || fail "the guest did not end"
    finish
    expect_failure 658
    expect_file bin/big.bin "$WORK/old/big.bin" 644
}

# expect_whole PATH NEW_FILE: PATH holds the whole old file with its mode
# 0644 or the whole new one with mode MODE.
expect_whole() {
    local got=$dir/out/$1 mode=$3
    if [ ! -f "$got" ]; then
        fail "$1 missing"
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

# power_cut NAME WATCHERS: cuts the power at the moment the console marks
# NAME, boots again after a file-system check, checks every installed path,
# then runs the same stick once more to the end.
power_cut() {
    local name=$1 watch=${2:-}
    use big big
    scenario_file yes "$name" "$watch" -s
    vm_start "$dir" 1.4.3
    if vm_wait "$dir" "UPD-MARK $name" 150; then
        vm_cut "$dir"
    else
        fail "the moment \"$name\" was never reached"
        vm_end "$dir" 60
    fi
    cp "$dir/serial.log" "$dir/serial-cut.log"
    finish
    local p=$WORK/pkg/big/firmware
    expect_whole bin/big.bin "$p/big.bin" 755
    expect_whole bin/app "$p/app" 755
    expect_whole cfg/big.conf "$WORK/expect/big.conf" 644
    cp "$dir/fsck.out" "$dir/fsck-cut.out"
    # What else the cut left: interim copies and temporary files.
    (cd "$dir/out" && find download cfg bin -type f -name '.*' -o -type f -path 'download/*') |
        LC_ALL=C sort | while read -r f; do
        echo "$f $(stat -c %s "$dir/out/$f") bytes" >>"$dir/left"
    done
    # The second run, on the stick as the cut left it.
    local phase="second run"
    scenario_file yes "" "" -s
    boot_and_pull 1.4.3
    finish
    grep -qF "reboot: Restarting system" "$dir/serial.log" ||
        fail "no reboot; $(grep -h 'UPD-SPLASH Error' "$dir/serial.log" | tr -d '\r')"
    expect_file bin/big.bin "$p/big.bin" 755
    expect_file bin/app "$p/app" 755
    expect_file cfg/big.conf "$WORK/expect/big.conf" 644
}

sc_power_cut_during_copy() {
    power_cut copy "freeze_when '[ \$(size_of /home/Brimwood/download/big.bin.new) -ge $((8 << 20)) ]' copy"
}
sc_power_cut_between_transfers() { power_cut between; }
sc_power_cut_during_merge() {
    # The first trace of the merge on disk: the backup, or a new file beside
    # the installed one.
    power_cut merge "freeze_when '[ -e /home/Brimwood/backup/cfg/big.conf ] || [ \$(ls -A /home/Brimwood/cfg | wc -l) -gt 2 ]' merge 0"
}
sc_power_cut_after_last_rename() { power_cut renamed; }

SCENARIOS="update_port_1_4_3 update_port_1_2 no_stick digest_mismatch foreign_signature
stick_pulled_mid_transfer write_protected_stick power_cut_during_copy power_cut_between_transfers
power_cut_during_merge power_cut_after_last_rename"
