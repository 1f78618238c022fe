"""The snapshot CGI, run for real against the stand-in main application.

Every test runs inside the device sandbox: a camera host (own network, mount,
IPC and PID namespaces, /mivor and /dev/snap bound to temporary directories)
and a client host joined to it by a veth link. The CGI runs both directly with
a CGI environment and under busybox httpd; requests over the network come from
sockets made inside the client host, so the bytes on the wire are checked as
they are. Expected bytes and block offsets are written out here, not taken
from the project's headers.
"""

import os
import shutil
import signal
import socket
import struct
import subprocess
import threading
import time
import unittest

from camsandbox import Sandbox

HERE = os.path.dirname(os.path.abspath(__file__))
PEEK = os.path.join(HERE, "ipcpeek.py")

CAM_ADDR = "10.1.0.1"
CLI_ADDR = "10.1.0.2"
HTTP_PORT = 8080

BASE_BLOCK = 4248
OTHER_BLOCK = 4312

CGI_HEADER = b"Content-type: text/html\r\n\r\n"
REPLY_403 = b"Status: 403 Forbidden\r\n" + CGI_HEADER + b"HTTP/1.1 403 Forbidden\n"
REPLY_400 = b"Status: 400 Bad Request\r\n" + CGI_HEADER + b"Unsupported Resolution\n"
REPLY_404 = b"Status: 404 Not Found\r\n" + CGI_HEADER + b"HTTP/1.1 404 Not Found\n"
REPLY_EMPTY = b"Status: 404 Not Found\r\n" + CGI_HEADER + b"HTTP/1.1 404 File Not Found\n"
REPLY_SNAP_OK = CGI_HEADER + b"snap ok\n"
REPLY_SNAP_FAIL = CGI_HEADER + b"snap fail\n"

# busybox httpd turns a first-line "Status: " into its own status line.
WIRE_403 = b"HTTP/1.1 403 Forbidden\r\n" + CGI_HEADER + b"HTTP/1.1 403 Forbidden\n"
WIRE_400 = b"HTTP/1.1 400 Bad Request\r\n" + CGI_HEADER + b"Unsupported Resolution\n"
WIRE_404 = b"HTTP/1.1 404 Not Found\r\n" + CGI_HEADER + b"HTTP/1.1 404 Not Found\n"

GOOD = "user=admin&psw=1234"
EXIT_FAIL = 255  # cgiMain's -1 as an exit status


def image_head(length):
    return (b"HTTP/1.1 200 OK\nAccept-Ranges: bytes\nContent-Length: %d\n"
            b"Connection: close\nContent-Type: image/jpeg\n\n" % length)


