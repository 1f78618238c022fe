# SPDX-License-Identifier: MIT
"""The real devfinder on a hostile LAN and through faults, in the device sandbox.

A camera on a LAN meets forged datagrams, floods and password guessing, and a
power cut or a failing flash can stop any write half way. Each test builds its
own hosts; our datagrams are packed with the Python client module (the raw IP
and UDP headers of a forged datagram with struct), and every check reads what
the camera really holds (its settings file, its logs, the stand-in's reloads,
the processes alive), never the daemon's own opinion.
"""

import contextlib
import os
import re
import signal
import socket
import struct
import time
import unittest

import camdisco
from campair import link_pair, recv, udp_client
from cameras import Camera, CameraLan, ini_text, prefix_to_mask, run_devsearch, start_standin
from camprocs import children
from camsandbox import Sandbox, wait_for
from devfinder_system_test import PORT, head, modify_request

USER, PASSWORD = "admin", "1234"
PREFIX = 24
CHECK_LINE = "___________ CheckUser __________"
LOCK_LINE = "modifications locked for 60 s after 5 failed user checks\n"
UNLOCK_LINE = "modifications unlocked\n"
UNAVAILABLE_LINE = "] user table unavailable (admin:***): no reply, not counted as a failed check\n"
MAC_REFUSED = "] MAC set sent to "
REPLY_IGNORED = "a device's reply: not answered\n"
# Bounds of waits for what must come (a reply, a log line, a reload, a start): wide,
# because the camera shares a busy machine; a quick machine ends each at the event.
# Waits for what must not come stay short.
REPLY_S = 20.0
SETTLE_S = 30
LOG_BURST, LOG_RATE = 200, 50
MODIFY_BURST, MODIFY_RATE = 50, 5


def dev_mac(mac):
    """The MAC text a device reports and clients send ("02-C5-...")."""
    return mac.replace(":", "-").upper()


def drain(sock):
    sock.setblocking(False)
    try:
        while True:
            sock.recvfrom(4096)
    except BlockingIOError:
        pass
    finally:
        sock.setblocking(True)


def searched(sock, dst, timeout=REPLY_S, tries=40):
    """A search to dst is answered (bounded repeats, for a loaded machine)."""
    for _ in range(tries):
        sock.sendto(head(11), (dst, PORT))
        got = recv(sock, timeout / tries)
        if got and is_search_reply(got[0]):
            return got
    return None


def is_search_reply(data):
    try:
        camdisco.SearchReply.unpack(data)
    except camdisco.MalformedDatagram:
        return False
    return True


class CameraHost:
    """A camera (stand-in without --iface, so its address stays, and devfinder)
    joined to a client host by one link."""

    def __init__(self, cam_ip="10.61.0.1", cli_ip="10.61.0.2", mac="02:C5:00:00:BB:01",
                 devfinder=True, before_zozid=None):
        self.sb = Sandbox()
        try:
            self.cam, self.cli = link_pair(self.sb, cam_ip, cli_ip, PREFIX)
            self.ip, self.cli_ip, self.mac = cam_ip, cli_ip, mac
            self.gateway = cam_ip.rsplit(".", 1)[0] + ".254"
            self.old = ini_text(self.ip, PREFIX, self.gateway, self.mac)
            self.ini = os.path.join(self.cam.mivor, "network.ini")
            if before_zozid:
                before_zozid(self)
            else:
                self.write(self.old)
            self.zozid = start_standin(self.cam, users=[USER + ":" + PASSWORD], timeout=SETTLE_S)
            self.sock = udp_client(self.cli, self.cli_ip)
            self.devfinder = None
            if devfinder:
                self.start_devfinder()
        except Exception:
            self.sb.close()
            raise

    def write(self, text):
        with open(self.ini, "w") as f:
            f.write(text)

    def read(self):
        with open(self.ini) as f:
            return f.read()

    def start_devfinder(self, prefix=(), name="devfinder"):
        self.devfinder = self.cam.start(list(prefix) + [self.sb.binary("devfinder")], name=name)
        self.name = name
        if not searched(self.sock, self.ip, timeout=20.0, tries=40):
            raise RuntimeError("devfinder does not answer: " + self.cam.errors(name)[-2000:])
        drain(self.sock)

    def stop_devfinder(self):
        if self.devfinder is not None:
            # Under strace the program is strace's child, and a stopped strace
            # would let it run on: end the daemon itself first.
            if self.devfinder.poll() is None and self.devfinder.program_pid:
                for pid in children(self.devfinder.program_pid):
                    with contextlib.suppress(ProcessLookupError):
                        os.kill(pid, signal.SIGKILL)
            self.cam.stop(self.devfinder)
            self.devfinder = None

    def log(self):
        return self.cam.errors(self.name)

    def trace(self):
        return self.cam.output(self.name)

    def reloads(self):
        return len(re.findall(r"^zozid: settings reloaded \d+$", self.cam.output("zozid"), re.M))

    def request(self, pwd=PASSWORD, gateway=None, msgid=b"msgid-0123456789", mac=None, **kw):
        """A modification naming this camera, changing its gateway only (its
        address stays, so one camera serves many requests)."""
        return modify_request(cip=self.ip, ip=self.ip, gw=gateway or self.gateway, user=USER,
                              pwd=pwd, mac=mac or dev_mac(self.mac), msgid=msgid, **kw)

    def send(self, req, timeout=REPLY_S):
        drain(self.sock)
        self.sock.sendto(req, (self.ip, PORT))
        return recv(self.sock, timeout)

    def close(self):
        self.sock.close()
        self.sb.close()


