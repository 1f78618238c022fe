#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Lists the cameras on every link: address, MAC, mode and the URL of each one's web page.

    python3 find_cameras.py [--timeout SECONDS] [--expect N]
"""

import argparse
import sys

import camdisco


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--timeout", type=float, default=2.0)
    ap.add_argument("--expect", type=int, help="stop as soon as this many answered")
    args = ap.parse_args()
    cameras = camdisco.search(timeout=args.timeout, expect=args.expect)
    for cam in cameras:
        print("%-15s %-17s %-6s %s" % (cam.ip, cam.mac, cam.mode, cam.url))
    print("%d camera(s) found" % len(cameras), file=sys.stderr)
    return 0 if cameras else 1


if __name__ == "__main__":
    sys.exit(main())