class CgiSandbox(unittest.TestCase):
    """One sandbox for the whole class; each test starts its own stand-in."""

    @classmethod
    def setUpClass(cls):
        cls.sb = Sandbox()
        try:
            cls.cam = cls.sb.host("cam")
            cls.cli = cls.sb.host("cli")
            cls.sb.link(cls.cam, "eth0", CAM_ADDR + "/24", cls.cli, "eth0", CLI_ADDR + "/24")
            cls.stillcgi = cls.sb.binary("stillcgi")
            cls.www = os.path.join(cls.cam.dir, "www")
            os.makedirs(os.path.join(cls.www, "cgi-bin"))
            shutil.copy(cls.stillcgi, os.path.join(cls.www, "cgi-bin", "stillcgi"))
            cls.httpd = cls.cam.start(["busybox", "httpd", "-f", "-p", "%s:%d" % (CAM_ADDR,
                                       HTTP_PORT), "-h", cls.www], name="httpd")
            if not cls.cam.wait_for(lambda: cls._port_open(), timeout=5):
                raise RuntimeError("busybox httpd did not start: " + cls.cam.errors("httpd"))
        except Exception:
            cls.sb.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.sb.close()

    @classmethod
    def _port_open(cls):
        s = cls.cli.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.settimeout(0.5)
        try:
            s.connect((CAM_ADDR, HTTP_PORT))
            return True
        except OSError:
            return False
        finally:
            s.close()

    def setUp(self):
        self.zozid = None
        self.dump_posted = os.path.join(self.cam.dir, "posted.bin")
        self.dump_image = os.path.join(self.cam.dir, "image.jpg")
        for path in (self.dump_posted, self.dump_image, self.snap_path()):
            if os.path.exists(path):
                os.remove(path)

    def tearDown(self):
        if self.zozid is not None:
            self.stop_zozid()

    # -- helpers -----------------------------------------------------------------
    def snap_path(self):
        return os.path.join(self.cam.snap, "snap.jpg")

    def start_zozid(self, *extra, users=("admin:1234",)):
        argv = ["./zozid", "--verbose", "--dump-posted", self.dump_posted,
                "--dump-image", self.dump_image]
        for user in users:
            argv += ["--user", user]
        argv += list(extra)
        self.zozid = self.cam.start(argv, name="zozid")
        ok = self.cam.wait_for(lambda: "zozid: ready\n" in self.cam.output("zozid")
                               or self.zozid.poll() is not None, timeout=5)
        self.assertTrue(ok and self.zozid.poll() is None,
                        "stand-in did not start: " + self.cam.errors("zozid"))

    def stop_zozid(self):
        rc = self.cam.stop(self.zozid)
        self.zozid = None
        self.assertEqual(rc, 0)
        # everything the stand-in made is gone again
        r = self.cam.run(["python3", PEEK, "count"], timeout=10)
        self.assertEqual(r.stdout, "0 0\n", r.stderr)

    def cgi(self, query, timeout=20):
        env = {"QUERY_STRING": query, "REQUEST_METHOD": "GET", "GATEWAY_INTERFACE": "CGI/1.1",
               "SERVER_PROTOCOL": "HTTP/1.1", "SCRIPT_NAME": "/cgi-bin/stillcgi"}
        return self.cam.run_bytes([self.stillcgi], env=env, timeout=timeout)

    def http(self, query, timeout=20):
        """One GET through busybox httpd from the client host: the raw reply."""
        s = self.cli.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.settimeout(timeout)
        try:
            s.connect((CAM_ADDR, HTTP_PORT))
            s.sendall(b"GET /cgi-bin/stillcgi?%s HTTP/1.0\r\nHost: cam\r\n\r\n" % query.encode())
            chunks = []
            for _ in range(10000):
                data = s.recv(65536)
                if not data:
                    break
                chunks.append(data)
            return b"".join(chunks)
        finally:
            s.close()

    def sems(self, keyno):
        r = self.cam.run(["python3", PEEK, "sems", "/mivor/run.sh", str(keyno)], timeout=10)
        self.assertEqual(r.returncode, 0, r.stderr)
        return None if r.stdout.strip() == "none" else tuple(int(v) for v in r.stdout.split())

    def segment(self, path, keyno, size):
        out = os.path.join(self.cam.dir, "peek.bin")
        r = self.cam.run(["python3", PEEK, "seg", path, str(keyno), str(size), out], timeout=10)
        self.assertEqual(r.returncode, 0, r.stderr)
        if r.stdout.strip() == "none":
            return None
        with open(out, "rb") as f:
            return f.read()

    def published_base(self):
        seg = self.segment("/mivor/check", 10, BASE_BLOCK + 4)
        self.assertIsNotNone(seg)
        return seg[:BASE_BLOCK]

    def assert_image_reply(self, reply):
        with open(self.dump_image, "rb") as f:
            image = f.read()
        self.assertEqual(image[:2], b"\xff\xd8")
        self.assertEqual(image[-2:], b"\xff\xd9")
        self.assertEqual(reply, image_head(len(image)) + image)
        self.assertFalse(os.path.exists(self.snap_path()), "snapshot not removed")

    def assert_only_changed(self, before, after, changes):
        self.assertEqual(len(after), BASE_BLOCK)
        expect = bytearray(before)
        for off, val in changes.items():
            expect[off] = val
        diff = [i for i in range(BASE_BLOCK) if expect[i] != after[i]]
        self.assertEqual(diff, [], "bytes changed that should not have")


