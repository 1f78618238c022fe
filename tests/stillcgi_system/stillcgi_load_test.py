# SPDX-License-Identifier: MIT
"""The snapshot CGI under load through busybox httpd, against the stand-in at
its own pace and as fast as it can react, and while it dies and comes back.

50 clients for 12 s a run (STILLCGI_LOAD_CLIENTS, STILLCGI_LOAD_SECONDS
change that): a quarter read slowly (1 KB every 10 ms through a small
receive buffer, so their CGI waits on a full pipe while others go on), a few
leave in the middle of each transfer, the rest read at full speed. Every
reply is judged on its bytes, not on when it came:
  - with the stand-in answering throughout (once at its own pace, once with
    --fast), every client that stays gets a 200 with a whole JPEG: a 404 is a
    lost request and fails the run; afterwards both semaphores are free, no
    CGI is left and nothing is left in /dev/snap.
  - with the fast stand-in killed (-9) and started again twice during the
    run, no 200 is short or empty. The test records each kill window, from
    just before the kill until the new stand-in is ready; a request that
    overlapped one may end in the CGI's clean 404 (its command went to a dead
    stand-in) or 403 (the new stand-in publishes its user table afresh, and a
    CGI that looks in between finds none); any other request must get its
    image.
"""

import os
import signal
import socket
import threading
import time
import unittest

from campair import link_pair
from cameras import start_standin
from camsandbox import Sandbox
from webcgi import WebCgi

HERE = os.path.dirname(os.path.abspath(__file__))
PEEK = os.path.join(HERE, "ipcpeek.py")

CAM_ADDR = "10.1.0.1"
CLI_ADDR = "10.1.0.2"
HTTP_PORT = 8080
CLIENTS = int(os.environ.get("STILLCGI_LOAD_CLIENTS", "50"))
SECONDS = float(os.environ.get("STILLCGI_LOAD_SECONDS", "12"))
# Bigger than a pipe and the socket buffers together, so a slow reader holds
# its CGI in write() for the whole transfer.
JPEG_SIZE = 200000
SLOW_RCVBUF = 4096
REQUEST = b"GET /cgi-bin/stillcgi?user=admin&psw=1234 HTTP/1.0\r\nHost: cam\r\n\r\n"
WIRE_404 = (b"HTTP/1.1 404 Not Found\r\nContent-Length: 23\r\nConnection: close\r\n"
            b"Content-type: text/html\r\n\r\nHTTP/1.1 404 Not Found\n")
WIRE_403 = (b"HTTP/1.1 403 Forbidden\r\nContent-Length: 23\r\nConnection: close\r\n"
            b"Content-type: text/html\r\n\r\nHTTP/1.1 403 Forbidden\n")
PACES = {"own pace": (), "fast": ("--fast",)}
SOCKET_TIMEOUT = 60
MAX_RECVS = 100000


def kind_of(index):
    """A quarter slow, about one in eight leaving mid-transfer, the rest fast."""
    if index % 4 == 0:
        return "slow"
    if index % 8 == 1:
        return "leave"
    return "fast"


def judge(reply):
    """("image", size) for a 200 with a whole JPEG, else (what it was, reply head)."""
    head, sep, body = reply.partition(b"\r\n\r\n")
    if not sep:
        return ("cut", reply[:120])
    lines = head.split(b"\r\n")
    if lines[0] != b"HTTP/1.1 200 OK":
        return ("other", reply[:200])
    fields = dict(line.split(b": ", 1) for line in lines[1:] if b": " in line)
    length = int(fields.get(b"Content-Length", b"-1"))
    if len(body) == 0:
        return ("empty 200", head)
    if fields.get(b"Content-Type") != b"image/jpeg" or length != len(body) \
            or body[:2] != b"\xff\xd8" or body[-2:] != b"\xff\xd9":
        return ("broken 200", head + b" body %d" % len(body))
    return ("image", len(body))


