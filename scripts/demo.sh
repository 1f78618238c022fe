#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The main job in one command, on a fresh Debian 12 machine as root: installs what is
# missing, builds everything into build/demo, then plays the installer's job in a sandbox
# of network namespaces (scripts/demo.py): find the camera, move it to a new address, find
# it there, fetch a snapshot from it, and show that a wrong password changes nothing.
# Exit status 0 only when every step did what it should.
#
#   scripts/demo.sh           play the steps, then remove everything
#   scripts/demo.sh --keep    play the steps, leave the camera and installer hosts up and
#                             print the commands to use them by hand
#   scripts/demo.sh --down    remove the hosts of a kept demo
#
# With CAM_BIN_DIR set to the bin directory of an existing build (build/<dir>/bin), its
# programs are used and nothing is built.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
    echo "scripts/demo.sh must run as root (it creates network namespaces)" >&2
    exit 1
fi

case "${1:-}" in
    "" | --keep) ;;
    --down) exec python3 scripts/demo.py --down ;;
    *) echo "usage: scripts/demo.sh [--keep | --down]" >&2; exit 2 ;;
esac

scripts/install-deps.sh

if [ -n "${CAM_BIN_DIR:-}" ]; then
    echo "using the programs in $CAM_BIN_DIR"
else
    mkdir -p build
    echo "building (build/demo) ..."
    cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DCAM_BENCH=OFF \
        >build/demo.configure.log 2>&1 || { cat build/demo.configure.log >&2; exit 1; }
    cmake --build build/demo -j "$(nproc)" --target devfinder stillcgi zozid devsearch \
        >build/demo.build.log 2>&1 || { tail -n 40 build/demo.build.log >&2; exit 1; }
    echo "programs in build/demo/bin"
    export CAM_BIN_DIR="$PWD/build/demo/bin"
fi

exec python3 scripts/demo.py "$@"
