#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""How one search fares on a LAN of N simulated cameras (default 200).

Two measurements in one run, on one bridge with an installer host:
  1. arrival: one bare search datagram (a Python socket, no retries) and the arrival
     time of each camera's first reply: first, median, 99th percentile, last, lost;
  2. devsearch itself: `devsearch search --json` with retries 0 and 2 at several
     timeouts: cameras found (lost = N - found) and the command's wall time.
Repeated ROUNDS times; prints one line per measurement. Needs root and the built
programs (CAM_BIN_DIR, else build/normal/bin). Not a test: nothing here asserts speed.

    sudo CAM_BIN_DIR=build/normal/bin python3 bench/lan/lan_bench.py [--cameras 200]
"""

import argparse
import os
import select
import signal
import socket
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "lib"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "python"))

import camdisco  # noqa: E402
from cameras import CameraLan, parse_json_lines  # noqa: E402
from camsandbox import Sandbox  # noqa: E402

SO_RCVBUFFORCE = 33


def bare_search(sock, seq, wait_s):
    """One search; returns {mac: seconds after sending} for replies with our Seq."""
    req = camdisco.encode_search(seq)
    t0 = time.monotonic()
    sock.sendto(req, ("255.255.255.255", 9333))
    seen = {}
    deadline = t0 + wait_s
    for _ in range(100000):
        left = deadline - time.monotonic()
        if left <= 0:
            break
        ready, _, _ = select.select([sock], [], [], left)
        if not ready:
            break
        data = sock.recv(2048)
        now = time.monotonic()
        try:
            reply = camdisco.SearchReply.unpack(data)
        except camdisco.MalformedDatagram:
            continue
        if reply.header.seq != seq:
            continue
        seen.setdefault(reply.mac, now - t0)
    return seen


def pct(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100.0 * (len(values) - 1))))]


def main():
    ap = argparse.ArgumentParser(description="search on a LAN of simulated cameras")
    ap.add_argument("--cameras", type=int, default=200)
    ap.add_argument("--rounds", type=int, default=3)
    opts = ap.parse_args()
    if os.geteuid() != 0:
        print("lan_bench: needs root", file=sys.stderr)
        return 1
    n = opts.cameras
    with Sandbox() as sb:
        t0 = time.monotonic()
        lan = CameraLan(sb, n)
        t1 = time.monotonic()
        lan.start(timeout=max(120, n))
        t2 = time.monotonic()
        print("lan_bench: %d cameras up in %.1f s (hosts and links %.1f s, programs %.1f s)"
              % (n, t2 - t0, t1 - t0, t2 - t1))

        sock = lan.installer.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 4 * 1024 * 1024)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, b"eth0")
        sock.bind(("0.0.0.0", 0))
        firsts, medians, p99s, lasts, losts = [], [], [], [], []
        for r in range(opts.rounds):
            seen = bare_search(sock, 0xBE000000 + r, 3.0)
            times = list(seen.values())
            losts.append(n - len(seen))
            if times:
                firsts.append(min(times))
                medians.append(statistics.median(times))
                p99s.append(pct(times, 99))
                lasts.append(max(times))
            time.sleep(0.5)
        sock.close()
        ms = lambda v: "%.1f" % (1000 * statistics.median(v)) if v else "-"  # noqa: E731
        print("arrival (one datagram, no retry, median of %d rounds): first %s ms, median %s ms,"
              " p99 %s ms, last %s ms; lost per round %s" %
              (opts.rounds, ms(firsts), ms(medians), ms(p99s), ms(lasts), losts))

        for retries in ("0", "2"):
            for timeout in ("0.2", "0.5", "1", "2"):
                found, walls = [], []
                for _ in range(opts.rounds):
                    t1 = time.monotonic()
                    res = lan.devsearch("search", "--json", "--timeout", timeout, "--retries",
                                        retries)
                    walls.append(time.monotonic() - t1)
                    found.append(len(parse_json_lines(res.stdout)))
                print("devsearch --retries %s --timeout %-3s: found %s of %d, lost %s, wall "
                      "%.2f s" % (retries, timeout, found, n, [n - f for f in found],
                                  statistics.median(walls)))
        t3 = time.monotonic()
    print("lan_bench: torn down in %.1f s" % (time.monotonic() - t3))
    return 0


if __name__ == "__main__":
    # a SIGTERM (timeout, Ctrl-C from a wrapper) still tears the sandbox down
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(1))
    sys.exit(main())