class OneCameraTest(unittest.TestCase):
    """Each test gets a CameraHost of its own, made with CAMERA."""

    CAMERA = {}

    def setUp(self):
        self.c = CameraHost(**self.CAMERA)
        self.addCleanup(self.c.close)


class ReplyLoopTest(unittest.TestCase):
    """Two daemons and an attacker on one switch."""

    def setUp(self):
        self.sb = Sandbox.for_test(self)
        lan = self.sb.switch("lan")
        self.cams = []
        for i, ip in enumerate(("10.62.0.1", "10.62.0.2")):
            host = self.sb.host("cam%d" % i)
            self.sb.attach(host, "eth0", "%s/%d" % (ip, PREFIX), lan)
            cam = Camera(self.sb, host, "eth0", ip, PREFIX, "10.62.0.254",
                         "02:C5:00:00:CC:0%d" % i, USER, PASSWORD)
            cam.start()
            self.cams.append(cam)
        self.att = self.sb.host("att")
        self.sb.attach(self.att, "eth0", "10.62.0.66/%d" % PREFIX, lan)

    def spoof(self, src, dst, payload):
        """An IPv4/UDP datagram from src:9333 to dst:9333, sent raw from the attacker."""
        raw = self.att.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
        try:
            udp = struct.pack("!HHHH", PORT, PORT, 8 + len(payload), 0) + payload
            ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0x4242, 0, 64,
                             socket.IPPROTO_UDP, 0, socket.inet_aton(src),
                             socket.inet_aton(dst))
            raw.sendto(ip + udp, (dst, 0))
        finally:
            raw.close()

    def test_forged_search_between_two_daemons_gets_one_reply_each_way(self):
        cam0, cam1 = self.cams
        # camera 1 answers "camera 0"; camera 0 must not answer that reply
        self.spoof(cam0.ip, cam1.ip, head(11, seq=77))
        self.assertTrue(wait_for(lambda: REPLY_IGNORED in cam0.discovery_log(), SETTLE_S),
                        cam0.discovery_log()[-2000:])
        # a client's search is still answered by both
        cli = udp_client(self.att, "10.62.0.66")
        try:
            cli.sendto(head(11, seq=78), ("10.62.0.255", PORT))
            sources = set()
            deadline = time.monotonic() + 10
            while len(sources) < 2 and time.monotonic() < deadline:
                got = recv(cli, 1.0)
                if got and is_search_reply(got[0]):
                    sources.add(got[1][0])
            self.assertEqual({cam0.ip, cam1.ip}, sources)
        finally:
            cli.close()
        # one forged search: one reply from camera 1, none from camera 0
        self.assertEqual(1, cam0.discovery_log().count("MSG_TYPE_SEARCH"))
        self.assertEqual(2, cam1.discovery_log().count("MSG_TYPE_SEARCH"))
        self.assertEqual(1, cam0.discovery_log().count(REPLY_IGNORED))
        self.assertIn("search from %s:%d has MsgSize 448" % (cam1.ip, PORT), cam0.discovery_log())
        self.assertEqual(0, cam1.discovery_log().count(REPLY_IGNORED))