class StandIn(CgiSandbox):
    def test_published_objects(self):
        self.start_zozid("--resolution", "6", "--caps", "0x1234",
                         users=("admin:1234", "guest:pw:3", "sixteencharname:sixteencharpass1"))
        self.assertEqual(self.sems(10), (1, 1))
        self.assertEqual(self.sems(11), (1, 1))
        for path in ("/mivor/check", "/mivor/zozid"):
            self.assertEqual(len(self.segment(path, 10, BASE_BLOCK + 4)), BASE_BLOCK + 4)
            self.assertEqual(len(self.segment(path, 11, OTHER_BLOCK + 4)), OTHER_BLOCK + 4)
        base = self.published_base()
        self.assertEqual(base[1404:1407], b"\x06\x34\x12")
        other = self.segment("/mivor/check", 11, OTHER_BLOCK)
        entries = [other[2080 + 36 * i:2080 + 36 * (i + 1)] for i in range(30)]
        self.assertEqual(entries[0], b"\x01\x01\x00\x00" + b"admin".ljust(16, b"\0")
                         + b"1234".ljust(16, b"\0"))
        self.assertEqual(entries[1], b"\x01\x03\x00\x00" + b"guest".ljust(16, b"\0")
                         + b"pw".ljust(16, b"\0"))
        # full fields carry no terminator
        self.assertEqual(entries[2][4:36], b"sixteencharname" + b"\0" + b"sixteencharpass1")
        self.assertEqual(entries[3:], [bytes(36)] * 27)
        with open(os.path.join(self.cam.mivor, "network.ini")) as f:
            self.assertEqual(f.read().splitlines()[0], "dhcp=0")

    def test_reload_and_key_files(self):
        self.start_zozid()
        for name in ("check", "zozid", "run.sh"):
            self.assertTrue(os.path.exists(os.path.join(self.cam.mivor, name)))
        self.cam.signal(self.zozid, signal.SIGUSR1)
        self.assertTrue(self.cam.wait_for(
            lambda: "zozid: settings reloaded 1\n" in self.cam.output("zozid"), timeout=5))
        self.stop_zozid()
        for name in ("check", "zozid", "run.sh"):
            self.assertFalse(os.path.exists(os.path.join(self.cam.mivor, name)))


    def test_reload_moves_the_interface(self):
        self.start_zozid("--iface", "eth0")
        with open(os.path.join(self.cam.mivor, "network.ini"), "w") as f:
            f.write("dhcp=0\nipaddr=10.1.0.7\nnetmask=255.255.255.0\ngateway=10.1.0.2\n"
                    "macaddr=00:11:22:33:44:55\nnettype=0\nipv6addr=\nipv6prefixlength=0\n"
                    "ipv6gateway=\n")
        try:
            self.cam.signal(self.zozid, signal.SIGUSR1)
            self.assertTrue(self.cam.wait_for(
                lambda: "zozid: settings reloaded 1\n" in self.cam.output("zozid"), timeout=5))
            # the stand-in moves the interface a moment after the reload
            self.assertTrue(self.cam.wait_for(
                lambda: "inet 10.1.0.7/24" in self.cam.ip("-4", "addr", "show", "dev", "eth0"),
                timeout=5))
            addrs = self.cam.ip("-4", "addr", "show", "dev", "eth0")
            self.assertNotIn("10.1.0.1/", addrs)
            self.assertIn("default via 10.1.0.2", self.cam.ip("route"))
        finally:
            # put the camera back where the other tests expect it
            self.cam.ip("addr", "flush", "dev", "eth0")
            self.cam.ip("addr", "add", CAM_ADDR + "/24", "dev", "eth0")
            os.remove(os.path.join(self.cam.mivor, "network.ini"))


