#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes a root directory with the target libraries a cross build for the camera
# needs (cgicc for 32-bit ARM), for CMAKE_FIND_ROOT_PATH:
#
#   scripts/cross-sysroot.sh build/arm/sysroot
#   cmake ... -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake \
#             -DCMAKE_FIND_ROOT_PATH="$PWD/build/arm/sysroot"
#
# The armhf packages are downloaded (apt-get download) and unpacked there with
# dpkg -x, never installed: libcgicc-dev:armhf cannot be installed beside the
# build machine's libcgicc-dev, and an installed armhf C library would be loaded
# by qemu-arm beside the cross toolchain's (forked children then crash). dpkg
# only learns that armhf packages exist (dpkg --add-architecture), so apt can
# fetch them. Does nothing when the root already holds the same packages.
# Run as root (the first time: it adds the architecture and updates the lists).
# A failed index update is tried again; when the lists it needs are there,
# a failure elsewhere (another mirror, another architecture) does not stop it.
set -euo pipefail

root=${1:?usage: scripts/cross-sysroot.sh ROOT_DIR}
arch=armhf
packages=(libcgicc-dev libcgicc3)
tries=3
pause=${CROSS_SYSROOT_RETRY_PAUSE:-10}   # seconds before the second try, twice that before the third
apt_opts=(-o DPkg::Lock::Timeout=600)

# have_lists: apt knows every package of the root for the architecture.
have_lists() {
    local pkg
    for pkg in "${packages[@]}"; do
        apt-cache show "$pkg:$arch" >/dev/null 2>&1 || return 1
    done
}

# retry WHAT COMMAND...: runs the command up to $tries times.
retry() {
    local what=$1 try
    shift
    for try in $(seq "$tries"); do
        "$@" && return 0
        if [ "$what" = "index update" ] && have_lists; then
            echo "cross-sysroot: the $what failed, but the $arch lists of ${packages[*]} are there; going on" >&2
            return 0
        fi
        if [ "$try" -lt "$tries" ]; then
            echo "cross-sysroot: the $what failed (try $try of $tries); again in $((pause * try)) s" >&2
            sleep $((pause * try))
        fi
    done
    echo "cross-sysroot: the $what failed $tries times" >&2
    return 1
}

if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    echo "dpkg: adding the $arch architecture (package lists only; nothing is installed)"
    dpkg --add-architecture "$arch"
fi
# The lists of the new architecture come with the next update.
if ! have_lists; then
    retry "index update" apt-get "${apt_opts[@]}" update -qq
fi

# Package versions decide whether the root is current.
wanted=()
for pkg in "${packages[@]}"; do
    version=$(apt-cache policy "$pkg:$arch" | awk '/Candidate:/ { print $2 }')
    if [ -z "$version" ] || [ "$version" = "(none)" ]; then
        echo "cross-sysroot: no package $pkg:$arch" >&2
        exit 1
    fi
    wanted+=("$pkg:$arch=$version")
done
stamp="$root/.packages"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "${wanted[*]}" ]; then
    exit 0
fi

debs=$(mktemp -d)
trap 'rm -rf "$debs"' EXIT
# apt downloads as its own unprivileged user
if id _apt >/dev/null 2>&1; then chown _apt "$debs"; fi
(cd "$debs" && retry "download" apt-get "${apt_opts[@]}" download -qq "${wanted[@]}")
rm -rf "$root"
mkdir -p "$root"
for deb in "$debs"/*.deb; do
    dpkg -x "$deb" "$root"
done
echo "${wanted[*]}" >"$stamp"
echo "cross-sysroot: $root holds ${wanted[*]}"