class GuessingBoundTest(OneCameraTest):
    """Twenty wrong passwords, then the right one; takes the lock's minute."""

    CAMERA = dict(cam_ip="10.63.0.1", cli_ip="10.63.0.2")

    def checks(self):
        return self.c.trace().count(CHECK_LINE)

    def test_lock_after_five_failures_and_open_again_a_minute_later(self):
        c = self.c
        # two mistypes through the project's client: each request goes out
        # three times, and counts once
        for pwd in ("1243", "12345"):
            res = run_devsearch(c.sb, c.cli, "modify", dev_mac(c.mac), "--user", USER,
                                "--password", pwd, "--gateway", "10.63.0.250",
                                "--timeout", "1")
            self.assertNotEqual(0, res.returncode, res.stdout)
        self.assertEqual(2, self.checks())
        self.assertEqual(6, c.log().count("MSG_TYPE_MDEVINFO"), "three copies of each")
        self.assertNotIn(LOCK_LINE, c.log())
        # still open: the right password is applied
        got = c.send(c.request(gateway="10.63.0.251", msgid=b"right-before-loc"))
        self.assertIsNotNone(got, "two mistypes must not lock the camera")
        self.assertIn("gateway=10.63.0.251\n", c.read())
        base = c.read()

        # eighteen more wrong passwords: the fifth failure locks. (Paced, so
        # every log line of them is written and can be counted.)
        for i in range(18):
            self.assertIsNone(c.send(c.request(pwd="guess%02d" % i, gateway="10.63.0.252",
                                               msgid=b"guess-%010d" % i), 0.3))
        self.assertTrue(wait_for(lambda: c.log().count("MSG_TYPE_MDEVINFO") >= 6 + 1 + 18, SETTLE_S))
        self.assertEqual(1, c.log().count(LOCK_LINE))
        self.assertEqual(2 + 1 + 3, self.checks(), "five failures reach the user table, no more")
        # the right password is refused while locked; searches are answered
        self.assertIsNone(c.send(c.request(gateway="10.63.0.253", msgid=b"right-in-lock"), 1.0))
        self.assertIsNotNone(searched(c.sock, c.ip))
        self.assertEqual(base, c.read())
        self.assertEqual(6, self.checks())

        # the lock ends by itself a minute after it started
        self.assertTrue(wait_for(lambda: UNLOCK_LINE in c.log(), 90, 0.5),
                        c.log()[-2000:])
        self.assertIsNotNone(searched(c.sock, c.ip))
        got = c.send(c.request(gateway="10.63.0.253", msgid=b"right-after-lock"))
        self.assertIsNotNone(got, "applied after the lock")
        self.assertIn("gateway=10.63.0.253\n", c.read())
        self.assertEqual(7, self.checks())
        self.assertEqual(5, c.log().count("CheckUser Failed!"))


