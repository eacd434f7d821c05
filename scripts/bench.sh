#!/bin/bash
# Builds the updater in Release and runs every benchmark; each prints, at its
# end, its figures as ratios against the reference measured in the same run.
# Then the size of `update` stripped: the native build, and the instrument's
# static 32-bit ARM build when the cross compiler is there.
# Usage: scripts/bench.sh [BENCHMARK_ARGUMENT...]   (passed to every benchmark)
# Environment: UPD_BENCH_BUILD (build folder, default build-bench),
#              UPD_BENCH_ARMHF=0 (skip the ARM build), UPD_BENCH_JOBS (default nproc).
# Needs root, or user namespaces, for the whole runs of update-sim, and about
# 1.5 GiB of free space in TMPDIR (default /tmp) and in /dev/shm.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${UPD_BENCH_BUILD:-build-bench}
jobs=${UPD_BENCH_JOBS:-$(nproc)}

if [ ! -d /usr/include/benchmark ]; then
    echo "bench.sh: Google Benchmark is missing (apt-get install libbenchmark-dev)" >&2
    exit 1
fi

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DUPD_BUILD_TESTS=OFF \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build "$build" -j "$jobs"

args=("$@")
[ ${#args[@]} -gt 0 ] || args=(--benchmark_report_aggregates_only=true)
for program in "$build"/bench/bench_*; do
    echo
    echo "==== $(basename "$program")"
    "$program" "${args[@]}"
done

echo
echo "==== size of update"
strip -o "$build/update.stripped" "$build/update"
echo "native ($(uname -m), shared libraries): $(stat -c %s "$build/update.stripped") bytes stripped"
if [ "${UPD_BENCH_ARMHF:-1}" != 0 ] && command -v arm-linux-gnueabihf-g++ >/dev/null &&
    [ -f /usr/lib/arm-linux-gnueabihf/libcrypto.a ]; then
    arm="$build-armhf-static"
    toolchain=()
    [ -f "$arm/CMakeCache.txt" ] || toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake)
    cmake -S . -B "$arm" "${toolchain[@]}" -DCMAKE_BUILD_TYPE=Release -DUPD_STATIC=ON \
        -DUPD_BUILD_TESTS=OFF -DUPD_BUILD_BENCH=OFF -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
    cmake --build "$arm" -j "$jobs" --target update >/dev/null
    arm-linux-gnueabihf-strip -o "$arm/update.stripped" "$arm/update"
    echo "instrument (armhf, static, libcrypto included): $(stat -c %s "$arm/update.stripped") bytes stripped"
fi