class ImageRoad(CgiSandbox):
    def test_image_direct(self):
        self.start_zozid()
        r = self.cgi(GOOD)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, b"")
        self.assert_image_reply(r.stdout)

    def test_image_through_httpd(self):
        self.start_zozid("--jpeg-size", "100000")
        reply = self.http(GOOD)
        self.assert_image_reply(reply)
        self.assertEqual(os.path.getsize(self.dump_image), 100000)

    def test_image_with_curl(self):
        self.start_zozid()
        r = self.cli.run(["curl", "-s", "-o", "body.jpg", "-w", "%{http_code} %{content_type}",
                          "http://%s:%d/cgi-bin/stillcgi?%s" % (CAM_ADDR, HTTP_PORT, GOOD)],
                         timeout=20)
        self.assertEqual(r.stdout, "200 image/jpeg")
        with open(os.path.join(self.cli.dir, "body.jpg"), "rb") as f, \
                open(self.dump_image, "rb") as g:
            self.assertEqual(f.read(), g.read())

    def test_back_to_back_requests_get_fresh_files(self):
        # the next request may arrive before the previous CGI removed its file
        self.start_zozid()
        for i in range(5):
            with self.subTest(i=i):
                self.assert_image_reply(self.http(GOOD))
        self.assertEqual(self.cam.output("zozid").count("answered"), 5)

    def test_resolution_stored_nothing_else_changed(self):
        self.start_zozid("--fill-pattern", "--resolution", "6", "--caps", "0x0020")
        before = self.published_base()
        cases = [("", 6), ("&resolution=-1", 6), ("&resolution=abc", 6),
                 ("&resolution=5", 5), ("&resolution=3", 3), ("&resolution=0", 0)]
        for suffix, stored in cases:
            with self.subTest(query=suffix):
                os.path.exists(self.dump_posted) and os.remove(self.dump_posted)
                r = self.cgi(GOOD + suffix)
                self.assertEqual(r.returncode, 0)
                with open(self.dump_posted, "rb") as f:
                    self.assert_only_changed(before, f.read(), {2933: stored})

    def test_refusals(self):
        self.start_zozid("--caps", "0x0020", users=("admin:wrong", "admin:1234", "x:y"))
        cases = [
            ("", REPLY_403, WIRE_403),
            ("user=admin&psw=12345", REPLY_403, WIRE_403),
            ("USER=admin&PSW=1234&resolution=6", REPLY_400, WIRE_400),  # bit 6 clear
            (GOOD + "&resolution=16", REPLY_400, WIRE_400),
            ("username=a&user=admin&psw=1234", REPLY_403, WIRE_403),
            ("user=" + "a" * 300 + "&psw=1234", REPLY_403, WIRE_403),
        ]
        for query, direct, wire in cases:
            with self.subTest(query=query[:40]):
                r = self.cgi(query)
                self.assertEqual(r.stdout, direct)
                self.assertEqual(r.returncode, EXIT_FAIL)
                self.assertEqual(self.http(query), wire)
        # a refusal posts nothing
        self.assertFalse(os.path.exists(self.dump_posted))
        self.assertNotIn("waiter", self.cam.output("zozid"))

    def test_refusal_status_with_curl(self):
        self.start_zozid()
        r = self.cli.run(["curl", "-s", "-o", "body.txt", "-w", "%{http_code}",
                          "http://%s:%d/cgi-bin/stillcgi?user=admin&psw=bad" % (CAM_ADDR,
                                                                             HTTP_PORT)],
                         timeout=20)
        self.assertEqual(r.stdout, "403")
        with open(os.path.join(self.cli.dir, "body.txt"), "rb") as f:
            self.assertEqual(f.read(), b"HTTP/1.1 403 Forbidden\n")

    def test_no_file_within_the_wait(self):
        self.start_zozid("--file", "none")
        r = self.cgi(GOOD)
        self.assertEqual(r.stdout, REPLY_404)
        self.assertEqual(r.returncode, EXIT_FAIL)
        self.assertEqual(self.http(GOOD), WIRE_404)

    def test_main_application_too_slow(self):
        # the answer would come after the CGI's 500 polls: it goes on to the
        # file wait, and the stand-in drops work for a waiter that left
        self.start_zozid("--delay-ms", "300")
        r = self.cgi(GOOD)
        self.assertEqual(r.stdout, REPLY_404)
        self.assertEqual(r.returncode, EXIT_FAIL)
        self.assertNotIn("answered", self.cam.output("zozid"))

    def test_empty_file(self):
        self.start_zozid("--file", "empty")
        r = self.cgi(GOOD)
        self.assertEqual(r.stdout, REPLY_EMPTY)
        self.assertEqual(r.returncode, 0)
        self.assertFalse(os.path.exists(self.snap_path()))

    def test_no_shared_memory(self):
        # no stand-in at all: no user table, so every request is refused
        self.assertIsNone(self.sems(10))
        with open(self.snap_path(), "wb") as f:
            f.write(b"\xff\xd8stale\xff\xd9")
        r = self.cgi(GOOD)
        self.assertEqual(r.stdout, REPLY_403)
        self.assertEqual(r.returncode, EXIT_FAIL)
        self.assertEqual(self.http(GOOD), WIRE_403)
        os.remove(self.snap_path())


