#!/usr/bin/env bash
# The whole test suite, as CI runs it: installs what is missing, then builds and
# runs every test twice - a normal build (gcc) and an AddressSanitizer +
# UndefinedBehaviorSanitizer build (clang, which also builds and runs the
# libFuzzer targets for a bounded time). Needs root for the system tests.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
    echo "scripts/test.sh must run as root (system tests use network namespaces)" >&2
    exit 1
fi

scripts/install-deps.sh

JOBS=$(nproc)

run_suite() {
    local name=$1; shift
    echo "=== $name build ==="
    cmake -S . -B "build/$name" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "build/$name" -j "$JOBS"
    echo "=== $name tests ==="
    (cd "build/$name" && ctest --output-on-failure -j 1 --timeout 600)
}

run_suite normal -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc
run_suite asan -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
    -DCAM_SANITIZE=ON -DCAM_FUZZ=ON -DCAM_BENCH=OFF
