#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Discovery benchmark: the real devfinder in the device sandbox against a bare
responder doing only the transport, in the same run. Needs root and a build
with devfinder, zozid, dfload and dfbare:

    sudo python3 bench/devfinder/run_bench.py [BIN_DIR]

A camera host and a client host joined by one veth link. dfload on the client
keeps K searches outstanding (K = 1 and 32), bounded by count and seconds.
Then, in interleaved rounds with both responders up, the same ratio again.
Prints replies/s, loss and latency p50/p99 for both responders and the ratio;
instructions per search under callgrind (when valgrind is installed), as the
difference of two runs of different length, once over thousands of searches (the
log budget then leaves most lines out, as under a flood) and once over a few dozen
(every line written, as at ordinary rates), with the share of the main parts of
a search; system calls per search under `strace -c` (when strace is installed),
the same two ways; and the daemon's private dirty memory idle and after 10^6
searches. All traffic stays in the sandbox.
"""

import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SRC, "tests", "lib"))
if len(sys.argv) > 1:
    os.environ["CAM_BIN_DIR"] = os.path.abspath(sys.argv[1])

from campair import link_pair  # noqa: E402
from cameras import start_standin  # noqa: E402
from camprocs import children  # noqa: E402
from camsandbox import Sandbox  # noqa: E402

CAM_ADDR, CLI_ADDR, PORT = "10.1.0.1", "10.1.0.2", 9333
COUNTS = {1: 20000, 32: 100000}
SECONDS = 20
MEMORY_SEARCHES = 1000000
CALLGRIND_SHORT, CALLGRIND_LONG = 500, 2500
# Few enough searches that the daemon's log budget (200 lines at once) writes
# every line: the cost of a search at ordinary rates. The long runs above leave
# most lines out, as under a flood.
LOGGED_SHORT, LOGGED_LONG = 8, 24
# Interleaved rounds: both responders up (the bare one on the next port), each
# K loaded for ROUND_SECONDS in turn, the order switched every round, so a
# machine whose load changes during the run weighs on both alike.
ROUNDS, ROUND_SECONDS, ROUND_COUNT = 6, 2, 1000000
# Parts of a search, by the functions whose inclusive cost they are, less the
# cost of the functions after them (the names of the builds before and after
# the kept sockets and the one read per request; a part's functions never call
# each other: the older build's NetInterface readers are tail jumps to its
# NetIntf* functions, which callgrind does not list apart). The settings part
# holds its own trace lines.
# The request's read of the settings file, made when a datagram's request
# opens (through the interface's thunk).
REQUEST_READ = ("NetInterface::RequestBegin(", "non-virtual thunk to NetInterface::RequestBegin(")
PARTS = (
    ("receive loop (SetBcastDevRsp excluded)", ("BcastServer::AcceptProcess(",),
     ("BcastServer::SetBcastDevRsp(", "BcastSearchRsp(") + REQUEST_READ),
    ("SetBcastDevRsp (with the request's read)",
     ("BcastServer::SetBcastDevRsp(", "BcastSearchRsp(") + REQUEST_READ, ()),
    ("  settings file: its read, GetNetworkState + GetDevInfo",
     ("NetIntfGetNetworkState(", "NetIntfGetDevInfo(", "NetIniRead(",
      "NetInterface::GetNetworkState(", "NetInterface::GetDevInfo("), ()),
    ("  address and netmask", ("GetIpAndNetMask(", "CommLiveQuery::IpAndNetMask("), ()),
    ("  gateway", ("GetGateWay(", "CommLiveQuery::GateWay("), ()),
    ("log lines of the loop (CommLogLine)", ("CommLogLine(",), ()),
    ("not-implemented line (IntfNotImplemented)", ("IntfNotImplemented(",), ()),
)


def parse(line):
    parts = line.split()
    return {parts[i]: float(parts[i + 1]) for i in range(0, len(parts) - 1, 2)}


def load(sb, cli, k, count, timeout_ms=200, seconds=SECONDS, port=PORT):
    res = cli.run([sb.binary("dfload"), CAM_ADDR, str(port), str(k), str(count),
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


def inclusive_costs(out):
    """Inclusive instruction counts of the PARTS functions in a callgrind file."""
    res = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", "--auto=no",
                          out], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    costs = {}
    for line in res.stdout.splitlines():
        # "1,234 (5.67%)  file:function(args) [object]": one line a function
        # (lines without the object repeat an inlined part of one)
        m = re.match(r"^\s*([\d,]+) \(.*?\)\s+\S*?:(\S.*) \[\S*/devfinder\]$", line)
        if not m:
            continue
        for _, funcs, minus in PARTS:
            for fn in funcs + minus:
                if m.group(2).startswith(fn):
                    costs[fn] = max(costs.get(fn, 0), int(m.group(1).replace(",", "")))
    return costs


def callgrind_instructions(sb, cam, cli, searches, tag):
    out = os.path.join(cam.dir, "callgrind.%s" % tag)
    proc = start_daemon(sb, cam, cli, ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                                       sb.binary("devfinder")], "vg-" + tag)
    load(sb, cli, 1, searches, timeout_ms=2000, seconds=300)
    cam.stop(proc, timeout=20)
    with open(out) as f:
        for line in f:
            if line.startswith("totals:") or line.startswith("summary:"):
                return int(line.split()[1]), inclusive_costs(out)
    raise RuntimeError("no totals in " + out)


def per_search_instructions(sb, cam, cli, short, longer):
    """Total and parts per search: the difference of two runs, start-up cancelled."""
    total_s, parts_s = callgrind_instructions(sb, cam, cli, short, "%d" % short)
    total_l, parts_l = callgrind_instructions(sb, cam, cli, longer, "%d" % longer)
    n = float(longer - short)
    parts = {}
    for name, funcs, minus in PARTS:
        diff = sum(parts_l.get(f, 0) - parts_s.get(f, 0) for f in funcs)
        diff -= sum(parts_l.get(f, 0) - parts_s.get(f, 0) for f in minus)
        parts[name] = diff / n
    return (total_l - total_s) / n, parts


def strace_calls(sb, cam, cli, searches, tag):
    """System calls of the daemon's threads over a run of searches, by name."""
    out = os.path.join(cam.dir, "strace.%s" % tag)
    proc = start_daemon(sb, cam, cli, ["strace", "-f", "-c", "-o", out, sb.binary("devfinder")],
                        "st-" + tag)
    load(sb, cli, 1, searches, timeout_ms=2000, seconds=300)
    # The daemon ends, then strace writes its summary and ends too (strace
    # itself, told to stop, would leave the daemon running untraced).
    for pid in children(proc.program_pid):
        os.kill(pid, signal.SIGTERM)
    proc.wait(timeout=20)
    cam.stop(proc, timeout=5)
    calls = {}
    with open(out) as f:
        for line in f:
            cols = line.split()
            # % time, seconds, usecs/call, calls, [errors,] syscall
            if len(cols) >= 5 and cols[3].isdigit() and cols[-1] != "total":
                calls[cols[-1]] = int(cols[3])
    return calls


