#!/bin/bash
# Kills the updater before each file-changing system call of a representative
# update on the simulated instrument, and checks after every kill that each
# installed path holds the whole old or the whole new file with its right mode
# (never nothing), that running the same stick again completes the update, and
# that the re-run leaves nothing behind that an uninterrupted update would not
# (no temporary file, no flash copy). It also checks, on the uninterrupted
# update, that each new file's mode and each backup are on the disk before the
# installed path is replaced. It builds nothing: it takes the update-sim
# binary to test.
# Usage: scripts/kill-test.sh [UPDATE_SIM]   (default build/update-sim)
# Prints one line per failed kill point or order, then "N passed, M failed,
# L left behind"; exits 1 when any failed.
set -euo pipefail
cd "$(dirname "$0")/.."
sim=$(realpath "${1:-build/update-sim}")
[ -x "$sim" ] || {
    echo "kill-test: no update-sim at $sim" >&2
    exit 2
}
if ! command -v strace >/dev/null; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "kill-test: strace is missing; run as root to install it" >&2
        exit 2
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends strace >/dev/null
fi

# On a tmpfs where there is room: the copies and fsyncs of each kill point cost
# next to nothing there, and a kill is a kill on any file system.
shm=$(df -Pk /dev/shm 2>/dev/null | awk 'NR == 2 { print $4 }')
if [ "${shm:-0}" -gt 262144 ]; then
    work=$(mktemp -d -p /dev/shm)
else
    work=$(mktemp -d)
fi
trap '[ -n "${KILL_TEST_KEEP:-}" ] || rm -rf "$work"' EXIT
umask 022
export LC_ALL=C
export sim work

# The calls that can change a file; each kill point is one of them, at one of
# its occurrences in the updater's own process.
calls=openat,write,pwrite64,ftruncate,rename,renameat,renameat2,link,linkat,unlink,unlinkat
calls+=,chmod,fchmod,fchmodat,mkdir,mkdirat,fsync,fdatasync,sync,syncfs
export calls
args=(-t "2026-06-01 12:00:00")
export args_text="-t|2026-06-01 12:00:00"

# The package (firmware 2.0) and the files of firmware 1.0 it replaces: a main
# application of some MiB, a help file installed only when different, a new
# tool, a configuration to merge (checked by its digest), a boot logo to write
# to flash through a checked copy, and an obsolete file to remove.
B=home/Brimwood
mkdir -p "$work"/{old,new}
head -c 4M /dev/urandom >"$work/old/brimwood"
head -c 4M /dev/urandom >"$work/new/brimwood"
printf 'Help for firmware 1.0\n' >"$work/old/bwhelp.txt"
printf 'Help for firmware 2.0\n' >"$work/new/bwhelp.txt"
printf '#!/bin/sh\necho tool 2.0\n' >"$work/new/newtool"
printf 'V1.0\nLanguage German\nBrightness 40\n' >"$work/old/brimwood.conf"
printf 'V2.0\nLanguage English\nBrightness 50\nContrast 7\n' >"$work/pkg.conf"
printf 'obsolete data\n' >"$work/old/obsolete.dat"
head -c 64K /dev/urandom >"$work/bootlogo.img"

transfer() { # section file [key=value...]
    local name=$1 file=$2
    shift 2
    printf '\n%s\nOperation = TransferFile\nSrcDir = /mnt/firmware\nSrcFile = %s\n' "$name" "$file"
    printf 'InterimDir = /%s/download\nInterimFile = %s.new\n' "$B" "$file"
    printf 'DestDir = /%s/bin\nDestFile = %s\n' "$B" "$file"
    printf 'BackupDir = /%s/backup/bin\nBackupFile = %s\n' "$B" "$file"
    printf 'MD5Hash = %s\n' "$(md5sum <"$work/new/$file" | cut -d' ' -f1)"
    printf 'SHA256Hash = %s\n' "$(sha256sum <"$work/new/$file" | cut -d' ' -f1)"
    printf '%s\n' "$@"
}