class CaptureRoad(CgiSandbox):
    def test_answers(self):
        cases = [("0x200", REPLY_SNAP_OK), ("0x600", REPLY_SNAP_OK),
                 ("0x100", REPLY_SNAP_FAIL), ("none", REPLY_SNAP_OK)]  # none: time-out
        for answer, reply in cases:
            with self.subTest(answer=answer):
                self.start_zozid("--answer", answer)
                r = self.cgi(GOOD + "&mode=1")
                self.assertEqual(r.stdout, reply)
                self.assertEqual(r.returncode, 0)
                self.assertEqual(r.stderr, b"")
                self.assertFalse(os.path.exists(self.snap_path()))
                self.assertEqual(self.sems(10), (1, 1))
                self.stop_zozid()

    def test_reason_and_resolution_stored(self):
        self.start_zozid("--fill-pattern", "--resolution", "2", "--caps", "0x0010")
        before = self.published_base()
        cases = [("&mode=1&reason=7&resolution=4", {2933: 4, 2936: 7}),
                 ("&mode=1&reason=-3", {2933: 2, 2936: 0}),
                 ("&mode=1", {2933: 2, 2936: 0}),
                 ("&mode=1&reason=300&resolution=1", {2933: 1, 2936: 300 & 0xFF})]
        for suffix, changes in cases:
            with self.subTest(query=suffix):
                r = self.cgi(GOOD + suffix)
                self.assertEqual(r.stdout, REPLY_SNAP_OK)
                with open(self.dump_posted, "rb") as f:
                    self.assert_only_changed(before, f.read(), changes)
        self.assertIn("command 37", self.cam.output("zozid"))

    def test_capture_without_stand_in(self):
        # no objects: the user check already fails
        self.assertEqual(self.cgi(GOOD + "&mode=1").stdout, REPLY_403)


class Concurrency(CgiSandbox):
    def test_thirty_parallel_requests(self):
        self.start_zozid("--jpeg-size", "30000")
        replies = [None] * 30
        errors = []

        def one(i):
            try:
                replies[i] = self.http(GOOD, timeout=30)
            except OSError as e:
                errors.append("%d: %s" % (i, e))

        threads = [threading.Thread(target=one, args=(i,)) for i in range(30)]
        start = time.monotonic()
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        elapsed = time.monotonic() - start
        self.assertEqual(errors, [])
        self.assertFalse(any(t.is_alive() for t in threads))
        self.assertLess(elapsed, 30.0)
        statuses = [r.split(b"\n", 1)[0] for r in replies]
        self.assertEqual(statuses, [b"HTTP/1.1 200 OK"] * 30)
        for i, reply in enumerate(replies):
            head, _, body = reply.partition(b"\n\n")
            length = int(head.split(b"Content-Length: ")[1].split(b"\n")[0])
            with self.subTest(i=i):
                self.assertEqual(len(body), length)
                self.assertEqual(body[:2] + body[-2:], b"\xff\xd8\xff\xd9")
        self.assertEqual(self.sems(10), (1, 1))
        self.assertEqual(self.sems(11), (1, 1))

    def test_killed_waiter_frees_the_semaphores(self):
        self.start_zozid("--answer", "none")
        env = {"QUERY_STRING": GOOD + "&mode=1", "REQUEST_METHOD": "GET"}
        victim = self.cam.start([self.stillcgi], name="victim", env=env)
        seen = self.cam.wait_for(lambda: "zozid: waiter" in self.cam.output("zozid"),
                                 timeout=5, interval=0.001)
        self.assertTrue(seen)
        os.kill(victim.program_pid, signal.SIGKILL)
        victim.wait(10)
        self.assertEqual(self.cam.output("victim"), "")  # killed before it replied
        self.assertTrue(self.cam.wait_for(lambda: self.sems(10) == (1, 1), timeout=5))
        # the next request is neither blocked nor confused by the dead one
        r = self.cgi(GOOD, timeout=20)
        self.assertEqual(r.returncode, 0)
        self.assert_image_reply(r.stdout)


if __name__ == "__main__":
    unittest.main()
