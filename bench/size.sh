#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Flash and memory figures of the two camera programs:
#   bench/size.sh [--update]
# Builds devfinder and stillcgi as a camera build (build type Camera, no tests,
# no tools) four times: x86-64 and armhf (Debian's cross compiler, cgicc
# unpacked by scripts/cross-sysroot.sh), each linked dynamically and fully
# statically, into build/size-<arch>-<link>. Prints the stripped sizes against
# the budgets (armhf: devfinder <= 72 KB, stillcgi dynamic <= 96 KB, static
# reported, aim < 1 MB), what takes the space in the static CGI (from the
# linker's map), and devfinder's private dirty memory after start and after one
# search (x86-64, in the device sandbox; under qemu-arm the emulator's own
# memory would be counted). With --update it also writes the same into
# bench/README.md, section "Flash and memory". Exit status 1 when a budget is
# exceeded. The memory figures need root (network namespaces), as does the
# first making of the cross root (package lists); without root the sizes are
# measured from an existing cross root and the memory is left out.
set -euo pipefail
cd "$(dirname "$0")/.."

update=
case ${1:-} in
--update) update=--update ;;
'') ;;
*) echo "usage: bench/size.sh [--update]" >&2; exit 2 ;;
esac

JOBS=$(nproc)
scripts/cross-sysroot.sh build/size-sysroot >/dev/null

# build <arch> <link>
build() {
    local arch=$1 link=$2 dir="build/size-$1-$2"
    local args=(-DCMAKE_BUILD_TYPE=Camera -DBUILD_TESTING=OFF -DCAM_TOOLS=OFF)
    if [ "$arch" = armhf ]; then
        args+=(-DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
               -DCMAKE_FIND_ROOT_PATH="$PWD/build/size-sysroot")
    else
        args+=(-DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc)
    fi
    # The linker's map shows what each archive brings in.
    local ldflags="-Wl,-Map=$PWD/$dir/link.map"
    if [ "$link" = static ]; then
        args+=(-DCAM_STILLCGI_STATIC=ON)
        ldflags="$ldflags -static"
    else
        args+=(-DCAM_STILLCGI_STATIC=OFF)
    fi
    echo "building $dir" >&2
    mkdir -p "$dir"
    cmake -S . -B "$dir" "${args[@]}" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >"$dir.log" 2>&1 ||
        { cat "$dir.log" >&2; exit 1; }
    # One program at a time, linked afresh: the map is the last link's.
    for program in devfinder stillcgi; do
        rm -f "$dir/bin/$program" "$dir/link.map"
        cmake --build "$dir" -j "$JOBS" --target "$program" >>"$dir.log" 2>&1 ||
            { tail -n 40 "$dir.log" >&2; exit 1; }
        cp "$dir/link.map" "$dir/$program.map"
    done
}

for arch in x86_64 armhf; do
    for link in dynamic static; do
        build "$arch" "$link"
    done
done

exec python3 bench/size_report.py build $update