class MacSetDestinationTest(unittest.TestCase):
    """Three cameras that share the password on one link, and an installer."""

    @staticmethod
    def mac_set(cam, pwd, msgid):
        return modify_request(cip=cam.ip, ip=cam.ip, mask=prefix_to_mask(cam.prefix),
                              gw=cam.gateway, user=USER, pwd=pwd, setmac=1,
                              mac="02-C5-00-00-EE-01", msgid=msgid)

    def test_mac_set_is_taken_only_at_the_cameras_own_address(self):
        with Sandbox() as sb:
            lan = CameraLan(sb, 3)
            lan.start(timeout=SETTLE_S)
            self.sock = udp_client(lan.installer, CameraLan.INSTALLER_IP)
            try:
                self.check_destinations(lan.cameras)
            finally:
                self.sock.close()

    def check_destinations(self, cams):
        before = [c.settings_text() for c in cams]
        broadcasts = ("255.255.255.255", "10.60.255.255")
        # the right password to every camera at once, then five wrong ones
        datagrams = [self.mac_set(cams[0], PASSWORD, b"bcast-mac-%06d" % i) for i in range(2)]
        datagrams += [self.mac_set(cams[0], "guess%d" % i, b"bcast-bad-%06d" % i)
                      for i in range(5)]
        for i, req in enumerate(datagrams):
            self.sock.sendto(req, (broadcasts[i % 2], PORT))
        for cam in cams:
            self.assertTrue(wait_for(lambda: cam.discovery_log().count(MAC_REFUSED) ==
                                     len(datagrams), SETTLE_S), cam.discovery_log()[-1500:])
        self.assertIsNone(recv(self.sock, 1.0), "a broadcast MAC set was answered")
        self.assertEqual(before, [c.settings_text() for c in cams])
        for cam in cams:
            self.assertIn(MAC_REFUSED + "10.60.255.255, not to this camera's own address: "
                          "not answered\n", cam.discovery_log())
            self.assertNotIn(CHECK_LINE, cam.host.output("devfinder"), "no user check")
            self.assertNotIn(LOCK_LINE, cam.discovery_log())
            self.assertEqual(0, cam.reloads())
        # the same MAC set at one camera's own address: that camera, and no other
        req = self.mac_set(cams[1], PASSWORD, b"unicast-mac-0001")
        self.sock.sendto(req, (cams[1].ip, PORT))
        got = recv(self.sock, REPLY_S)
        self.assertIsNotNone(got, "not answered: " + cams[1].discovery_log()[-1500:])
        self.assertEqual((cams[1].ip, PORT), got[1])
        self.assertEqual(req[16:32], got[0][16:32])
        self.assertEqual("02:C5:00:00:EE:01", cams[1].settings()["macaddr"])
        self.assertEqual([before[0], before[2]], [cams[0].settings_text(), cams[2].settings_text()])


class UserTableDownTest(OneCameraTest):
    CAMERA = dict(cam_ip="10.69.0.1", cli_ip="10.69.0.2")

    def test_main_application_down_is_no_guess(self):
        c = self.c
        c.cam.stop(c.zozid)  # it removes its segments, the user table with them
        for i in range(5):
            self.assertIsNone(c.send(c.request(gateway="10.69.0.%d" % (10 + i),
                                               msgid=b"table-down-%05d" % i), 1.0))
        self.assertTrue(wait_for(lambda: c.log().count(UNAVAILABLE_LINE) == 5, SETTLE_S),
                        c.log()[-1500:])
        self.assertNotIn("CheckUser Failed", c.log())
        self.assertNotIn(LOCK_LINE, c.log())
        self.assertEqual(c.old, c.read())
        # the stand-in is back: the first request, sent again, is applied at once
        c.zozid = start_standin(c.cam, users=[USER + ":" + PASSWORD], timeout=SETTLE_S)
        self.assertIsNotNone(c.send(c.request(gateway="10.69.0.10", msgid=b"table-down-%05d" % 0)))
        self.assertIn("gateway=10.69.0.10\n", c.read())
        self.assertTrue(wait_for(lambda: c.reloads() == 1, SETTLE_S))


