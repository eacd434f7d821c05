#!/bin/bash
# Builds the updater and runs every test. On a fresh Debian 12 machine it first
# installs what is missing (as root, with apt-get).
# Usage: scripts/test.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

need=()
command -v g++ >/dev/null || need+=(g++)
command -v cmake >/dev/null || need+=(cmake)
command -v openssl >/dev/null || need+=(openssl)
command -v md5sum >/dev/null || need+=(coreutils)
command -v setpriv >/dev/null || need+=(util-linux)
[ -f /usr/include/openssl/evp.h ] || need+=(libssl-dev)
[ -d /usr/include/gtest ] || need+=(libgtest-dev)
[ -d /usr/include/benchmark ] || need+=(libbenchmark-dev)
command -v make >/dev/null || need+=(make)
if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "test.sh: missing ${need[*]}; run as root to install them" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${need[@]}"
fi

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