t=$work/template
mkdir -p "$t/$B"/{bin,log,download,cfg} "$t/mnt" "$t/tmp" "$t/sbin" \
    "$t/sys/bus/usb/drivers/usb-storage/2-1.4.3:1.0" "$t/dev/disk/by-label/BRIMWOOD/firmware"
stick=$t/dev/disk/by-label/BRIMWOOD/firmware
printf '#!/bin/sh\nexit 0\n' >"$t/$B/bin/qsplash"
printf '#!/bin/sh\nexit 0\n' >"$t/sbin/reboot"
printf '#!/bin/sh\ncat "$1" >/dev/null\n' >"$t/$B/bin/flash-tool"
chmod 755 "$t/$B/bin/qsplash" "$t/sbin/reboot" "$t/$B/bin/flash-tool"
install -m 755 "$work/old/brimwood" "$t/$B/bin/brimwood"
install -m 644 "$work/old/bwhelp.txt" "$t/$B/bin/bwhelp.txt"
install -m 644 "$work/old/brimwood.conf" "$t/$B/cfg/brimwood.conf"
install -m 644 "$work/old/obsolete.dat" "$t/$B/bin/obsolete.dat"
cp "$work/new/brimwood" "$work/new/bwhelp.txt" "$work/new/newtool" "$stick/"
cp "$work/pkg.conf" "$stick/brimwood.conf"
cp "$work/bootlogo.img" "$stick/bootlogo.img"
{
    printf 'SectionList\nSequence = Backup, BackupOld, Install, Finish\n'
    printf 'Install = MainApp, Help, Tool, Settings, BootLogo, Cleanup\n'
    printf '\nBackup\nOperation = BackupFiles\nDestDir = /%s/backup\n' "$B"
    printf 'DestDir1 = /%s/backup/bin\nDestDir2 = /%s/backup/cfg\n' "$B" "$B"
    printf '\nBackupOld\nOperation = BackupFiles\nDestDir = /%s/backup\n' "$B"
    printf 'DestDir1 = /%s/backup/old\nDestDir2 = /%s/backup/old/cfg\n' "$B" "$B"
    transfer MainApp brimwood "TimeStamp = 2026-12-01 10:00:00"
    transfer Help bwhelp.txt "TimeStamp = 2026-12-01 10:00:00" "NoUpdateSame = true"
    transfer Tool newtool "DestNoExist = true"
    printf '\nSettings\nOperation = ConfigUpdate\nSrcDir = /mnt/firmware\n'
    printf 'SrcFile = brimwood.conf\nDestDir = /%s/cfg\nDestFile = brimwood.conf\n' "$B"
    printf 'BackupDir = /%s/backup/cfg\nBackupFile = brimwood.conf\n' "$B"
    printf 'SHA256Hash = %s\n' "$(sha256sum <"$work/pkg.conf" | cut -d' ' -f1)"
    printf '\nBootLogo\nOperation = FlashUpdate\nDevice = /dev/mtd3\nOffset = 0\n'
    printf 'EraseCommand = /%s/bin/flash-tool --erase\n' "$B"
    printf 'WriteCommand = /%s/bin/flash-tool\nDataPath1 = /mnt/firmware/bootlogo.img\n' "$B"
    printf 'SHA256Hash = %s\n' "$(sha256sum <"$work/bootlogo.img" | cut -d' ' -f1)"
    printf '\nCleanup\nOperation = RemoveFiles\nfile1 = /%s/bin/obsolete.dat\n' "$B"
    printf '\nFinish\nOperation = Reboot\n'
} >"$stick/AuxInfo.txt"

# One uninterrupted run gives the merged configuration, and the calls to kill.
cp -a "$t" "$work/reference"
strace -f -qq -y -o "$work/count.log" -e trace="$calls" "$sim" "$work/reference" "${args[@]}" \
    >/dev/null 2>"$work/reference.err" || {
    cat "$work/reference.err" >&2
    echo "kill-test: the uninterrupted update failed" >&2
    exit 1
}
cp "$work/reference/$B/cfg/brimwood.conf" "$work/new/brimwood.conf"