class RewriteFaultTest(unittest.TestCase):
    """Faults injected into each step of the settings rewrite (strace): the
    file is the whole old one or the whole new one, and a reply comes only
    when it is the new one."""

    TMP = "/mivor/.network.ini.new"

    @classmethod
    def setUpClass(cls):
        cls.c = CameraHost(cam_ip="10.64.0.1", cli_ip="10.64.0.2", devfinder=False)

    @classmethod
    def tearDownClass(cls):
        cls.c.close()

    def run_case(self, syscalls, path, action, expect_new, expect_reply, killed):
        c = self.c
        c.write(c.old)
        c.start_devfinder(prefix=["strace", "-f", "-qq", "-o", "/dev/null", "-P", path, "-e",
                                  "inject=%s:%s" % (syscalls, action)],
                          name="devfinder-" + re.sub(r"\W", "_", syscalls + path + action))
        reloads = c.reloads()
        new_gw = "10.64.0.%d" % (100 + len(self.seen))
        self.seen.append(new_gw)
        new = c.old.replace("gateway=%s\n" % c.gateway, "gateway=%s\n" % new_gw)
        got = c.send(c.request(gateway=new_gw, msgid=b"fault-%010d" % len(self.seen)),
                     REPLY_S if expect_reply else 1.0)
        if killed:
            self.assertTrue(wait_for(lambda: c.devfinder.poll() is not None, SETTLE_S),
                            "the injected SIGKILL did not end the daemon")
        text = c.read()
        self.assertIn(text, (c.old, new), "torn settings file")
        self.assertEqual(expect_new, text == new)
        self.assertEqual(expect_reply, got is not None)
        if got is not None:
            self.assertEqual(new, text, "a reply only for the new file")
        if expect_reply:
            self.assertTrue(wait_for(lambda: c.reloads() == reloads + 1, SETTLE_S))
        else:
            self.assertEqual(reloads, c.reloads(), "nothing stored, nothing signalled")
        if not killed:
            self.assertFalse(os.path.exists(os.path.join(c.cam.mivor, ".network.ini.new")))
            self.assertIsNotNone(searched(c.sock, c.ip), "the daemon still serves")
        c.stop_devfinder()

    def test_error_or_kill_at_each_step(self):
        self.seen = []
        rename = "rename,renameat,renameat2"
        cases = (
            # syscalls, path, error: old file, no reply; kill: old file, no reply
            ("openat", self.TMP, False),
            ("write", self.TMP, False),
            ("fsync", self.TMP, False),
            (rename, self.TMP, False),
            # after the rename: the new file is in place whatever happens next
            ("fsync", "/mivor", True),
        )
        for syscalls, path, after_rename in cases:
            with self.subTest(step=syscalls, path=path, fault="error"):
                self.run_case(syscalls, path, "error=EIO", expect_new=after_rename,
                              expect_reply=after_rename, killed=False)
            with self.subTest(step=syscalls, path=path, fault="kill"):
                self.run_case(syscalls, path, "signal=KILL", expect_new=after_rename,
                              expect_reply=False, killed=True)
        self.assertIn("fsync of directory /mivor failed: Input/output error",
                      self.c.cam.output("devfinder-fsync_mivorerror_EIO"))


class FullFileSystemTest(unittest.TestCase):
    def test_full_settings_file_system_keeps_the_old_file(self):
        def small_tmpfs(c):
            c.cam.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", "/mivor"], check=True)
            c.cam.run(["sh", "-c", "cat > /mivor/network.ini"], input=c.old, check=True)
        c = CameraHost(cam_ip="10.65.0.1", cli_ip="10.65.0.2", devfinder=False,
                       before_zozid=small_tmpfs)
        try:
            c.start_devfinder()
            c.cam.run(["sh", "-c", "dd if=/dev/zero of=/mivor/fill bs=4096 2>/dev/null; true"])
            self.assertIn("No space left on device",
                          c.cam.run(["dd", "if=/dev/zero", "of=/mivor/more", "bs=4096",
                                     "count=1"]).stderr)
            self.assertIsNone(c.send(c.request(gateway="10.65.0.99"), 1.0))
            self.assertEqual(c.old, c.cam.run(["cat", "/mivor/network.ini"]).stdout)
            self.assertIn("No space left on device", c.trace())
            self.assertIn("settings not stored", c.log())
            self.assertEqual(0, c.reloads())
            # room again: the same change goes through
            c.cam.run(["rm", "-f", "/mivor/fill", "/mivor/more"], check=True)
            self.assertIsNotNone(c.send(c.request(gateway="10.65.0.99", msgid=b"second-try")))
            self.assertIn("gateway=10.65.0.99\n", c.cam.run(["cat", "/mivor/network.ini"]).stdout)
        finally:
            c.close()