class Load(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sb = Sandbox.for_test(cls)
        cls.cam, cls.cli = link_pair(cls.sb, CAM_ADDR, CLI_ADDR)
        web = WebCgi(cls.cam, CAM_ADDR)
        web.serve("busybox", HTTP_PORT, name="httpd")
        web.wait()

    def setUp(self):
        self.zozid = None
        self.starts = 0

    def tearDown(self):
        if self.zozid is not None:
            self.cam.stop(self.zozid)

    # -- helpers -----------------------------------------------------------------
    def start_zozid(self, *extra):
        self.starts += 1
        self.zozid = start_standin(self.cam, ["--verbose", "--jpeg-size", JPEG_SIZE] + list(extra),
                                   name="zozid%d" % self.starts)

    def sems(self, keyno):
        r = self.cam.run(["python3", PEEK, "sems", "/mivor/run.sh", str(keyno)], timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        return None if r.stdout.strip() == "none" else tuple(int(v) for v in r.stdout.split())

    def cgis(self):
        return [pid for pid, comm in self.cam.processes() if comm == "stillcgi"]

    def one_request(self, kind, serial):
        s = self.cli.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            if kind == "slow":
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, SLOW_RCVBUF)
            s.settimeout(SOCKET_TIMEOUT)
            s.connect((CAM_ADDR, HTTP_PORT))
            s.sendall(REQUEST)
            # a leaver goes after a different amount each time, in the head or the body
            leave_at = 1 + (serial * 7919) % JPEG_SIZE if kind == "leave" else None
            data = bytearray()
            for _ in range(MAX_RECVS):
                chunk = s.recv(1024 if kind == "slow" else 65536)
                if not chunk:
                    break
                data += chunk
                if leave_at is not None and len(data) >= leave_at:
                    return ("left", len(data))
                if kind == "slow":
                    time.sleep(0.01)
            return judge(bytes(data)) + (bytes(data[:300]),)
        except OSError as e:
            return ("socket error", str(e))
        finally:
            s.close()

    def run_clients(self, during=None):
        """CLIENTS clients for SECONDS; during(elapsed) is called from this
        thread meanwhile. Returns [(kind, start, end, outcome)]."""
        results = []
        lock = threading.Lock()
        start = time.monotonic()
        deadline = start + SECONDS

        def client(index):
            kind = kind_of(index)
            serial = index
            while time.monotonic() < deadline:
                t0 = time.monotonic()
                outcome = self.one_request(kind, serial)
                with lock:
                    results.append((kind, t0, time.monotonic(), outcome))
                serial += CLIENTS

        threads = [threading.Thread(target=client, args=(i,), daemon=True)
                   for i in range(CLIENTS)]
        for t in threads:
            t.start()
        if during is not None:
            during(start, deadline)
        for t in threads:
            t.join(SECONDS + 4 * SOCKET_TIMEOUT)
        self.assertFalse(any(t.is_alive() for t in threads), "a client never finished")
        return results

    def assert_quiet_afterwards(self):
        self.assertTrue(self.cam.wait_for(lambda: not self.cgis(), timeout=60),
                        "CGI processes left: %s" % self.cgis())
        # the stand-in may still be finishing a command whose client left
        self.assertTrue(self.cam.wait_for(lambda: self.sems(10) == (1, 1), timeout=30),
                        "semaphores %s" % (self.sems(10),))
        self.assertEqual(self.sems(11), (1, 1))

    @staticmethod
    def summary(results):
        counts = {}
        for kind, _, _, outcome in results:
            key = "%s:%s" % (kind, outcome[0])
            counts[key] = counts.get(key, 0) + 1
        return ", ".join("%s %d" % item for item in sorted(counts.items()))

    # -- the runs ------------------------------------------------------------------
    def test_every_client_that_stays_gets_its_image(self):
        for pace, extra in PACES.items():
            with self.subTest(pace=pace):
                self.start_zozid(*extra)
                results = self.run_clients()
                print("\nanswering throughout, %s: %s" % (pace, self.summary(results)))
                stayed = [r for r in results if r[0] != "leave"]
                lost = [r for r in stayed if r[3][0] != "image"]
                self.assertEqual(lost[:5], [], "%d of %d requests got no image"
                                 % (len(lost), len(stayed)))
                self.assertTrue(any(r[0] == "slow" for r in stayed))
                self.assertTrue(any(r[0] == "leave" and r[3][0] == "left" for r in results))
                self.assert_quiet_afterwards()
                self.assertFalse(os.path.exists(os.path.join(self.cam.snap, "snap.jpg")))
                self.assertEqual(self.cam.stop(self.zozid), 0)
                self.zozid = None
                self.assertEqual(os.listdir(self.cam.snap), [])

    def test_main_application_killed_and_restarted(self):
        self.start_zozid(*PACES["fast"])
        windows = []  # (just before the kill, the new stand-in ready)

        def kill_and_restart(start, deadline):
            for share in (0.3, 0.65):
                at = start + share * (deadline - start)
                while time.monotonic() < at:
                    time.sleep(min(0.05, max(0.0, at - time.monotonic())))
                t_kill = time.monotonic()
                self.cam.signal(self.zozid, signal.SIGKILL)
                self.zozid.wait(30)
                self.cam.stop(self.zozid)  # forget the dead one
                self.start_zozid(*PACES["fast"])
                windows.append((t_kill, time.monotonic()))

        results = self.run_clients(during=kill_and_restart)
        print("\nkilled twice: %s; kill windows %s" % (self.summary(results), ", ".join(
            "%.2f-%.2f s" % (a - results[0][1], b - results[0][1]) for a, b in windows)))
        self.assertEqual(len(windows), 2)
        stayed = [r for r in results if r[0] != "leave"]
        self.assertEqual([r for r in stayed if r[3][0] in ("empty 200", "broken 200")], [])

        def in_window(t0, t1):
            return any(t0 <= ready and t1 >= killed for killed, ready in windows)

        unclean = []
        for kind, t0, t1, outcome in stayed:
            if outcome[0] == "image":
                continue
            if outcome[-1] in (WIRE_404, WIRE_403) and in_window(t0, t1):
                continue
            unclean.append((kind, round(t0, 3), round(t1, 3), outcome))
        self.assertEqual(unclean[:5], [], "%d requests outside the kill windows %s got no "
                         "image, or not a clean refusal inside one" % (len(unclean), windows))
        self.assertTrue(any(r[3][0] == "image" for r in stayed))
        self.assert_quiet_afterwards()


if __name__ == "__main__":
    unittest.main()
