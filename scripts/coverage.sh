#!/bin/bash
# Builds the suite with coverage counting (gcc --coverage, -O0), runs every
# test, and reports the line and branch coverage of src/ with gcovr. The runs
# of the simulated instrument inside the tests are counted too.
# Usage: scripts/coverage.sh
# Environment: UPD_COVERAGE_BUILD (build directory, default build-cov).
# Output: the summary on standard output, per-file figures in
# BUILD/coverage.txt and an HTML report in BUILD/coverage/index.html.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${UPD_COVERAGE_BUILD:-build-cov}
root=$(pwd)

need=()
command -v gcovr >/dev/null || need+=(gcovr)
command -v gcc >/dev/null || need+=(gcc)
if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "coverage.sh: missing ${need[*]}; run as root to install them" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${need[@]}"
fi

if cmake --list-presets 2>/dev/null | grep -q '"coverage"'; then
    cmake --preset coverage -B "$build" >/dev/null
else
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DUPD_BUILD_BENCH=OFF \
        -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
        -DCMAKE_C_FLAGS="--coverage -O0" -DCMAKE_CXX_FLAGS="--coverage -O0" \
        -DCMAKE_EXE_LINKER_FLAGS="--coverage" >/dev/null
fi
built=yes
cmake --build "$build" -j "$(nproc)" -- -k || built=no
gcc -shared -fPIC -O2 -o "$build/coverage_shim.so" scripts/coverage_shim.c -ldl

# Counts of earlier runs would add to this one's.
find "$build" -name '*.gcda' -delete
tested=yes
LD_PRELOAD="$root/$build/coverage_shim.so" UPD_COVERAGE_DIR="$root/$build" \
    ctest --test-dir "$build" --output-on-failure -j "$(nproc)" >"$build/coverage-tests.log" 2>&1 ||
    tested=no
tail -n 5 "$build/coverage-tests.log"

mkdir -p "$build/coverage"
gcovr_args=(--root "$root" --object-directory "$root/$build" --filter "$root/src/"
            --exclude-throw-branches --exclude-unreachable-branches "$root/$build/CMakeFiles")
gcovr "${gcovr_args[@]}" --txt "$build/coverage.txt" --branches >/dev/null
gcovr "${gcovr_args[@]}" --html-details "$build/coverage/index.html" --print-summary

if [ $built = no ] || [ $tested = no ]; then
    echo "coverage.sh: the build or some tests failed (see $build/coverage-tests.log);" \
         "the figures above count what ran" >&2
    exit 1
fi
