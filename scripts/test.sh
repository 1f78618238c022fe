#!/usr/bin/env bash
# The whole test suite, as CI runs it: installs what is missing, then builds and
# runs every test twice - a normal build (gcc) and an AddressSanitizer +
# UndefinedBehaviorSanitizer build (clang, which also builds and runs the
# libFuzzer targets for a bounded time). Between the two, the daemon's side is
# cross-built for the camera (32-bit ARM) and its unit tests run under qemu-arm.
# Needs root for the system tests.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
    echo "scripts/test.sh must run as root (system tests use network namespaces)" >&2
    exit 1
fi

scripts/install-deps.sh

JOBS=$(nproc)

# run_suite <name> <ctest args> -- <cmake args>
run_suite() {
    local name=$1; shift
    local ctest_args=()
    while [ "$1" != "--" ]; do ctest_args+=("$1"); shift; done
    shift
    echo "=== $name build ==="
    cmake -S . -B "build/$name" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "build/$name" -j "$JOBS"
    echo "=== $name tests ==="
    (cd "build/$name" && ctest --output-on-failure --timeout 600 "${ctest_args[@]}")
}

run_suite normal -j 1 -- -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc
run_suite arm -L unit -j "$JOBS" -- -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake \
    -DCAM_DEVFINDER_ONLY=ON -DCAM_BENCH=OFF
run_suite asan -j 1 -- -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
    -DCAM_SANITIZE=ON -DCAM_FUZZ=ON -DCAM_BENCH=OFF
