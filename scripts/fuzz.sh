#!/bin/bash
# Builds the libFuzzer targets with the machine's clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time, starting from
# its seed corpus. Prints each target's executions and executions per second.
# Exits non-zero when any target finds a crash, a leak or a violated invariant
# (the input that did it is kept under fuzz/artifacts/), or runs clean but
# slower than UPD_FUZZ_MIN_RATE executions a second: a target that slow
# explores little in a bounded run.
#
# With --merge, runs nothing new: for each target, minimises its seed corpus
# fuzz/corpus/<target> together with what runs found (fuzz/corpus-run/<target>)
# into a fresh directory (libFuzzer's -merge=1), and replaces the seed corpus
# with it. Seeds that survive keep their file names.
#
# Per target, next to its source fuzz/<target>.cpp:
#   fuzz/<target>.dict     a libFuzzer dictionary, passed as -dict=
#   fuzz/<target>.options  extra libFuzzer flags, one a line (e.g. -max_len=1024);
#                          blank lines and lines starting with # are ignored.
#                          They come after the defaults, so they override them.
#   fuzz/<target>.rate     the least executions per second for this target,
#                          in place of UPD_FUZZ_MIN_RATE: for a target that does
#                          more per input by design (e.g. two whole runs).
# Every path given to a fuzzer is absolute, and its temporary files (those of
# -merge=1 among them) go to <build>/fuzz/tmp (TMPDIR).
#
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]   (default 20 s, all)
#        scripts/fuzz.sh --merge [TARGET...]                 (default all)
# Environment: UPD_FUZZ_BUILD (build directory, default build-fuzz),
#              UPD_FUZZ_JOBS (parallel compile jobs, default nproc),
#              UPD_FUZZ_MIN_RATE (least executions per second, default 1000).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd -P)
usage="usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...] | --merge [TARGET...]"
merge=0
seconds=20
if [ "${1:-}" = --merge ]; then
    merge=1
    shift
