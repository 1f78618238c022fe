# SPDX-License-Identifier: MIT
"""The snapshot CGI, run for real against the stand-in main application.

Every test runs inside the device sandbox: a camera host (own network, mount,
IPC and PID namespaces, /mivor and /dev/snap bound to temporary directories)
and a client host joined to it by a veth link. The CGI runs both directly with
a CGI environment and under busybox httpd; requests over the network come from
sockets made inside the client host, so the bytes on the wire are checked as
they are. Expected bytes and block offsets are written out here, not taken
from the project's headers.
"""

import json
import os
import select
import signal
import socket
import subprocess
import threading
import time
import unittest

from campair import link_pair
from cameras import start_standin
from camsandbox import Sandbox
from cgirun import mark_of
from webcgi import WebCgi

HERE = os.path.dirname(os.path.abspath(__file__))
PEEK = os.path.join(HERE, "ipcpeek.py")
CGIRUN = os.path.join(HERE, "cgirun.py")

CAM_ADDR = "10.1.0.1"
CLI_ADDR = "10.1.0.2"
CLI_ADDR2 = "10.1.0.3"  # a second client on the same host
HTTP_PORT = 8080

BASE_BLOCK = 4248
OTHER_BLOCK = 4312

CGI_HEADER = b"Connection: close\r\nContent-type: text/html\r\n\r\n"
TEXT_403 = b"HTTP/1.1 403 Forbidden\n"
TEXT_400 = b"Unsupported Resolution\n"
TEXT_404 = b"HTTP/1.1 404 Not Found\n"
TEXT_EMPTY = b"HTTP/1.1 404 File Not Found\n"


def refusal(status, text, head_only=False):
    """A refusal as the CGI writes it: status, length of the text, cgic's header."""
    return (b"Status: %s\r\nContent-Length: %d\r\n" % (status, len(text)) + CGI_HEADER
            + (b"" if head_only else text))


def wire(reply):
    """The same reply as busybox httpd sends it: "Status:" becomes its status line."""
    assert reply.startswith(b"Status: ")
    return b"HTTP/1.1 " + reply[len(b"Status: "):]


REPLY_403 = refusal(b"403 Forbidden", TEXT_403)
REPLY_400 = refusal(b"400 Bad Request", TEXT_400)
REPLY_404 = refusal(b"404 Not Found", TEXT_404)
REPLY_EMPTY = refusal(b"404 Not Found", TEXT_EMPTY)
REPLY_SNAP_OK = CGI_HEADER + b"snap ok\n"
REPLY_SNAP_FAIL = CGI_HEADER + b"snap fail\n"

WIRE_403 = wire(REPLY_403)
WIRE_400 = wire(REPLY_400)
WIRE_404 = wire(REPLY_404)

GOOD = "user=admin&psw=1234"
EXIT_FAIL = 255  # cgiMain's -1 as an exit status
TURN_BOUND_S = 10  # longest wait of a request for its turn
OWN_WAIT_S = 1.1   # a turn without an answer: 500 polls and the file wait
SLACK_S = 5        # a loaded machine's scheduling on top


def image_head(length=None):
    """The CGI's image head; no Content-Length for HEAD (no file is fetched)."""
    return (b"Status: 200 OK\r\nAccept-Ranges: bytes\r\n"
            + (b"Content-Length: %d\r\n" % length if length is not None else b"")
            + b"Connection: close\r\nContent-Type: image/jpeg\r\nCache-Control: no-store\r\n\r\n")


def sanitized(path):
    """True for a sanitizer build of a program (its memory figures mean little)."""
    with open(path, "rb") as f:
        return b"__asan_init" in f.read()


