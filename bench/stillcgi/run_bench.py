#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Snapshot benchmark: the CGI under busybox httpd against the stand-in,
compared in the same run with the same server sending the same file
statically, and with the least a CGI costs there: snapfloor, a static C
program that only sends that file behind the same head. Needs root (the
device sandbox) and a build with snapload and snapfloor:

    sudo python3 bench/stillcgi/run_bench.py [BIN_DIR] [--concurrency=1,8,32,100]
                                             [--before=OTHER_STILLCGI]

--before adds another build of the CGI (an earlier one, say) as a fourth
kind, measured in the same rounds, so before and after share the machine's
moments.

At concurrency 1 the stand-in runs at its own pace; at 8, 32 and 100 as fast
as it can react (--fast). Prints requests/s, median and p99 latency, the
ratios CGI/static and CGI/floor, the 404 replies among the broken ones, the
CGI's exec-to-exit time on its refusal road next to /bin/true, and its
binary size. All traffic stays inside the sandbox; every run is bounded in
requests and seconds.
"""

import os
import shutil
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SRC, "tests", "lib"))
ARGS = [a for a in sys.argv[1:] if not a.startswith("--")]
BEFORE = next((a.split("=", 1)[1] for a in sys.argv[1:] if a.startswith("--before=")), None)
if ARGS:
    os.environ["CAM_BIN_DIR"] = os.path.abspath(ARGS[0])

from campair import link_pair  # noqa: E402
from cameras import start_standin  # noqa: E402
from camsandbox import Sandbox  # noqa: E402
from webcgi import WebCgi  # noqa: E402

CAM_ADDR, CLI_ADDR, PORT = "10.1.0.1", "10.1.0.2", 8080
IMAGE_BYTES = 100 * 1024
REQUESTS = {1: 3000, 8: 6000, 32: 6000, 100: 6000}
for arg in sys.argv[1:]:
    if arg.startswith("--concurrency="):  # a subset, to compare builds quickly
        REQUESTS = {int(c): REQUESTS[int(c)] for c in arg.split("=", 1)[1].split(",")}
FAST_FROM = 8  # concurrency from which the stand-in runs with --fast
# Concurrency 1 in rounds: the three kinds one after another, ROUNDS times,
# ROUND_REQUESTS requests each, so a neighbour's load that comes and goes
# weighs on all three alike; the ratios are the medians of the rounds'.
ROUNDS = 20
ROUND_REQUESTS = 150
SECONDS = 15
EXEC_ROUNDS = 400

# Runs inside the camera host: spawn-to-reap time of a program, best of
# several rounds' medians so a busy neighbour does not decide the figure.
EXEC_TIMER = r"""
import os, subprocess, sys, time, statistics
argv = sys.argv[2:]
rounds = int(sys.argv[1])
env = {"QUERY_STRING": "user=nobody&psw=x", "REQUEST_METHOD": "GET"}
devnull = os.open(os.devnull, os.O_WRONLY)
times = []
for _ in range(rounds):
    t0 = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, env, file_actions=[(os.POSIX_SPAWN_DUP2, devnull, 1)])
    os.waitpid(pid, 0)
    times.append((time.perf_counter() - t0) * 1e6)
times.sort()
print("%.1f %.1f" % (statistics.median(times), times[int(len(times) * 0.99)]))
"""


def summed(runs):
    """The runs of one kind as one: counts added, rate over the time of all,
    latencies the median of the runs' (the rounds are alike in size)."""
    out = {key: sum(r[key] for r in runs) for key in ("requests", "good", "broken", "seconds")}
    out["s404"] = sum(r.get("s404", 0) for r in runs)
    out["rps"] = out["good"] / out["seconds"]
    for key in ("p50_ms", "p99_ms"):
        out[key] = statistics.median(r[key] for r in runs)
    return out


def parse(line):
    parts = line.split()
    return {parts[i]: float(parts[i + 1]) for i in range(0, len(parts) - 1, 2)}


def start_zozid(cam, image, fast):
    return start_standin(cam, ["--jpeg-size", IMAGE_BYTES, "--dump-image", image] +
                         (["--fast"] if fast else []), name="zozid-fast" if fast else "zozid")