def per_search_calls(sb, cam, cli, short, longer):
    calls_s = strace_calls(sb, cam, cli, short, "%d" % short)
    calls_l = strace_calls(sb, cam, cli, longer, "%d" % longer)
    n = float(longer - short)
    per = {name: (calls_l.get(name, 0) - calls_s.get(name, 0)) / n
           for name in set(calls_s) | set(calls_l)}
    # The main thread's one-second sleeps are not part of a search.
    per.pop("clock_nanosleep", None)
    per.pop("nanosleep", None)
    return {k: v for k, v in per.items() if abs(v) >= 0.005}


def main():
    figures = {}
    with Sandbox() as sb:
        cam, cli = link_pair(sb, CAM_ADDR, CLI_ADDR)
        zozid = start_standin(cam)

        # The daemon: memory idle, the load, memory after.
        daemon = start_daemon(sb, cam, cli, [sb.binary("devfinder")], "devfinder")
        time.sleep(0.5)
        figures["idle"] = private_dirty_kb(daemon.program_pid)
        for k in (1, 32):
            figures[("devfinder", k)] = load(sb, cli, k, COUNTS[k])
        done = sum(figures[("devfinder", k)]["replies"] for k in (1, 32))
        figures["mid"] = private_dirty_kb(daemon.program_pid)
        figures["mid_searches"] = done

        bare = cam.start([sb.binary("dfbare"), str(PORT + 1),
                          str(ROUNDS * 4 * (ROUND_SECONDS + 2) + 30)], name="dfbare-rounds")
        cam.wait_for(lambda: "dfbare: ready" in cam.output("dfbare-rounds"), 5)
        for r in range(ROUNDS):
            for k in (1, 32):
                rates = {}
                for who in (("bare", "devfinder") if r % 2 == 0 else ("devfinder", "bare")):
                    res = load(sb, cli, k, ROUND_COUNT, seconds=ROUND_SECONDS,
                               port=PORT + 1 if who == "bare" else PORT)
                    rates[who] = res["rate"]
                    if who == "devfinder":
                        done += int(res["replies"])
                figures.setdefault(("rounds", k), []).append(rates)
        cam.stop(bare)
        for _ in range(10):   # bounded: each round ends by count or by time
            if done >= MEMORY_SEARCHES:
                break
            done += int(load(sb, cli, 32, int(MEMORY_SEARCHES - done), seconds=120)["replies"])
        figures["after"] = private_dirty_kb(daemon.program_pid)
        figures["searches"] = done
        cam.stop(daemon)

        bare = cam.start([sb.binary("dfbare"), str(PORT), str(SECONDS * 4)], name="dfbare")
        cam.wait_for(lambda: "dfbare: ready" in cam.output("dfbare"), 5)
        for k in (1, 32):
            figures[("bare", k)] = load(sb, cli, k, COUNTS[k] * 4)
        cam.stop(bare)

        if shutil.which("valgrind"):
            figures["ipsearch"] = per_search_instructions(sb, cam, cli, CALLGRIND_SHORT,
                                                          CALLGRIND_LONG)
            figures["ipsearch_logged"] = per_search_instructions(sb, cam, cli, LOGGED_SHORT,
                                                                 LOGGED_LONG)
        if shutil.which("strace"):
            figures["calls"] = per_search_calls(sb, cam, cli, CALLGRIND_SHORT, CALLGRIND_LONG)
            figures["calls_logged"] = per_search_calls(sb, cam, cli, LOGGED_SHORT, LOGGED_LONG)
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
    for k in (1, 32):
        rounds = figures[("rounds", k)]
        ratios = sorted(r["devfinder"] / r["bare"] for r in rounds)
        print("interleaved, K=%d, %d rounds of %d s: devfinder/bare median %.3f (min %.3f, max %.3f),"
              " summed rates %.3f" % (
                  k, len(rounds), ROUND_SECONDS, statistics.median(ratios), ratios[0], ratios[-1],
                  sum(r["devfinder"] for r in rounds) / sum(r["bare"] for r in rounds)))
    print("private dirty: %d kB idle (rss %d kB), %d kB after %d searches (rss %d kB), "
          "%d kB after %d searches (rss %d kB)" % (
              figures["idle"][0], figures["idle"][1], figures["mid"][0], figures["mid_searches"],
              figures["mid"][1], figures["after"][0], figures["searches"], figures["after"][1]))
    if "ipsearch" in figures:
        print("instructions per search (callgrind, %d-%d searches): %.0f" % (
            CALLGRIND_LONG, CALLGRIND_SHORT, figures["ipsearch"][0]))
        print("instructions per search, every log line written (%d-%d searches): %.0f" % (
            LOGGED_LONG, LOGGED_SHORT, figures["ipsearch_logged"][0]))
        print("| part (inclusive instructions per search) | most lines left out | every line written |")
        print("|---|---|---|")
        for name, _, _ in PARTS:
            print("| %s | %.0f | %.0f |" % (name, figures["ipsearch"][1][name],
                                          figures["ipsearch_logged"][1][name]))
    if "calls" in figures:
        names = sorted(set(figures["calls"]) | set(figures["calls_logged"]),
                       key=lambda k: -figures["calls_logged"].get(k, 0))
        print("| system calls per search (strace -c) | most lines left out | every line written |")
        print("|---|---|---|")
        for name in names:
            print("| %s | %.2f | %.2f |" % (name, figures["calls"].get(name, 0),
                                           figures["calls_logged"].get(name, 0)))
        print("| total | %.2f | %.2f |" % (sum(figures["calls"].values()),
                                           sum(figures["calls_logged"].values())))
    print("machine: %s, %d cores" % (subprocess.run(["uname", "-srm"], stdout=subprocess.PIPE,
                                                      text=True).stdout.strip(), os.cpu_count()))


if __name__ == "__main__":
    main()