class CgiSandbox(unittest.TestCase):
    """One sandbox for the whole class; each test starts its own stand-in."""

    @classmethod
    def setUpClass(cls):
        cls.sb = Sandbox.for_test(cls)
        cls.cam, cls.cli = link_pair(cls.sb, CAM_ADDR, [CLI_ADDR, CLI_ADDR2])
        cls.stillcgi = cls.sb.binary("stillcgi")
        cls.web = WebCgi(cls.cam, CAM_ADDR)
        cls.www = cls.web.www
        cls.httpd = cls.web.serve("busybox", HTTP_PORT, name="httpd")
        cls.web.wait()

    def setUp(self):
        self.zozid = None
        self.dump_posted = os.path.join(self.cam.dir, "posted.bin")
        self.dump_image = os.path.join(self.cam.dir, "image.jpg")
        # every test starts with no address locked by earlier refusals
        self.guard = os.path.join(self.cam.run_dir, "stillcgi.guard")
        for path in (self.dump_posted, self.dump_image, self.snap_path(), self.guard):
            if os.path.lexists(path):
                os.remove(path)

    def tearDown(self):
        if self.zozid is not None:
            self.stop_zozid()

    # -- helpers -----------------------------------------------------------------
    def snap_path(self):
        return os.path.join(self.cam.snap, "snap.jpg")

    def start_zozid(self, *extra, users=("admin:1234",), verbose=True):
        options = ["--dump-posted", self.dump_posted, "--dump-image", self.dump_image]
        options += ["--verbose"] if verbose else []
        self.zozid = start_standin(self.cam, options + list(extra), users)

    def stop_zozid(self):
        rc = self.cam.stop(self.zozid)
        self.zozid = None
        self.assertEqual(rc, 0)
        # everything the stand-in made is gone again
        r = self.cam.run(["python3", PEEK, "count"], timeout=60)
        self.assertEqual(r.stdout, "0 0\n", r.stderr)

    def cgi(self, query, timeout=20, method="GET"):
        env = {"QUERY_STRING": query, "REQUEST_METHOD": method, "GATEWAY_INTERFACE": "CGI/1.1",
               "SERVER_PROTOCOL": "HTTP/1.1", "SCRIPT_NAME": "/cgi-bin/stillcgi"}
        return self.cam.run_bytes([self.stillcgi], env=env, timeout=timeout)

    def http(self, query, timeout=20, method="GET"):
        """One request through busybox httpd from the client host: the raw reply."""
        s = self.cli.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.settimeout(timeout)
        try:
            s.connect((CAM_ADDR, HTTP_PORT))
            s.sendall(b"%s /cgi-bin/stillcgi?%s HTTP/1.0\r\nHost: cam\r\n\r\n"
                      % (method.encode(), query.encode()))
            chunks = []
            for _ in range(10000):
                data = s.recv(65536)
                if not data:
                    break
                chunks.append(data)
            return b"".join(chunks)
        finally:
            s.close()

    def fetch(self, query, slow=False, source=None, timeout=60):
        """One GET through busybox httpd from the client host, read whole;
        slow: 1 KB every 10 ms through a small receive buffer; source: the
        client address to send from."""
        s = self.cli.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.settimeout(timeout)
        try:
            if slow:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            if source:
                s.bind((source, 0))
            s.connect((CAM_ADDR, HTTP_PORT))
            s.sendall(b"GET /cgi-bin/stillcgi?%s HTTP/1.0\r\nHost: cam\r\n\r\n" % query.encode())
            data = bytearray()
            for _ in range(100000):
                chunk = s.recv(1024 if slow else 65536)
                if not chunk:
                    break
                data += chunk
                if slow:
                    time.sleep(0.01)
            return bytes(data)
        finally:
            s.close()

    def parallel(self, clients, rounds, one):
        """clients threads, each calling one(client, round) rounds times; the
        results in order. A thread that raises fails the test."""
        results = [[None] * rounds for _ in range(clients)]
        errors = []

        def client(i):
            for j in range(rounds):
                try:
                    results[i][j] = one(i, j)
                except OSError as e:
                    errors.append("%d/%d: %s" % (i, j, e))

        threads = [threading.Thread(target=client, args=(i,)) for i in range(clients)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(300)
        self.assertFalse(any(t.is_alive() for t in threads))
        self.assertEqual(errors, [])
        return [r for row in results for r in row]

    def cgi_many(self, jobs, concurrency=None, timeout=180):
        """Runs the CGI once per job inside the camera host (cgirun.py)."""
        request = json.dumps({"concurrency": concurrency or len(jobs), "jobs": jobs})
        r = self.cam.run(["python3", CGIRUN, self.stillcgi], input=request, timeout=timeout)
        self.assertEqual(r.returncode, 0, r.stderr)
        return json.loads(r.stdout)

    def mark(self, reply, through_httpd=True):
        """(number, resolution) of a whole marked image reply; fails otherwise."""
        head, _, body = reply.partition(b"\r\n\r\n")
        self.assertEqual(head + b"\r\n\r\n",
                         wire(image_head(len(body))) if through_httpd else image_head(len(body)),
                         reply[:300])
        mark = mark_of(body)
        self.assertIsNotNone(mark, body[:40])
        return tuple(mark)

    def resume(self, proc):
        """SIGCONT to a stopped program and to its nsenter, which stopped
        itself when it saw its child stop."""
        self.cam.signal(proc, signal.SIGCONT)
        os.kill(proc.pid, signal.SIGCONT)

    def sems(self, keyno):
        r = self.cam.run(["python3", PEEK, "sems", "/mivor/run.sh", str(keyno)], timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        return None if r.stdout.strip() == "none" else tuple(int(v) for v in r.stdout.split())

    def segment(self, path, keyno, size):
        out = os.path.join(self.cam.dir, "peek.bin")
        r = self.cam.run(["python3", PEEK, "seg", path, str(keyno), str(size), out], timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        if r.stdout.strip() == "none":
            return None
        with open(out, "rb") as f:
            return f.read()

    def published_base(self):
        seg = self.segment("/mivor/check", 10, BASE_BLOCK + 4)
        self.assertIsNotNone(seg)
        return seg[:BASE_BLOCK]

    def assert_image_reply(self, reply, through_httpd=False):
        with open(self.dump_image, "rb") as f:
            image = f.read()
        self.assertEqual(image[:2], b"\xff\xd8")
        self.assertEqual(image[-2:], b"\xff\xd9")
        head = image_head(len(image))
        self.assertEqual(reply, (wire(head) if through_httpd else head) + image)
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
            lambda: "zozid: settings reloaded 1\n" in self.cam.output("zozid"), timeout=30))
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
                lambda: "zozid: settings reloaded 1\n" in self.cam.output("zozid"), timeout=30))
            # the stand-in moves the interface a moment after the reload; the
            # default route is its last step
            self.assertTrue(self.cam.wait_for(
                lambda: "default via 10.1.0.2" in self.cam.ip("route"), timeout=30))
            addrs = self.cam.ip("-4", "addr", "show", "dev", "eth0")
            self.assertIn("inet 10.1.0.7/24", addrs)
            self.assertNotIn("10.1.0.1/", addrs)
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
        self.assert_image_reply(reply, through_httpd=True)
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
                self.assert_image_reply(self.http(GOOD), through_httpd=True)
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
        # a link at the path is not the main application's file: not followed
        elsewhere = os.path.join(self.cam.dir, "elsewhere.jpg")
        with open(elsewhere, "wb") as f:
            f.write(b"\xff\xd8linked\xff\xd9")
        os.symlink(elsewhere, self.snap_path())
        self.assertEqual(self.http(GOOD), WIRE_404)
        self.assertTrue(os.path.islink(self.snap_path()))

    def test_answer_after_the_polls_still_brings_the_image(self):
        # the answer comes after the CGI's 500 polls but within its file
        # wait, which runs while the CGI still holds its turn
        self.start_zozid("--delay-ms", "300")
        r = self.cgi(GOOD)
        self.assertEqual(r.returncode, 0, r.stdout[:200])
        self.assert_image_reply(r.stdout)
        self.assertEqual(self.sems(10), (1, 1))

    def test_main_application_too_slow(self):
        # no answer within the polls and the file wait: a clean 404, and the
        # turn is given back
        self.start_zozid("--delay-ms", "20000")
        r = self.cgi(GOOD)
        self.assertEqual(r.stdout, REPLY_404)
        self.assertEqual(r.returncode, EXIT_FAIL)
        self.assertEqual(self.sems(10), (1, 1))

    def test_head(self):
        # the head a GET would get, no body, nothing posted
        self.start_zozid("--caps", "0x0000")
        cases = [(GOOD, wire(image_head()), 0),
                 (GOOD + "&mode=1", b"HTTP/1.1 200 OK\r\n" + CGI_HEADER, 0),
                 ("user=admin&psw=bad", wire(refusal(b"403 Forbidden", TEXT_403, True)), 1),
                 (GOOD + "&resolution=5", wire(refusal(b"400 Bad Request", TEXT_400, True)), 1)]
        for query, reply, failed in cases:
            with self.subTest(query=query):
                self.assertEqual(self.http(query, method="HEAD"), reply)
                r = self.cgi(query, method="HEAD")
                self.assertEqual(r.returncode, EXIT_FAIL if failed else 0)
        self.assertFalse(os.path.exists(self.dump_posted))
        self.assertNotIn("waiter", self.cam.output("zozid"))

    def test_encoded_credentials(self):
        # reserved characters sent escaped, as a client must; a value that
        # matches as written keeps matching (the cases in full: unit tests)
        self.start_zozid(users=("admin:1234", "cam:p+s w&d#1", "lit:a%20b"))
        r = self.cli.run(["curl", "-s", "-o", "enc.jpg", "-w", "%{http_code}",
                          "http://%s:%d/cgi-bin/stillcgi?user=cam&psw=p%%2Bs%%20w%%26d%%231"
                          % (CAM_ADDR, HTTP_PORT)], timeout=20)
        self.assertEqual(r.stdout, "200")
        with open(os.path.join(self.cli.dir, "enc.jpg"), "rb") as f, \
                open(self.dump_image, "rb") as g:
            self.assertEqual(f.read(), g.read())
        self.assert_image_reply(self.http("user=lit&psw=a%20b"), through_httpd=True)
        self.assertEqual(self.http("user=cam&psw=p+s"), WIRE_403)

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