def main():
    with Sandbox() as sb:
        cam, cli = link_pair(sb, CAM_ADDR, CLI_ADDR)
        stillcgi = sb.binary("stillcgi")
        snapload = sb.binary("snapload")
        image = os.path.join(cam.dir, "card.jpg")
        z = start_zozid(cam, image, fast=False)
        web = WebCgi(cam, CAM_ADDR)
        www = web.www
        web.install(sb.binary("snapfloor"))
        if BEFORE:
            web.install(BEFORE, "before")
        web.serve("busybox", PORT, name="httpd")
        web.wait()
        query = "/cgi-bin/stillcgi?user=admin&psw=1234"
        # one request makes the stand-in write the card; the static copy and
        # the floor's file are that file
        first = cli.run([snapload, CAM_ADDR, str(PORT), query, "1", "1", "5"], timeout=30)
        if parse(first.stdout).get("good") != 1 or not os.path.exists(image):
            sys.exit("first snapshot failed: %s %s" % (first.stdout, first.stderr))
        shutil.copy(image, os.path.join(www, "static.jpg"))
        shutil.copy(image, os.path.join(www, "cgi-bin", "snapfloor.jpg"))
        size = os.path.getsize(image)

        kinds = (("static", "/static.jpg"), ("floor", "/cgi-bin/snapfloor"), ("cgi", query))
        if BEFORE:
            kinds += (("before", query.replace("/stillcgi?", "/before?")),)

        def load(path, conc, count):
            r = cli.run([snapload, CAM_ADDR, str(PORT), path, str(conc), str(count),
                         str(SECONDS)], timeout=SECONDS + 120)
            return parse(r.stdout)

        rows = []
        rounds = []  # concurrency 1: {kind: rps} per round
        for conc in sorted(REQUESTS):
            if conc >= FAST_FROM and not z.cam_name.endswith("fast"):
                cam.stop(z)
                z = start_zozid(cam, image, fast=True)
            if conc == 1:
                runs = {kind: [] for kind, _ in kinds}
                for _ in range(ROUNDS):
                    for kind, path in kinds:
                        runs[kind].append(load(path, 1, ROUND_REQUESTS))
                    rounds.append({kind: runs[kind][-1]["rps"] for kind, _ in kinds})
                res = {kind: summed(runs[kind]) for kind, _ in kinds}
            else:
                res = {kind: load(path, conc, REQUESTS[conc]) for kind, path in kinds}
            rows.append((conc, res))

        timer = os.path.join(cam.dir, "exectimer.py")
        with open(timer, "w") as f:
            f.write(EXEC_TIMER)
        exec_true = cam.run(["python3", timer, str(EXEC_ROUNDS), "/bin/true"], timeout=120)
        exec_cgi = cam.run(["python3", timer, str(EXEC_ROUNDS), stillcgi], timeout=120)
        cam.stop(z)

    print("image: %d bytes (JPEG test card, 1280x720)" % size)
    print("| concurrency | stand-in | server | requests | broken | of them 404 | req/s | p50 ms "
          "| p99 ms |")
    print("|---|---|---|---|---|---|---|---|---|")
    for conc, res in rows:
        for kind in ("static", "floor", "cgi", "before"):
            if kind not in res:
                continue
            m = res[kind]
            print("| %d | %s | %s | %d | %d | %d | %.0f | %.3f | %.3f |" % (
                conc, "fast" if conc >= FAST_FROM else "own pace", kind, m["requests"],
                m["broken"], m.get("s404", 0), m["rps"], m["p50_ms"], m["p99_ms"]))
    for kind in ("cgi", "before") if rounds else ():
        if kind not in rounds[0]:
            continue
        floor = sorted(r[kind] / r["floor"] for r in rounds)
        static = sorted(r[kind] / r["static"] for r in rounds)
        print("concurrency 1, %d rounds, %s: /floor median %.2f (%.2f to %.2f), /static "
              "median %.2f (%.2f to %.2f)" % (len(rounds), kind, statistics.median(floor),
                                               floor[0], floor[-1], statistics.median(static),
                                               static[0], static[-1]))
    for conc, res in rows:
        print("concurrency %d: CGI/static = %.2f, CGI/floor = %.2f, 404 %d" % (
            conc, res["cgi"]["rps"] / res["static"]["rps"],
            res["cgi"]["rps"] / res["floor"]["rps"], res["cgi"].get("s404", 0)))
    t_med, t_p99 = (float(v) for v in exec_true.stdout.split())
    c_med, c_p99 = (float(v) for v in exec_cgi.stdout.split())
    print("exec-to-exit, median (p99) us: /bin/true %.0f (%.0f), stillcgi refusal %.0f (%.0f),"
          " ratio %.2f" % (t_med, t_p99, c_med, c_p99, c_med / t_med))
    print("stillcgi binary: %d bytes" % os.path.getsize(stillcgi))


if __name__ == "__main__":
    main()
