#!/usr/bin/env python3
"""Discovery benchmark: the real devfinder in the device sandbox against a bare
responder doing only the transport, in the same run. Needs root and a build
with devfinder, zozid, dfload and dfbare:

    sudo python3 bench/devfinder/run_bench.py [BIN_DIR]

A camera host and a client host joined by one veth link. dfload on the client
keeps K searches outstanding (K = 1 and 32), bounded by count and seconds.
Prints replies/s, loss and latency p50/p99 for both responders and the ratio;
instructions per search under callgrind (when valgrind is installed), as the
difference of two runs of different length, once over thousands of searches (the
log budget then leaves most lines out, as under a flood) and once over a few dozen
(every line written, as at ordinary rates); and the daemon's private dirty
memory idle and after 100 000 searches. All traffic stays in the sandbox.
"""

import os
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SRC, "scripts"))
if len(sys.argv) > 1:
    os.environ["CAM_BIN_DIR"] = os.path.abspath(sys.argv[1])

from camsandbox import Sandbox  # noqa: E402

CAM_ADDR, CLI_ADDR, PORT = "10.1.0.1", "10.1.0.2", 9333
COUNTS = {1: 20000, 32: 100000}
SECONDS = 20
MEMORY_SEARCHES = 100000
CALLGRIND_SHORT, CALLGRIND_LONG = 500, 2500
# Few enough searches that the daemon's log budget (200 lines at once) writes
# every line: the cost of a search at ordinary rates. The long runs above leave
# most lines out, as under a flood.
LOGGED_SHORT, LOGGED_LONG = 8, 24


def parse(line):
    parts = line.split()
    return {parts[i]: float(parts[i + 1]) for i in range(0, len(parts) - 1, 2)}


def load(sb, cli, k, count, timeout_ms=200, seconds=SECONDS):
    res = cli.run([sb.binary("dfload"), CAM_ADDR, str(PORT), str(k), str(count),
                   str(timeout_ms), str(seconds)], timeout=seconds + 30)
    if res.returncode != 0:
        raise RuntimeError("dfload failed: " + res.stderr)
    return parse(res.stdout)


def private_dirty_kb(pid):
    with open("/proc/%d/smaps_rollup" % pid) as f:
        text = f.read()
    return sum(int(v) for v in re.findall(r"^Private_Dirty:\s+(\d+) kB", text, re.M)), \
        int(re.search(r"^Rss:\s+(\d+) kB", text, re.M).group(1))


def start_daemon(sb, cam, cli, argv, name):
    proc = cam.start(argv, name=name)
    for _ in range(100):
        if load(sb, cli, 1, 1, timeout_ms=100, seconds=2)["replies"] == 1:
            return proc
    raise RuntimeError("%s does not answer: %s" % (name, cam.errors(name)))


def callgrind_instructions(sb, cam, cli, searches, tag):
    out = os.path.join(cam.dir, "callgrind.%s" % tag)
    proc = start_daemon(sb, cam, cli, ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                                       sb.binary("devfinder")], "vg-" + tag)
    load(sb, cli, 1, searches, timeout_ms=2000, seconds=300)
    cam.stop(proc, timeout=20)
    with open(out) as f:
        for line in f:
            if line.startswith("totals:") or line.startswith("summary:"):
                return int(line.split()[1])
    raise RuntimeError("no totals in " + out)


def main():
    figures = {}
    with Sandbox() as sb:
        cam = sb.host("cam")
        cli = sb.host("cli")
        sb.link(cam, "eth0", CAM_ADDR + "/24", cli, "eth0", CLI_ADDR + "/24")
        zozid = cam.start(["./zozid", "--user", "admin:1234"], name="zozid")
        if not cam.wait_for(lambda: "zozid: ready" in cam.output("zozid"), 10):
            raise RuntimeError("stand-in not ready")

        # The daemon: memory idle, the load, memory after.
        daemon = start_daemon(sb, cam, cli, [sb.binary("devfinder")], "devfinder")
        time.sleep(0.5)
        figures["idle"] = private_dirty_kb(daemon.program_pid)
        for k in (1, 32):
            figures[("devfinder", k)] = load(sb, cli, k, COUNTS[k])
        done = sum(figures[("devfinder", k)]["replies"] for k in (1, 32))
        if done < MEMORY_SEARCHES:
            load(sb, cli, 32, int(MEMORY_SEARCHES - done), seconds=120)
            done = MEMORY_SEARCHES
        figures["after"] = private_dirty_kb(daemon.program_pid)
        figures["searches"] = done
        cam.stop(daemon)

        bare = cam.start([sb.binary("dfbare"), str(PORT), str(SECONDS * 4)], name="dfbare")
        cam.wait_for(lambda: "dfbare: ready" in cam.output("dfbare"), 5)
        for k in (1, 32):
            figures[("bare", k)] = load(sb, cli, k, COUNTS[k] * 4)
        cam.stop(bare)

        if shutil.which("valgrind"):
            short = callgrind_instructions(sb, cam, cli, CALLGRIND_SHORT, "short")
            longer = callgrind_instructions(sb, cam, cli, CALLGRIND_LONG, "long")
            figures["ipsearch"] = (longer - short) / float(CALLGRIND_LONG - CALLGRIND_SHORT)
            short = callgrind_instructions(sb, cam, cli, LOGGED_SHORT, "logged-short")
            longer = callgrind_instructions(sb, cam, cli, LOGGED_LONG, "logged-long")
            figures["ipsearch_logged"] = (longer - short) / float(LOGGED_LONG - LOGGED_SHORT)
        cam.stop(zozid)

    print("| K | responder | sent | replies | lost | replies/s | p50 us | p99 us |")
    print("|---|---|---|---|---|---|---|---|")
    for k in (1, 32):
        for who in ("bare", "devfinder"):
            f = figures[(who, k)]
            print("| %d | %s | %d | %d | %d | %.0f | %.1f | %.1f |" % (
                k, who, f["sent"], f["replies"], f["lost"], f["rate"], f["p50_us"], f["p99_us"]))
    for k in (1, 32):
        print("ratio devfinder/bare at K=%d: %.3f" % (
            k, figures[("devfinder", k)]["rate"] / figures[("bare", k)]["rate"]))
    print("private dirty: %d kB idle (rss %d kB), %d kB after %d searches (rss %d kB)" % (
        figures["idle"][0], figures["idle"][1], figures["after"][0], figures["searches"],
        figures["after"][1]))
    if "ipsearch" in figures:
        print("instructions per search (callgrind, %d-%d searches): %.0f" % (
            CALLGRIND_LONG, CALLGRIND_SHORT, figures["ipsearch"]))
        print("instructions per search, every log line written (%d-%d searches): %.0f" % (
            LOGGED_LONG, LOGGED_SHORT, figures["ipsearch_logged"]))
    print("machine: %s, %d cores" % (subprocess.run(["uname", "-srm"], stdout=subprocess.PIPE,
                                                      text=True).stdout.strip(), os.cpu_count()))


if __name__ == "__main__":
    main()
