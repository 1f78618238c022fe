#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The whole test suite, as CI runs it: installs what is missing, then builds and
# runs every test three times:
#   normal  gcc, everything (also installs the host tools: CAM_INSTALL_TOOLS)
#   arm     the camera build: both programs cross-built for 32-bit ARM with the
#           size flags (build type Camera) and without the host tools, the
#           target's cgicc unpacked into build/arm/sysroot; unit tests, the
#           install test included, under qemu-arm
#   asan    clang with AddressSanitizer + UndefinedBehaviorSanitizer, which
#           also builds and runs the libFuzzer targets for a bounded time
# Before any build, every C and C++ file must be formatted (scripts/check-format.sh).
# Warnings are errors when CAM_WERROR=ON is in the environment (CI sets it).
# Needs root for the system tests.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
    echo "scripts/test.sh must run as root (system tests use network namespaces)" >&2
    exit 1
fi

scripts/install-deps.sh
scripts/check-format.sh

JOBS=$(nproc)
WERROR=${CAM_WERROR:-OFF}

# run_suite <name> <ctest args> -- <cmake args>
run_suite() {
    local name=$1; shift
    local ctest_args=()
    while [ "$1" != "--" ]; do ctest_args+=("$1"); shift; done
    shift
    echo "=== $name build ==="
    cmake -S . -B "build/$name" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCAM_WERROR="$WERROR" "$@" >/dev/null
    cmake --build "build/$name" -j "$JOBS"
    echo "=== $name tests ==="
    (cd "build/$name" && ctest --output-on-failure --timeout 600 "${ctest_args[@]}")
}

run_suite normal -j 1 -- -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc -DCAM_INSTALL_TOOLS=ON
scripts/cross-sysroot.sh build/arm/sysroot
# A cross build leaves the tests out unless asked.
run_suite arm -L unit -j "$JOBS" -- -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake \
    -DCMAKE_FIND_ROOT_PATH="$PWD/build/arm/sysroot" -DCMAKE_BUILD_TYPE=Camera -DCAM_TOOLS=OFF \
    -DBUILD_TESTING=ON
run_suite asan -j 1 -- -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
    -DCAM_SANITIZE=ON -DCAM_FUZZ=ON -DCAM_BENCH=OFF
