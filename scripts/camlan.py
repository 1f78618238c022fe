#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Many simulated cameras on one switch, one search across them.

    python3 scripts/camlan.py N [--keep-seconds S]

brings up N cameras and an installer host in the namespace sandbox (the test
library's LAN of cameras, tests/lib/cameras.py), runs one search from the
installer host, prints the table and tears everything down. It takes the
programs from CAM_BIN_DIR, else from the first build that has them
(build/normal/bin, build/demo/bin, then any other build/*/bin). Needs root.
"""

import argparse
import os
import signal
import sys
import time

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "lib"))

from camsandbox import Sandbox  # noqa: E402
from cameras import NEEDED_PROGRAMS, CameraLan, find_bin_dir  # noqa: E402


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("count", type=int, help="number of cameras")
    ap.add_argument("--timeout", default="3", help="devsearch --timeout")
    ap.add_argument("--keep-seconds", type=float, default=0,
                    help="leave the LAN up this long after the search (0: tear down at once)")
    opts = ap.parse_args(argv)
    if opts.count < 1 or opts.count > 1000:
        ap.error("count must be 1-1000")
    bin_dir = os.environ.get("CAM_BIN_DIR")
    if bin_dir:
        missing = [p for p in NEEDED_PROGRAMS if not os.access(os.path.join(bin_dir, p), os.X_OK)]
        if missing:
            print("camlan: CAM_BIN_DIR=%s has no %s" % (bin_dir, ", ".join(missing)),
                  file=sys.stderr)
            return 1
    else:
        bin_dir, looked = find_bin_dir(SOURCE_DIR)
        if bin_dir is None:
            print("camlan: no build with %s found; looked in %s\n"
                  "camlan: build one first:  cmake -S . -B build/normal && "
                  "cmake --build build/normal -j2   (or run scripts/demo.sh)"
                  % (", ".join(NEEDED_PROGRAMS), ", ".join(looked)), file=sys.stderr)
            return 1
        os.environ["CAM_BIN_DIR"] = bin_dir
    if os.geteuid() != 0:
        print("camlan: needs root (network namespaces, bind mounts)", file=sys.stderr)
        return 1
    print("camlan: programs from %s" % os.path.relpath(bin_dir, SOURCE_DIR))
    with Sandbox() as sb:
        t0 = time.monotonic()
        lan = CameraLan(sb, opts.count)
        lan.start()
        print("camlan: %d cameras up in %.1f s" % (opts.count, time.monotonic() - t0))
        res = lan.devsearch("search", "--timeout", opts.timeout)
        sys.stdout.write(res.stdout)
        sys.stderr.write(res.stderr)
        if opts.keep_seconds > 0:
            keep = min(opts.keep_seconds, 3600)
            print("camlan: the LAN stays up for %.0f s; from another shell, as root:\n"
                  "  ip netns exec %s %s search\n"
                  "camlan: Ctrl-C (or the end of the time) removes everything"
                  % (keep, lan.installer.netns, sb.binary("devsearch")))
            sys.stdout.flush()
            time.sleep(keep)
        return res.returncode


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(1))
    try:
        sys.exit(main(sys.argv[1:]))
    except KeyboardInterrupt:  # the sandbox has cleaned up on the way out
        sys.exit(130)