class OddSettingsPathTest(OneCameraTest):
    """What stands at the settings path is not always a file."""

    CAMERA = dict(cam_ip="10.66.0.1", cli_ip="10.66.0.2")

    def test_fifo_directory_and_dangling_link_are_refused_without_hanging(self):
        c = self.c
        gone = os.path.join(c.cam.mivor, "gone.ini")
        makers = {
            "fifo": lambda: os.mkfifo(c.ini),
            "directory": lambda: os.mkdir(c.ini),
            "dangling symlink": lambda: os.symlink("gone.ini", c.ini),
        }
        for i, (name, make) in enumerate(makers.items()):
            with self.subTest(name):
                os.rename(c.ini, c.ini + ".saved")
                make()
                try:
                    # the read paths do not block: searches are answered
                    self.assertIsNotNone(searched(c.sock, c.ip), c.log()[-1500:])
                    # an address change fails the identity match (no stored
                    # address to match); a MAC set reaches the settings adapter
                    self.assertIsNone(c.send(c.request(gateway="10.66.0.9%d" % i,
                                                       msgid=b"odd-path-%07d" % i), 1.0))
                    self.assertIsNone(c.send(c.request(setmac=1, mac="02-C5-00-00-BB-7%d" % i,
                                                       msgid=b"odd-mac-%08d" % i), 1.0))
                    self.assertFalse(os.path.exists(gone), "nothing created")
                    self.assertEqual([], [n for n in os.listdir(c.cam.mivor) if n.endswith(".new")])
                    self.assertEqual(0, c.reloads())
                    self.assertIn("NetBasicParamAdapter>:(", c.trace())
                finally:
                    if os.path.isdir(c.ini) and not os.path.islink(c.ini):
                        os.rmdir(c.ini)
                    else:
                        os.unlink(c.ini)
                    os.rename(c.ini + ".saved", c.ini)
        self.assertIsNotNone(searched(c.sock, c.ip))

    def test_symlink_to_a_file_keeps_the_link_and_replaces_the_file(self):
        c = self.c
        real = os.path.join(c.cam.mivor, "real")
        os.mkdir(real)
        target = os.path.join(real, "net.ini")
        os.rename(c.ini, target)
        os.symlink("real/net.ini", c.ini)
        self.assertIsNotNone(c.send(c.request(gateway="10.66.0.77")))
        self.assertTrue(os.path.islink(c.ini))
        with open(target) as f:
            self.assertEqual(c.old.replace("gateway=10.66.0.254", "gateway=10.66.0.77"), f.read())
        self.assertTrue(wait_for(lambda: c.reloads() == 1, SETTLE_S))


class SignalDecoyTest(unittest.TestCase):
    """Processes that only look like the main application, started before it."""

    def setUp(self):
        self.c = CameraHost(cam_ip="10.67.0.1", cli_ip="10.67.0.2", devfinder=False,
                            before_zozid=self.start_decoys)
        self.addCleanup(self.c.close)

    def start_decoys(self, c):
        c.write(c.old)
        os.makedirs(os.path.join(c.cam.mivor, "log"))
        with open(os.path.join(c.cam.mivor, "log", "zozid_01.log"), "w") as f:
            f.write("log\n")
        os.symlink("/bin/sleep", os.path.join(c.cam.dir, "zozid-helper"))
        self.decoys = [
            c.cam.start(["tail", "-f", "/mivor/log/zozid_01.log"], name="decoy-tail"),
            c.cam.start(["./zozid-helper", "1000"], name="decoy-helper"),
            c.cam.start(["sh", "-c", "sleep 1000; : ./zozid"], name="decoy-arg"),
        ]

    def inner_pids(self):
        """PID inside the camera of each command line, as the camera's ps lists it."""
        out = self.c.cam.run(["ps"]).stdout
        pids = {}
        for line in out.splitlines()[1:]:
            fields = line.split(None, 2)
            if len(fields) == 3:
                pids.setdefault(fields[2], int(fields[0]))
        return pids

    def test_only_the_main_application_gets_sigusr1(self):
        c = self.c
        c.start_devfinder()
        pids = self.inner_pids()
        zozid_pid = pids["./zozid --user admin:1234"]
        for cmd in ("tail -f /mivor/log/zozid_01.log", "./zozid-helper 1000",
                    "sh -c sleep 1000; : ./zozid"):
            self.assertLess(pids[cmd], zozid_pid, "decoy %r must come first in ps" % cmd)
        self.assertIsNotNone(c.send(c.request(gateway="10.67.0.5")))
        self.assertTrue(wait_for(lambda: c.reloads() == 1, SETTLE_S), c.trace()[-1000:])
        self.assertIn("szPidBuf [%d]" % zozid_pid, c.trace())
        for proc in self.decoys:
            self.assertIsNone(proc.poll(), "%s was signalled" % proc.cam_name)
        self.assertEqual(1, c.reloads())


