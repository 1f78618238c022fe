#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Gives one camera (named by its MAC) a new address and waits until a search finds it there.

    python3 readdress_camera.py MAC NEW-ADDRESS --user admin --password 1234 [--netmask M]
"""

import argparse
import sys

import camdisco


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("mac")
    ap.add_argument("address")
    ap.add_argument("--netmask")
    ap.add_argument("--user", required=True)
    ap.add_argument("--password", required=True)
    args = ap.parse_args()
    try:
        cam = camdisco.find(camdisco.search(mac=args.mac), mac=args.mac)
        res = camdisco.modify(cam, args.user, args.password, ip=args.address,
                              netmask=args.netmask, mode="static", wait=True)
    except camdisco.CamDiscoError as exc:   # not found, refused, not confirmed ...
        print("not moved: %s" % exc, file=sys.stderr)
        return 1
    print("%s moved from %s to %s; a search found it there after %d ms" %
          (cam.mac, cam.ip, args.address, res.confirm_ms or 0))
    return 0


if __name__ == "__main__":
    sys.exit(main())
