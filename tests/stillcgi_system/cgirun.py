# SPDX-License-Identifier: MIT
"""Runs the CGI many times the way a web server does, and sums up each reply;
run inside the camera host (the sandbox's direct road, without a server).

    python3 cgirun.py CGI < request.json  ->  one JSON list, one entry per job

request.json: {"concurrency": N, "jobs": [{"query": Q, "addr": A, "slow": S}, ...]}
N workers take the jobs in their order, released together. Each runs CGI with
QUERY_STRING=Q, REQUEST_METHOD=GET and REMOTE_ADDR=A; the output of a slow
job is read 1 KB every 10 ms, so its CGI waits in write() on a full pipe.
Per job: exit status, seconds from start to exit, the head (up to the empty
line), the body's length, and the snapshot mark of the stand-in's
--mark-images ([N, R]) when the body is a marked JPEG; standard error.
"""

import json
import re
import subprocess
import sys
import threading
import time

MARK = re.compile(rb"zozid snapshot (\d+) resolution (\d+)")
MAX_READS = 1000000


def mark_of(body):
    """[N, R] of a JPEG whose first segment is the stand-in's comment, else None."""
    if body[:4] != b"\xff\xd8\xff\xfe" or len(body) < 6:
        return None
    size = int.from_bytes(body[4:6], "big")
    match = MARK.fullmatch(body[6:4 + size])
    return [int(match.group(1)), int(match.group(2))] if match else None


def run_one(cgi, job):
    env = {"QUERY_STRING": job["query"], "REQUEST_METHOD": "GET", "GATEWAY_INTERFACE": "CGI/1.1",
           "REMOTE_ADDR": job.get("addr", "")}
    slow = job.get("slow", False)
    t0 = time.monotonic()
    proc = subprocess.Popen([cgi], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    data = bytearray()
    for _ in range(MAX_READS):
        chunk = proc.stdout.read1(1024 if slow else 65536)
        if not chunk:
            break
        data += chunk
        if slow:
            time.sleep(0.01)
    err = proc.stderr.read()
    rc = proc.wait()
    head, sep, body = bytes(data).partition(b"\r\n\r\n")
    return {"rc": rc, "seconds": round(time.monotonic() - t0, 3),
            "head": head.decode(errors="replace") if sep else None,
            "reply": bytes(data[:400]).decode("latin-1"), "body": len(body),
            "mark": mark_of(body), "stderr": err.decode(errors="replace")}


def main(argv):
    request = json.load(sys.stdin)
    jobs = request["jobs"]
    results = [None] * len(jobs)
    queue = iter(range(len(jobs)))
    lock = threading.Lock()
    go = threading.Event()

    def worker():
        go.wait()
        while True:
            with lock:  # jobs start in their order
                i = next(queue, None)
            if i is None:
                return
            try:
                results[i] = run_one(argv[1], jobs[i])
            except OSError as e:
                results[i] = {"rc": None, "error": str(e)}

    count = max(1, min(len(jobs), int(request.get("concurrency", len(jobs)))))
    threads = [threading.Thread(target=worker) for _ in range(count)]
    for t in threads:
        t.start()
    go.set()
    for t in threads:
        t.join()
    json.dump(results, sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
