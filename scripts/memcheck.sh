#!/bin/bash
# Runs the unit and end-to-end suites under valgrind memcheck, following the
# children that are the updater's own (update-sim), and fails on any memory
# error or any definite or indirect leak on any path, failure paths included.
# Memory still reachable when the process ends (the process-wide manifest
# store after a failure that ends the run) is not a leak.
# Usage: scripts/memcheck.sh [TEST_PROGRAM...]   (default: every test_* program)
# Environment: UPD_MEMCHECK_BUILD (build directory, default build-asan-h-memcheck),
#   UPD_MEMCHECK_FILTER (tests to run, a --gtest_filter; by default all but the
#   files past 2 GiB, which only repeat the same loops over gigabytes and take
#   hours under memcheck).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${UPD_MEMCHECK_BUILD:-build-asan-h-memcheck}
filter=${UPD_MEMCHECK_FILTER:--BigFile.*}
root=$(pwd)

if ! command -v valgrind >/dev/null; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "memcheck.sh: valgrind is missing; run as root to install it" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends valgrind
fi

# Lightly optimised (-O1, as memcheck advises): what it reports is what the
# code does, without the compiler's speculative reads of -O2.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPD_BUILD_BENCH=OFF \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" >/dev/null
built=yes
cmake --build "$build" -j "$(nproc)" -- -k || built=no

if [ $# -gt 0 ]; then
    programs=("$@")
else
    mapfile -t programs < <(find "$build/tests" -maxdepth 1 -type f -name 'test_*' -perm -u+x | sort)
fi

logs="$build/memcheck"
rm -rf "$logs"
mkdir -p "$logs"
failed=()
for program in "${programs[@]}"; do
    name=$(basename "$program")
    echo "== $name"
    # Each process writes its own log. Forked children stay silent until they
    # run a program: the updater's sandbox changes its root directory, where
    # the log folder cannot be reached. Shell commands and the system's
    # programs are not followed.
    status=0
    valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite,indirect \
        --show-leak-kinds=definite,indirect --error-exitcode=97 --num-callers=30 \
        --suppressions="$root/scripts/memcheck.supp" --vgdb=no \
        --trace-children=yes --child-silent-after-fork=yes \
        --trace-children-skip='/bin/*,/usr/*,/sbin/*,/lib*,/home/*,/tmp/*,*/sh' \
        --log-file="$root/$logs/$name.%p.log" \
        "$program" --gtest_filter="$filter" >"$logs/$name.out" 2>&1 || status=$?
    tail -n 3 "$logs/$name.out"
    if [ $status -ne 0 ]; then
        echo "$name: status $status"
        grep -E '^\[  FAILED  \]' "$logs/$name.out" || true
        failed+=("$name")
    fi
done

# A process with errors or leaks, whatever its exit status told its parent.
bad=$(grep -L 'ERROR SUMMARY: 0 errors' "$logs"/*.log || true)
processes=$(find "$logs" -name '*.log' | wc -l)
echo "== memcheck: $processes processes checked"
if [ -n "$bad" ]; then
    for log in $bad; do
        echo "---- $log"
        grep -v '^==[0-9]*== *$' "$log" | sed -n '/Command:/p;/ERROR SUMMARY/p;/lost in loss record/,/^==[0-9]*== *$/p;/Invalid\|uninitialised\|Mismatched\|overlap/,+12p' | head -n 80
    done
    echo "memcheck.sh: memory errors or leaks in the processes above" >&2
    exit 1
fi
if [ $built = no ]; then
    echo "memcheck.sh: the build failed; only the programs that were built were checked" >&2
    exit 1
fi
if [ ${#failed[@]} -gt 0 ]; then
    echo "memcheck.sh: failing test programs: ${failed[*]}" >&2
    exit 1
fi
echo "memcheck: no error and no leak"