class LogTest(OneCameraTest):
    CAMERA = dict(cam_ip="10.68.0.1", cli_ip="10.68.0.2")

    def test_control_bytes_of_a_datagram_are_escaped(self):
        c = self.c
        before = c.log()
        req = modify_request(cip=c.ip, mac="00\n[BCAST][x] line[1] \x1bforged", user=USER,
                             pwd=PASSWORD)
        self.assertIsNone(c.send(req, 1.0))
        self.assertTrue(wait_for(lambda: "cDevType:" in c.log()[len(before):], SETTLE_S))
        new = c.log()[len(before):]
        self.assertNotIn("\x1b", new)
        lines = new.splitlines()
        self.assertEqual([], [ln for ln in lines if not ln.startswith("[BCAST][AcceptProcess] ")])
        self.assertEqual(1, sum(1 for ln in lines if "forged" in ln and "MacAddr:" in ln
                                and "cMacaddr" not in ln))
        self.assertIn(" MacAddr:00\\x0a[BCAST][x] line[1] \\x1bforged\n", new)

    def private_dirty_kb(self):
        with open("/proc/%d/smaps_rollup" % self.c.devfinder.program_pid) as f:
            return sum(int(v) for v in re.findall(r"^Private_Dirty:\s+(\d+) kB", f.read(), re.M))

    def log_size(self):
        return sum(os.path.getsize(os.path.join(self.c.cam.dir, "%s.%s" % (self.c.name, ext)))
                   for ext in ("out", "err"))

    def test_flood_of_mixed_datagrams_stays_within_the_log_budget(self):
        c = self.c
        for _ in range(200):  # warm: every road taken once before memory is read
            c.sock.sendto(head(11), (c.ip, PORT))
        self.assertIsNotNone(searched(c.sock, c.ip))
        memory = self.private_dirty_kb()
        size = self.log_size()
        kinds = [
            head(11), head(620, 448) + bytes(448), head(13), b"\x01\x02",
            c.request(pwd="nope"), head(12, 72), head(11, 448),
        ]
        flood = udp_client(c.cli, c.cli_ip)
        start = time.monotonic()
        try:
            for i in range(100000):
                datagram = kinds[i % len(kinds)]
                if len(datagram) > 32 and camdisco.Header.unpack(datagram).msg_type == 12:
                    at = camdisco.HEAD_SIZE  # a fresh msgid, so no request is a repeat
                    datagram = (datagram[:at] + b"flood-%010d" % i +
                                datagram[at + camdisco.MSGID_SIZE:])
                try:
                    flood.sendto(datagram, (c.ip, PORT))
                except OSError:  # a full queue on the way: the datagram is lost
                    pass
        finally:
            flood.close()
        # answered after the flood, once the queue is worked off
        self.assertIsNotNone(searched(c.sock, c.ip, timeout=30, tries=30))
        elapsed = time.monotonic() - start
        written = self.log_size() - size
        allowed_lines = (LOG_BURST + LOG_RATE * (elapsed + 1) + MODIFY_BURST +
                         MODIFY_RATE * (elapsed + 1) + 10)
        self.assertLess(written, allowed_lines * 160,
                        "%d bytes of log in %.1f s" % (written, elapsed))
        self.assertIn(" log lines left out\n", c.log())
        self.assertLess(self.private_dirty_kb() - memory, 64, "memory grew")


if __name__ == "__main__":
    unittest.main()