class Guessing(CgiSandbox):
    """Five wrong passwords in a minute lock the address they came from for
    a minute, directly (REMOTE_ADDR as a server sets it) and through busybox
    httpd. "A minute later" is a time namespace whose monotonic clock runs
    LATER_S ahead (the CGI reads no other clock); without one, the test
    waits."""

    LATER_S = 61
    LATER_PORT = 8089

    def later(self, argv):
        """argv run LATER_S seconds on, as the CGI's clock tells."""
        return ["unshare", "--time", "--monotonic", str(self.LATER_S)] + argv

    def time_namespaces(self):
        return self.cam.run(self.later(["true"])).returncode == 0

    def test_wrong_passwords_lock_that_address_only(self):
        self.start_zozid()
        wrong = [{"query": "user=admin&psw=guess%d" % i, "addr": "10.1.0.9"} for i in range(5)]
        tries = self.cgi_many(wrong + [{"query": GOOD, "addr": "10.1.0.9"},
                                       {"query": GOOD, "addr": "10.1.0.8"}], concurrency=1)
        for r in tries[:6]:
            self.assertEqual((r["rc"], r["reply"].encode("latin-1")), (EXIT_FAIL, REPLY_403))
        self.assertEqual((tries[6]["rc"], tries[6]["mark"]), (0, None))
        self.assertEqual(self.cam.output("zozid").count("waiter"), 1)  # the locked one posted nothing

        # through busybox httpd: the client's address locked, its second one served
        for i in range(5):
            self.assertEqual(self.http("user=admin&psw=again%d" % i), WIRE_403)
        self.assertEqual(self.http(GOOD), WIRE_403)
        self.assert_image_reply(self.fetch(GOOD, source=CLI_ADDR2), through_httpd=True)

        # a minute on, both are served again, directly and through a server
        if not self.time_namespaces():
            time.sleep(self.LATER_S)
            self.later = lambda argv: argv
        r = self.cam.run_bytes(self.later([self.stillcgi]), env={
            "QUERY_STRING": GOOD, "REQUEST_METHOD": "GET", "REMOTE_ADDR": "10.1.0.9"})
        self.assertEqual(r.returncode, 0, r.stdout[:200])
        self.assert_image_reply(r.stdout)
        later = self.web.serve("busybox", self.LATER_PORT, name="httpd-later", wrap=self.later)
        try:
            self.assertTrue(self.cam.wait_for(
                lambda: self.cli.port_open(CAM_ADDR, self.LATER_PORT), timeout=30))
            s = self.cli.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.settimeout(30)
            s.connect((CAM_ADDR, self.LATER_PORT))
            s.sendall(b"GET /cgi-bin/stillcgi?%s HTTP/1.0\r\n\r\n" % GOOD.encode())
            self.assert_image_reply(read_to_end(s, 30), through_httpd=True)
            s.close()
        finally:
            self.cam.stop(later)

    def test_many_addresses_and_a_broken_state_file(self):
        self.start_zozid(verbose=False)
        jobs = [{"query": "user=admin&psw=x", "addr": "10.2.%d.%d" % (i // 250, i % 250)}
                for i in range(200)]
        self.assertEqual([r["rc"] for r in self.cgi_many(jobs, concurrency=8)], [EXIT_FAIL] * 200)
        self.assertLess(os.path.getsize(self.guard), 16384)
        # a directory where the state file belongs: checked as without the
        # bound (one line on standard error each time), never locked out
        os.remove(self.guard)
        os.mkdir(self.guard)
        try:
            jobs = [{"query": "user=admin&psw=x", "addr": "10.1.0.9"}] * 6 + \
                   [{"query": GOOD, "addr": "10.1.0.9"}]
            tries = self.cgi_many(jobs, concurrency=1)
            self.assertEqual([r["rc"] for r in tries], [EXIT_FAIL] * 6 + [0])
            for r in tries[:6]:
                self.assertEqual(r["stderr"].count("\n"), 1, r["stderr"])
                self.assertIn("stillcgi.guard", r["stderr"])
            for i in range(6):
                self.assertEqual(self.http("user=admin&psw=x%d" % i), WIRE_403)
            self.assert_image_reply(self.http(GOOD), through_httpd=True)
        finally:
            os.rmdir(self.guard)


def read_to_end(sock_or_file, timeout):
    """Everything until the peer closes, bounded in time; None if it never closes."""
    deadline = time.monotonic() + timeout
    fd = sock_or_file.fileno()
    chunks = []
    while time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            continue
        data = os.read(fd, 65536) if not isinstance(sock_or_file, socket.socket) \
            else sock_or_file.recv(65536)
        if not data:
            return b"".join(chunks)
        chunks.append(data)
    return None


class RequestBody(CgiSandbox):
    """A POST announcing a gigabyte and never sending it: the reply is the one
    without the header, at once, and the CGI stays small."""

    HUGE = 1073741824
    PEAK_LIMIT_KB = 4096

    def peaks(self, log):
        with open(log) as f:
            return [int(line) for line in f.read().split() if line.isdigit()]

    def assert_small(self, peaks, baseline):
        for peak in peaks:
            if sanitized(self.stillcgi):
                # the sanitizer runtime's own memory dwarfs the limit: the
                # body must still cost nothing next to an ordinary request
                self.assertLess(peak, max(baseline) + 1024, peaks)
            else:
                self.assertLess(peak, self.PEAK_LIMIT_KB, peaks)

    def timed_cgi(self, query, log, method="GET", length=None):
        """The CGI under /usr/bin/time, its standard input held open."""
        env = dict(self.cam.env)
        env.update({"QUERY_STRING": query, "REQUEST_METHOD": method,
                    "GATEWAY_INTERFACE": "CGI/1.1", "SERVER_PROTOCOL": "HTTP/1.0"})
        if length is not None:
            env.update({"CONTENT_LENGTH": str(length),
                        "CONTENT_TYPE": "application/x-www-form-urlencoded"})
        argv = ["/usr/bin/time", "-a", "-o", log, "-f", "%M", self.stillcgi]
        proc = subprocess.Popen(self.cam.exec_argv(argv), stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, env=env)
        try:
            reply = read_to_end(proc.stdout, 30)
        finally:
            proc.stdin.close()
            proc.stdout.close()
            proc.wait(30)
        self.assertIsNotNone(reply, "the CGI waited for the body")
        return reply, proc.returncode

    def test_direct(self):
        self.start_zozid()
        log = os.path.join(self.cam.dir, "peak-direct.log")
        base_log = os.path.join(self.cam.dir, "peak-base.log")
        for path in (log, base_log):
            if os.path.exists(path):
                os.remove(path)
        refused, rc = self.timed_cgi("user=admin&psw=bad", base_log)
        self.assertEqual((refused, rc), (REPLY_403, EXIT_FAIL))
        image, rc = self.timed_cgi(GOOD, base_log)
        self.assertEqual(rc, 0)
        self.assert_image_reply(image)

        reply, rc = self.timed_cgi("user=admin&psw=bad", log, "POST", self.HUGE)
        self.assertEqual((reply, rc), (REPLY_403, EXIT_FAIL))
        reply, rc = self.timed_cgi(GOOD, log, "POST", self.HUGE)
        self.assertEqual(rc, 0)
        self.assert_image_reply(reply)
        self.assert_small(self.peaks(log), self.peaks(base_log))

    def test_three_held_connections_through_httpd(self):
        self.start_zozid()
        log = os.path.join(self.cam.dir, "peak-httpd.log")
        if os.path.exists(log):
            os.remove(log)
        base_log = os.path.join(self.cam.dir, "peak-httpd-base.log")
        self.timed_cgi(GOOD, base_log)
        wrapper = os.path.join(self.www, "cgi-bin", "timed")
        with open(wrapper, "w") as f:
            f.write("#!/bin/sh\nexec /usr/bin/time -a -o '%s' -f %%M '%s'\n"
                    % (log, os.path.join(self.www, "cgi-bin", "stillcgi")))
        os.chmod(wrapper, 0o755)
        request = (b"POST /cgi-bin/timed?%s HTTP/1.0\r\nHost: cam\r\n"
                   b"Content-Type: application/x-www-form-urlencoded\r\n"
                   b"Content-Length: %d\r\n\r\n" % (GOOD.encode(), self.HUGE))
        socks = []
        try:
            for _ in range(3):
                s = self.cli.socket(socket.AF_INET, socket.SOCK_STREAM)
                socks.append(s)
                s.settimeout(10)
                s.connect((CAM_ADDR, HTTP_PORT))
                s.sendall(request)  # and nothing more: the body never comes
            replies = [read_to_end(s, 30) for s in socks]
        finally:
            for s in socks:
                s.close()
        for reply in replies:
            self.assertIsNotNone(reply, "no reply while the body was held back")
            head, _, body = reply.partition(b"\r\n\r\n")
            self.assertEqual(head + b"\r\n\r\n", wire(image_head(len(body))))
            self.assertEqual(body[:2] + body[-2:], b"\xff\xd8\xff\xd9")
        self.assertTrue(self.cam.wait_for(lambda: len(self.peaks(log)) == 3, timeout=30))
        self.assert_small(self.peaks(log), self.peaks(base_log))


class Concurrency(CgiSandbox):
    """Requests at the same time, against the stand-in at its own pace and as
    fast as it can react (--fast): every image is the one taken for its
    request (the stand-in numbers them and notes the resolution asked for)."""

    PACES = ((), ("--fast",))

    def test_mixed_requests_each_get_their_own(self):
        # images at resolutions 0-3 and three capture requests in ten,
        # 2, 8 and 30 at a time through busybox httpd
        capture = b"HTTP/1.1 200 OK\r\n" + REPLY_SNAP_OK  # busybox's status line in front

        def one(i, j):
            if (i + 3 * j) % 10 < 3:
                return ("capture", None, self.fetch(GOOD + "&mode=1"))
            res = (i + j) % 4
            return ("image", res, self.fetch(GOOD + "&resolution=%d" % res))

        for pace in self.PACES:
            self.start_zozid("--mark-images", *pace, verbose=False)
            numbers = []
            for clients, rounds in ((2, 10), (8, 5), (30, 3)):
                with self.subTest(pace=pace, clients=clients):
                    for kind, res, reply in self.parallel(clients, rounds, one):
                        if kind == "capture":
                            self.assertEqual(reply, capture)
                            continue
                        number, marked = self.mark(reply)
                        self.assertEqual(marked, res)
                        numbers.append(number)
            self.assertEqual(len(set(numbers)), len(numbers), "an image went to two requests")
            self.assertEqual(self.sems(10), (1, 1))
            self.stop_zozid()

    def test_bursts_against_a_stand_in_as_fast_as_it_can(self):
        # 30 and 100 at once, a quarter reading slowly (the image is bigger
        # than a pipe and the socket buffers), directly and through httpd
        self.start_zozid("--fast", "--mark-images", "--jpeg-size", "200000", verbose=False)
        numbers = []
        for count in (30, 100):
            with self.subTest(count=count, road="direct"):
                jobs = [{"query": GOOD, "addr": CLI_ADDR, "slow": i % 4 == 0}
                        for i in range(count)]
                for r in self.cgi_many(jobs):
                    self.assertEqual((r["rc"], r["head"] + "\r\n\r\n"),
                                     (0, image_head(r["body"]).decode()), r)
                    self.assertIsNotNone(r["mark"], r)
                    numbers.append(r["mark"][0])
            with self.subTest(count=count, road="httpd"):
                for reply in self.parallel(count, 1,
                                           lambda i, j: self.fetch(GOOD, slow=i % 4 == 0)):
                    numbers.append(self.mark(reply)[0])
        self.assertEqual(len(numbers), 260)
        self.assertEqual(len(set(numbers)), len(numbers), "an image went to two requests")
        self.assertEqual(self.sems(10), (1, 1))
        self.assertEqual(self.sems(11), (1, 1))
        self.assertFalse(os.path.exists(self.snap_path()))

    def test_stopped_request_holding_its_turn(self):
        # A request stopped in its turn (taken, its post waiting for semaphore
        # 0, which a helper holds) keeps the turn: later requests get the 404
        # reply within the bound and post nothing; continued, it ends with its
        # image, and the next request gets its own.
        self.start_zozid()
        holder = self.cam.start(["python3", PEEK, "hold", "/mivor/run.sh", "10", "0", "60"],
                                name="holder")
        self.assertTrue(self.cam.wait_for(lambda: "held" in self.cam.output("holder"), 30))
        victim = self.cam.start([self.stillcgi], name="victim",
                                env={"QUERY_STRING": GOOD, "REQUEST_METHOD": "GET"})
        self.assertTrue(self.cam.wait_for(lambda: self.sems(10) == (0, 0), 30))
        self.cam.signal(victim, signal.SIGSTOP)
        self.cam.stop(holder)  # semaphore 0 goes to the stopped request
        try:
            t0 = time.monotonic()
            replies = self.parallel(3, 1, lambda i, j: (self.http(GOOD, timeout=60),
                                                        time.monotonic() - t0))
            for reply, seconds in replies:
                self.assertEqual(reply, WIRE_404)
                self.assertLess(seconds, TURN_BOUND_S + SLACK_S)
            self.assertNotIn("waiter", self.cam.output("zozid"))
        finally:
            self.resume(victim)
        victim.wait(30)
        with open(os.path.join(self.cam.dir, "victim.out"), "rb") as f:
            self.assert_image_reply(f.read())
        self.assert_image_reply(self.http(GOOD), through_httpd=True)
        self.assertEqual(self.sems(10), (1, 1))

    def test_queued_requests_while_the_main_application_is_stopped(self):
        # 20 at once, nobody answering: each gets the 404 reply within the
        # turn's bound plus its own wait (polls and file wait), never later
        self.start_zozid()
        self.cam.signal(self.zozid, signal.SIGSTOP)
        try:
            results = self.cgi_many([{"query": GOOD, "addr": CLI_ADDR} for _ in range(20)])
        finally:
            self.resume(self.zozid)
        for r in results:
            self.assertEqual((r["rc"], r["reply"].encode("latin-1")), (EXIT_FAIL, REPLY_404))
            self.assertLess(r["seconds"], TURN_BOUND_S + OWN_WAIT_S + SLACK_S, r)
        # continued, the stand-in serves the last command it finds, its client gone
        self.assertTrue(self.cam.wait_for(lambda: self.sems(10) == (1, 1), timeout=30))
        self.assert_image_reply(self.http(GOOD), through_httpd=True)

    def test_killed_waiter_frees_the_semaphores(self):
        self.start_zozid("--answer", "none")
        env = {"QUERY_STRING": GOOD + "&mode=1", "REQUEST_METHOD": "GET"}
        victim = self.cam.start([self.stillcgi], name="victim", env=env)
        seen = self.cam.wait_for(lambda: "zozid: waiter" in self.cam.output("zozid"),
                                 timeout=30, interval=0.001)
        self.assertTrue(seen)
        os.kill(victim.program_pid, signal.SIGKILL)
        victim.wait(10)
        self.assertEqual(self.cam.output("victim"), "")  # killed before it replied
        self.assertTrue(self.cam.wait_for(lambda: self.sems(10) == (1, 1), timeout=30))
        # the next request is neither blocked nor confused by the dead one
        r = self.cgi(GOOD, timeout=20)
        self.assertEqual(r.returncode, 0)
        self.assert_image_reply(r.stdout)


if __name__ == "__main__":
    unittest.main()
