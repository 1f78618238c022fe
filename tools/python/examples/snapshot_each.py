#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Fetches one JPEG from every camera found, over the web port each one reports.

    python3 snapshot_each.py --user admin --password 1234 [--out DIR]

The credentials travel in the query string (the CGI's only way); they are sent to
the cameras only, and never printed.
"""

import argparse
import os
import sys
import urllib.error
import urllib.parse
import urllib.request

import camdisco


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--user", required=True)
    ap.add_argument("--password", required=True)
    ap.add_argument("--out", default=".")
    ap.add_argument("--timeout", type=float, default=2.0)
    args = ap.parse_args()
    query = urllib.parse.urlencode({"user": args.user, "psw": args.password})
    failed = 0
    cameras = [c for c in camdisco.search(timeout=args.timeout) if c.snapshot_url]
    for cam in cameras:
        path = os.path.join(args.out, "%s.jpg" % cam.mac.replace(":", "-"))
        try:
            with urllib.request.urlopen(cam.snapshot_url + "?" + query, timeout=10) as rsp:
                data = rsp.read()
                kind = rsp.headers.get("Content-Type", "")
        except (urllib.error.URLError, OSError) as exc:
            print("%s: %s" % (cam.snapshot_url, getattr(exc, "reason", exc)), file=sys.stderr)
            failed += 1
            continue
        if kind != "image/jpeg" or not data.startswith(b"\xff\xd8"):
            print("%s: not a JPEG (%s)" % (cam.snapshot_url, kind), file=sys.stderr)
            failed += 1
            continue
        with open(path, "wb") as f:
            f.write(data)
        print("%s %s %d bytes -> %s" % (cam.ip, cam.mac, len(data), path))
    return 1 if failed or not cameras else 0


if __name__ == "__main__":
    sys.exit(main())