elif [ $# -gt 0 ]; then
    seconds=$1
    shift
fi
build=${UPD_FUZZ_BUILD:-build-fuzz}
jobs=${UPD_FUZZ_JOBS:-$(nproc)}
min_rate=${UPD_FUZZ_MIN_RATE:-1000}

if ! [[ $seconds =~ ^[1-9][0-9]*$ && $min_rate =~ ^[0-9]+$ ]]; then
    echo "$usage" >&2
    exit 2
fi

need=()
command -v clang++ >/dev/null || need+=(clang)
compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a" >/dev/null || need+=(libclang-rt-dev)
command -v cmake >/dev/null || need+=(cmake)
command -v make >/dev/null || need+=(make)
[ -f /usr/include/openssl/evp.h ] || need+=(libssl-dev)
if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "fuzz.sh: missing ${need[*]}; run as root to install them" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${need[@]}"
fi

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DUPD_BUILD_FUZZ=ON -DUPD_BUILD_TESTS=OFF -DUPD_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target fuzz
build=$(cd "$build" && pwd -P)

if [ $# -gt 0 ]; then
    targets=("$@")
else
    mapfile -t targets < "$build/fuzz/fuzz-targets.txt"
fi

export TMPDIR="$build/fuzz/tmp"
mkdir -p "$TMPDIR" fuzz/artifacts fuzz/corpus-run

# The flags of target $1 from its own files: a dictionary, then its options.
target_flags() {
    flags=()
    local dict="$root/fuzz/$1.dict" options="$root/fuzz/$1.options" line
    [ ! -f "$dict" ] || flags+=("-dict=$dict")
    [ -f "$options" ] || return 0
    while IFS= read -r line || [ -n "$line" ]; do
        line=${line%$'\r'}
        line=${line#"${line%%[![:space:]]*}"}
        line=${line%"${line##*[![:space:]]}"}
        [[ -z $line || $line == \#* ]] && continue
        if [[ $line != -* ]]; then
            echo "fuzz.sh: $options: not a flag: $line" >&2
            return 1
        fi
        flags+=("$line")
    done <"$options"
}

# Replaces the seed corpus of target $1 by the minimised union of it and what
# runs found; a seed kept as it was keeps its name.
merge_target() {
    local t=$1 bin=$2 log=$3
    local seeds="$root/fuzz/corpus/$t" out="$build/fuzz/merged/$t"
    rm -rf "$out"
    mkdir -p "$out" "$seeds" "$root/fuzz/corpus-run/$t"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
        "$bin" -merge=1 -timeout=10 -rss_limit_mb=2048 -max_len=4096 "${flags[@]}" \
        -artifact_prefix="$root/fuzz/artifacts/$t-" \
        "$out" "$seeds" "$root/fuzz/corpus-run/$t" >"$log" 2>&1 || return $?
    declare -A named=()
    local f sum
    for f in "$seeds"/*; do
        [ -f "$f" ] || continue
        sum=$(sha1sum <"$f")
        named[${sum%% *}]=${f##*/}
    done
    for f in "$out"/*; do
        [ -f "$f" ] || continue
        sum=$(sha1sum <"$f")
        sum=${sum%% *}
        [ -z "${named[$sum]:-}" ] || [ "${f##*/}" = "${named[$sum]}" ] || mv "$f" "$out/${named[$sum]}"
    done
    [ -n "$(ls -A "$out")" ] || return 1  # never replace seeds with nothing
    rm -rf "$seeds"
    mv "$out" "$seeds"
}

failed=()
summary=()
for t in "${targets[@]}"; do
    [ -n "$t" ] || continue
    bin="$build/fuzz/fuzz_$t"
    if [ ! -x "$bin" ]; then
        echo "fuzz.sh: no target $t" >&2
        failed+=("$t")
        continue
    fi
    log="$build/fuzz/$t.log"
    if ! target_flags "$t"; then
        failed+=("$t")
        summary+=("$(printf '%-20s FAILED: bad fuzz/%s.options' "$t" "$t")")
        continue
    fi
    if [ $merge -eq 1 ]; then
        echo "== fuzz_$t: merging its corpora"
        before=$(find "fuzz/corpus/$t" -type f 2>/dev/null | wc -l)
        status=0
        merge_target "$t" "$bin" "$log" || status=$?
        if [ $status -ne 0 ]; then
            echo "fuzz_$t merge FAILED (status $status); the end of its log ($log):"
            tail -n 40 "$log"
            failed+=("$t")
            summary+=("$(printf '%-20s merge FAILED' "$t")")
        else
            after=$(find "fuzz/corpus/$t" -type f | wc -l)
            summary+=("$(printf '%-20s %6s seeds before, %6s after the merge' "$t" "$before" "$after")")
        fi
        continue
    fi
    # New inputs go to the run's own corpus (not committed); the seeds are
    # read from fuzz/corpus/<target>.
    mkdir -p "fuzz/corpus-run/$t" "fuzz/corpus/$t"
    echo "== fuzz_$t for ${seconds} s"
    status=0
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
        "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=4096 -print_final_stats=1 "${flags[@]}" \
        -artifact_prefix="$root/fuzz/artifacts/$t-" \
        "$root/fuzz/corpus-run/$t" "$root/fuzz/corpus/$t" >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    floor=$min_rate
    [ -f "fuzz/$t.rate" ] && floor=$(tr -d '[:space:]' <"fuzz/$t.rate")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    if [ $status -ne 0 ]; then
        echo "fuzz_$t FAILED (status $status); the end of its log ($log):"
        tail -n 40 "$log"
        failed+=("$t")
        summary+=("$(printf '%-20s FAILED after %s executions' "$t" "${runs:-?}")")
    elif ! [[ $rate =~ ^[0-9]+$ ]]; then
        echo "fuzz_$t: no executions per second in its log ($log)" >&2
        failed+=("$t")
        summary+=("$(printf '%-20s FAILED: no statistics' "$t")")
    elif ! [[ $floor =~ ^[0-9]+$ ]]; then
        echo "fuzz_$t: fuzz/$t.rate holds no number" >&2
        failed+=("$t")
        summary+=("$(printf '%-20s FAILED: bad fuzz/%s.rate' "$t" "$t")")
    elif [ "$rate" -lt "$floor" ]; then
        echo "fuzz_$t too slow: $rate executions per second, under $floor" >&2
        failed+=("$t")
        summary+=("$(printf '%-20s %10s executions, %7s/s: SLOWER than %s/s' \
            "$t" "${runs:-?}" "$rate" "$floor")")
    else
        summary+=("$(printf '%-20s %10s executions, %7s/s, clean in %s s' \
            "$t" "${runs:-?}" "$rate" "$seconds")")
    fi
done

echo "== fuzz summary"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz.sh: failing targets: ${failed[*]}" >&2
    exit 1
fi
