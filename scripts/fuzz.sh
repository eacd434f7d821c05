#!/bin/bash
# Builds the libFuzzer targets with the machine's clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time, starting from
# its seed corpus. Exits non-zero when any target finds a crash, a leak or a
# violated invariant; the input that did it is kept under fuzz/artifacts/.
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]   (default 20 s, all)
# Environment: UPD_FUZZ_BUILD (build directory, default build-fuzz),
#              UPD_FUZZ_JOBS (parallel compile jobs, default nproc).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
shift || true
build=${UPD_FUZZ_BUILD:-build-fuzz}
jobs=${UPD_FUZZ_JOBS:-$(nproc)}

if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]" >&2
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

if [ $# -gt 0 ]; then
    targets=("$@")
else
    mapfile -t targets < "$build/fuzz/fuzz-targets.txt"
fi

mkdir -p fuzz/artifacts fuzz/corpus-run
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
    # New inputs go to the run's own corpus (not committed); the seeds are
    # read from fuzz/corpus/<target>.
    mkdir -p "fuzz/corpus-run/$t" "fuzz/corpus/$t"
    log="$build/fuzz/$t.log"
    echo "== fuzz_$t for ${seconds} s"
    status=0
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
        "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=4096 -print_final_stats=1 \
        -artifact_prefix="fuzz/artifacts/$t-" \
        "fuzz/corpus-run/$t" "fuzz/corpus/$t" >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    if [ $status -ne 0 ]; then
        echo "fuzz_$t FAILED (status $status); the end of its log ($log):"
        tail -n 40 "$log"
        failed+=("$t")
        summary+=("$(printf '%-20s FAILED after %s executions' "$t" "${runs:-?}")")
    else
        summary+=("$(printf '%-20s %10s executions clean in %s s' "$t" "${runs:-?}" "$seconds")")
    fi
done

echo "== fuzz summary"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz.sh: failing targets: ${failed[*]}" >&2
    exit 1
fi