# The file-changing calls of the updater's own process in a log, one line
# each: "call occurrence text", from the updater's first call (the open of
# its lock; the sandbox is set up before it) to its exit (the trace's last
# line; update-sim then tidies up). Opens that only read, and writes to the
# display, to pipes or to the simulation's own files, change nothing on the
# instrument.
file_changing() {
    awk -v root="$2" '
        NR == 1 { main = $1 }
        $1 != main || !match($2, /^[a-z0-9_]+\(/) { next }
        {
            call = substr($2, 1, RLENGTH - 1)
            n = ++seen[call]
            text = substr($0, index($0, $2))
            gsub(/AT_FDCWD<[^>]*>/, "AT_FDCWD", text)
            gsub(root, "", text)
            if (text ~ /"\/home\/Brimwood\/\.update\.lock"/) started = 1
            if (ended) next
            if (text ~ /^write\([0-9]+<\/\.sim\/log>, "exit /) ended = 1
            if (!started || text ~ /"\/\.sim|<\/\.sim|<\/dev\/|<(pipe|socket):/) next
            if (call ~ /^open/ && text !~ /O_WRONLY|O_RDWR|O_CREAT|O_TRUNC/) next
            print call, n, text
        }' "$1"
}
file_changing "$work/count.log" "$work/reference" >"$work/points"

# What an uninterrupted update leaves on the instrument, besides the
# simulation's own folder: every name a re-run may leave.
listing() {
    (cd "$1" && find . -path ./.sim -prune -o -print | sort)
}
export -f listing
# A re-run after the tool was installed backs it up, which the first run had
# nothing to back up for.
{
    listing "$work/reference"
    echo "./$B/backup/bin/newtool"
} | sort -u >"$work/reference.list"

# The durable order of the uninterrupted update: between the last call that
# changes something (matching $2) and the rename that installs a file
# (matching $1, the first such), an fsync matching $3 puts the change on the
# disk. Prints one line when it does not.
in_order() {
    awk -v install="$1" -v change="$2" -v sync="$3" -v what="$4" '
        $0 ~ install { found = 1; exit }
        $0 ~ change { changed = NR; synced = 0 }
        changed && $0 ~ sync { synced = 1 }
        END { if (!found || !changed || !synced) print "FAIL order: " what }' "$work/points"
}
app=/$B/download/brimwood.new
{
    in_order "^rename[a-z0-9]* .*\"$app\".*\"/$B/bin/brimwood\"" "^[a-z]*chmod[a-z]* .*\"$app\"" \
        "^fsync .*<$app>" "the new program's mode before it is installed"
    in_order "^rename[a-z0-9]* .*\"$app\".*\"/$B/bin/brimwood\"" \
        "^rename[a-z0-9]* .*\"/$B/backup/bin/brimwood\"" "^fsync .*</$B/backup/bin>" \
        "the program's backup before the program is replaced"
    in_order "^rename[a-z0-9]* .*update-tmp\".*\"/$B/cfg/brimwood.conf\"" \
        "^rename[a-z0-9]* .*\"/$B/backup/cfg/brimwood.conf\"" "^fsync .*</$B/backup/cfg>" \
        "the configuration's backup before the configuration is replaced"
} >"$work/order"

# Checks the installed path $2 below root $1 against the state $3: "either"
# the whole old file with its old mode or the whole new one with its new mode
# (for the new tool: nothing or the new file), or "new" only. The obsolete file
# may be there or not, and must be gone when "new".
check_path() {
    local path=$1/$2 name=${2##*/} mode new_mode=755
    if [ ! -e "$path" ]; then
        case $3:$name in
        either:newtool | *:obsolete.dat) return 0 ;;
        esac
        echo "$2 missing"
        return 1
    fi
    if [ "$name" = obsolete.dat ] && [ "$3" = new ]; then
        echo "$2 not removed"
        return 1
    fi
    mode=$(stat -c %a "$path")
    [ "$name" != brimwood.conf ] || new_mode=644
    if cmp -s "$path" "$work/new/$name" 2>/dev/null; then
        [ "$mode" = "$new_mode" ] && return 0
        echo "$2 new with mode $mode"
    elif cmp -s "$path" "$work/old/$name" 2>/dev/null; then
        [ "$3" = either ] && [ "$mode" = "$(stat -c %a "$work/template/$2")" ] && return 0
        echo "$2 old with mode $mode"
    else
        echo "$2 corrupt ($(stat -c %s "$path") bytes)"
    fi
    return 1
}
export -f check_path

installed="$B/bin/brimwood $B/bin/bwhelp.txt $B/bin/newtool $B/cfg/brimwood.conf $B/bin/obsolete.dat"
export installed B

# The call and its first argument, paths as the updater sees them: what
# tells one call from another in two logs of the same run.
call_key() {
    sed -E "s|AT_FDCWD<[^>]*>|AT_FDCWD|g; s|$1||g; s/^([a-z0-9_]+\([^,)]*).*/\1/"
}
export -f call_key

# One kill point: the update killed before occurrence $2 of call $1, then run
# again. Prints nothing when all is well, else one line.
kill_point() {
    local call=$1 n=$2 root=$work/run-$1-$2 log=$work/run-$1-$2.log status f
    local problems=""
    note() { problems+="${problems:+; }$*"; }
    IFS='|' read -r -a args <<<"$args_text"
    cp -a "$work/template" "$root"
    # (In a subshell of its own that reports the kill to /dev/null.)
    (strace -f -qq -y -o "$log" -e trace="$calls" -e inject="$call:signal=KILL:when=$n" \
        "$sim" "$root" "${args[@]}" >/dev/null 2>&1; exit $?) 2>/dev/null && status=0 || status=$?
    # The kill must have hit that very call of the updater's own process.
    local main hit wanted
    main=$(awk 'NR == 1 { print $1; exit }' "$log")
    hit=$(awk -v m="$main" -v c="$call" -v n="$n" '
        $1 == m && index($2, c "(") == 1 && ++k == n { sub(/^[0-9]+ +/, ""); print; exit }' \
        "$log" | call_key "$root")
    wanted=$(awk -v c="$call" -v n="$n" '$1 == c && $2 == n { sub(/^[^ ]+ [^ ]+ /, ""); print }' \
        "$work/points" | call_key "$root")
    if [ "$status" -ne 137 ] || [ "$hit" != "$wanted" ] ||
        [ "$(awk 'END { print $1, $2, $3, $4, $5 }' "$log")" != "$main +++ killed by SIGKILL" ]; then
        note "kill missed: status $status, hit ${hit:-nothing}"
    fi
    for f in $installed; do
        f=$(check_path "$root" "$f" either) || note "$f"
    done
    # The same stick again, plugged in once more if the run had pulled it.
    if [ -d "$root/.sim/unplugged/BRIMWOOD" ]; then
        mv "$root/.sim/unplugged/BRIMWOOD" "$root/dev/disk/by-label/BRIMWOOD"
    fi
    "$sim" "$root" "${args[@]}" >/dev/null 2>&1 && status=0 || status=$?
    [ "$status" -eq 0 ] || note "re-run exit $status"
    if [ -f "$root/$B/log/UpdateErrorLog.txt" ]; then
        note "re-run error file $(cat "$root/$B/log/UpdateErrorLog.txt")"
    fi
    for f in $installed; do
        f=$(check_path "$root" "$f" new) || note "re-run: $f"
    done
    for f in $(listing "$root" | comm -23 - "$work/reference.list"); do
        note "left behind: ${f#.}"
        echo "$call#$n ${f#.}" >>"$work/left"
    done
    [ -z "$problems" ] || echo "FAIL $call#$n ($wanted): $problems"
    rm -rf "$root" "$log"
}
export -f kill_point

start=$SECONDS
: >"$work/left"
awk '{ print $1, $2 }' "$work/points" | xargs -P 2 -n 2 bash -c 'kill_point "$@"' _ >"$work/failures" || true
cat "$work/order" >>"$work/failures"
total=$(($(wc -l <"$work/points") + 3))
failed=$(wc -l <"$work/failures")
left=$(wc -l <"$work/left")
cat "$work/failures"
echo "kill-test: $((total - 3)) kill points and 3 orders in $((SECONDS - start)) s" >&2
echo "$((total - failed)) passed, $failed failed, $left left behind"
[ "$failed" -eq 0 ] && [ "$left" -eq 0 ]
