#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs, with apt-get, every Debian package the build, the tests, the demo and
# the benchmarks need, and only those that are missing. Run as root.
set -euo pipefail

PACKAGES=(
    build-essential cmake g++ clang libclang-rt-14-dev   # compilers, libFuzzer runtime
    clang-format-14                                     # the one formatter version (check-format.sh)
    libgtest-dev libgmock-dev                           # unit tests
    libcgicc-dev                                        # CGI library of stillcgi
    libjpeg62-turbo-dev                                 # the stand-in's JPEG test card
    busybox                                             # ps for the sandbox, httpd for the CGI
    iproute2 util-linux procps curl python3             # namespaces, veth, system tests
    python3-venv python3-pip python3-setuptools mypy    # the Python package: install, typing
    g++-arm-linux-gnueabihf qemu-user                   # the camera's 32-bit ARM build
    time                                                # peak memory of the CGI (system tests)
    lighttpd mini-httpd                                 # more CGI hosts of the system tests
    nodejs ffmpeg                                       # strict clients: Node's http, ffprobe
    strace                                              # fault injection into the daemon
    tshark                                              # the discovery dissector's test
    groff-base                                          # the man pages' test
    ninja-build systemd                                 # recipe replays: Yocto's generator, unit check
    chromium                                            # the installers' page in a real browser
)
# npm comes with some builds of nodejs (which then conflict with Debian's npm package).
command -v npm >/dev/null 2>&1 || PACKAGES+=(npm)

missing=()
for pkg in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$pkg")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # Packaged services (lighttpd, mini_httpd) must not start on install: the tests
    # start their own instances inside the sandbox, and a service left on port 80 of
    # the build machine is nobody's. Where the machine has no policy of its own, one
    # that forbids every start is in place for the install and removed afterwards.
    policy=/usr/sbin/policy-rc.d
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' >"$policy"
        chmod 755 "$policy"
        trap 'rm -f "$policy"' EXIT
    fi
    # tshark's package asks whether non-root users may capture; the tests read files only.
    echo "wireshark-common wireshark-common/install-setuid boolean false" |
        debconf-set-selections
    apt-get -o DPkg::Lock::Timeout=600 update -qq
    apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
fi

# playwright-core (the browser test's driver of Chromium) from npm, as its lock file
# pins it, into build/npm; never a browser download: the test drives Debian's chromium.
root=$(cd "$(dirname "$0")/.." && pwd)
npm_dir=$root/build/npm
lock=$root/tests/python_client/package-lock.json
if ! cmp -s "$lock" "$npm_dir/package-lock.json" ||
        [ ! -f "$npm_dir/node_modules/playwright-core/package.json" ]; then
    echo "installing playwright-core into $npm_dir"
    rm -rf "$npm_dir"
    mkdir -p "$npm_dir"
    cp "$root/tests/python_client/package.json" "$lock" "$npm_dir/"
    (cd "$npm_dir" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --ignore-scripts --no-audit \
        --no-fund --loglevel=error)
fi
