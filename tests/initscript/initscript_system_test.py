# SPDX-License-Identifier: MIT
"""The init script /etc/init.d/S50devfinder under BusyBox alone.

    cli eth0 10.1.0.2/24 --- eth0 10.1.0.1/24 [cam]

The camera host gets a root file system of its own (camroot's BusyBoxRoot):
BusyBox is the only shell and the only tools, /etc, /var/run and /var/log are
its own, /mivor holds the settings file. The build is installed into it with
`DESTDIR=<root> cmake --install`, as into a camera image, and the script runs
there with chroot, so nothing touches the build machine's /etc or /var/run.
Searches come from the client host, packed with the Python client module.
"""

import os
import shutil
import socket
import subprocess
import unittest

import camdisco
from campair import link_pair
from camroot import BusyBoxRoot
from camsandbox import Sandbox

PORT = 9333
SCRIPT = "/etc/init.d/S50devfinder"
PIDFILE = "/var/run/devfinder.pid"
STORED_INI = ("dhcp=0\nipaddr=192.168.1.10\nnetmask=255.255.255.0\ngateway=192.168.1.1\n"
              "macaddr=00:11:22:33:44:55\nnettype=0\nipv6addr=\nipv6prefixlength=0\n"
              "ipv6gateway=\n")
SEARCH = camdisco.Header(camdisco.MSG_SEARCH, seq=7, version=1).pack()


def inner_pid(pid):
    """The PID a process has inside its own PID namespace (NSpid's last field)."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("NSpid:"):
                    return int(line.split()[-1])
    except OSError:
        pass
    return None


class InitScript(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sb = Sandbox.for_test(cls)
        cls.cam, cls.cli = link_pair(cls.sb, "10.1.0.1", "10.1.0.2")
        cls.root_fs = BusyBoxRoot(cls.cam)
        cls.root = cls.root_fs.path
        res = subprocess.run([os.environ.get("CAM_CMAKE", "cmake"), "--install",
                              os.environ["CAM_BUILD_DIR"]],
                             env=dict(os.environ, DESTDIR=cls.root), stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True, timeout=120)
        if res.returncode != 0:
            raise RuntimeError("install into the root failed: " + res.stdout)
        # Host tools a build may install: not part of a camera's command set.
        for tool in ("devsearch", "zozid"):
            path = os.path.join(cls.root, "usr/bin", tool)
            if os.path.exists(path):
                os.remove(path)
        with open(os.path.join(cls.cam.mivor, "network.ini"), "w") as f:
            f.write(STORED_INI)
        # A copy of BusyBox named tail: a program that runs (tail -f) but serves
        # nothing. (The host's own holder is a shell and a sleep: never named here.)
        shutil.copy2(os.path.join(cls.root, "bin/busybox"), os.path.join(cls.root, "usr/sbin/tail"))
        cls.syslogd = cls.root_fs.start(["syslogd", "-n", "-O", "/var/log/messages"],
                                        name="syslogd")
        if not cls.cam.wait_for(lambda: os.path.exists(os.path.join(cls.root, "dev/log")), 10):
            raise RuntimeError("syslogd did not start: " + cls.cam.errors("syslogd"))
        cls.sock = cls.cli.socket(socket.AF_INET, socket.SOCK_DGRAM)
        cls.addClassCleanup(cls.sock.close)
        cls.sock.bind(("10.1.0.2", 0))

    def setUp(self):
        self.addCleanup(self._clean)

    def _clean(self):
        """Nothing of one test's processes and files survives into the next."""
        for pid, comm in self.cam.processes():
            if comm in ("devfinder", "tail"):
                os.kill(pid, 9)
        self.cam.wait_for(lambda: not self.processes("devfinder") and not self.processes("tail"),
                          10)
        for path in (PIDFILE, "/etc/default/devfinder"):
            if os.path.exists(self.path(path)):
                os.remove(self.path(path))
        logger = self.path("/bin/logger")
        if not os.path.lexists(logger):
            os.symlink("busybox", logger)

    # -- helpers -------------------------------------------------------------
    def path(self, inside):
        return os.path.join(self.root, inside.lstrip("/"))

    def sh(self, *args, timeout=60):
        """The script with one verb, run by BusyBox sh in the root."""
        return self.root_fs.run([SCRIPT] + list(args), timeout=timeout)

    def processes(self, comm):
        """Inside PIDs of the living processes of the camera host named comm."""
        return sorted(inner_pid(pid) for pid, name in self.cam.processes() if name == comm)

    def pidfile(self):
        try:
            with open(self.path(PIDFILE)) as f:
                return int(f.read().strip())
        except FileNotFoundError:
            return None

    def defaults(self, text):
        os.makedirs(self.path("/etc/default"), exist_ok=True)
        with open(self.path("/etc/default/devfinder"), "w") as f:
            f.write(text)

    def answered(self, tries=30):
        """True when a search from the client gets the 464-byte reply."""
        for _ in range(tries):
            self.sock.sendto(SEARCH, ("10.1.0.1", PORT))
            self.sock.settimeout(0.2)
            try:
                data, _ = self.sock.recvfrom(2048)
            except socket.timeout:
                continue
            try:
                camdisco.SearchReply.unpack(data)   # 464 bytes, MsgSize 448
            except camdisco.MalformedDatagram:
                return False
            return True
        return False

    def syslog(self):
        try:
            with open(self.path("/var/log/messages"), errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def assertStatus(self, code, text):
        res = self.sh("status")
        self.assertEqual(res.returncode, code, res.stdout + res.stderr)
        self.assertIn(text, res.stdout)

    # -- the verbs -------------------------------------------------------------
    def test_start_double_start_restart_stop(self):
        earlier = len(self.syslog())
        self.assertStatus(3, "stopped")

        res = self.sh("start")
        self.assertEqual(res.returncode, 0, res.stdout + res.stderr)
        pid = self.pidfile()
        self.assertIn("started (pid %d)" % pid, res.stdout)
        self.assertEqual(self.processes("devfinder"), [pid])
        self.assertStatus(0, "running (pid %d)" % pid)
        self.assertTrue(self.answered(), "the started daemon does not answer a search")

        res = self.sh("start")
        self.assertEqual(res.returncode, 0, res.stdout + res.stderr)
        self.assertIn("already running (pid %d)" % pid, res.stdout)
        self.assertEqual(self.processes("devfinder"), [pid])
        self.assertEqual(self.pidfile(), pid)

        res = self.sh("restart")
        self.assertEqual(res.returncode, 0, res.stdout + res.stderr)
        new_pid = self.pidfile()
        self.assertNotEqual(new_pid, pid)
        self.assertEqual(self.processes("devfinder"), [new_pid])
        self.assertTrue(self.answered(), "the restarted daemon does not answer a search")

        res = self.sh("stop")
        self.assertEqual(res.returncode, 0, res.stdout + res.stderr)
        self.assertIn("stopped (pid %d)" % new_pid, res.stdout)
        self.assertEqual(self.processes("devfinder"), [], "stop returned before the end")
        self.assertIsNone(self.pidfile())
        self.assertStatus(3, "stopped")
        res = self.sh("stop")
        self.assertEqual(res.returncode, 0, res.stdout + res.stderr)
        self.assertIn("not running", res.stdout)

        # The daemon's own lines and the script's reach syslog, tagged, as
        # facility daemon; none of these is an error.
        log = self.syslog()[earlier:]
        self.assertRegex(log, r"daemon\.info devfinder: .*BcastServer Version")
        self.assertRegex(log, r"daemon\.info devfinder: S50devfinder: started \(pid %d\)" % pid)
        self.assertRegex(log, r"daemon\.info devfinder: S50devfinder: stopped \(pid %d\)"
                         % new_pid)
        self.assertNotRegex(log, r"daemon\.err|user\.")

    def test_text_from_a_datagram_does_not_choose_the_priority(self):
        res = self.sh("start")
        self.assertEqual(res.returncode, 0, res.stdout + res.stderr)
        # Words that mark error lines, as the MAC text of a modification.
        forged = camdisco.ModifyRequest(user="admin", password="x", target="192.168.1.10",
                                        mac="error failed", extended=True)
        self.sock.sendto(forged.pack(seq=9), ("10.1.0.1", PORT))
        self.assertTrue(self.cam.wait_for(lambda: "MacAddr:error failed" in self.syslog(), 20),
                        self.syslog())
        self.assertTrue(self.answered(), "the daemon stopped answering")
        lines = [line for line in self.syslog().splitlines() if "error failed" in line]
        self.assertTrue(lines)
        for line in lines:
            self.assertIn(" daemon.info devfinder: ", line)

    def test_stale_pid_file_of_a_dead_process(self):
        res = self.root_fs.run(["sh", "-c", "echo $$"])
        dead = int(res.stdout)
        with open(self.path(PIDFILE), "w") as f:
            f.write("%d\n" % dead)
        self.assertStatus(1, "not running")

        res = self.sh("start")
        self.assertEqual(res.returncode, 0, res.stdout + res.stderr)
        pid = self.pidfile()
        self.assertNotEqual(pid, dead)
        self.assertEqual(self.processes("devfinder"), [pid])
        self.assertTrue(self.answered())

    def test_stale_pid_file_naming_another_process_leaves_it_alone(self):
        other = self.root_fs.start(["tail", "-f", "/dev/null"], name="other")
        self.assertTrue(self.cam.wait_for(lambda: self.processes("tail"), 10))
        other_pid = self.processes("tail")[0]
        with open(self.path(PIDFILE), "w") as f:
            f.write("%d\n" % other_pid)
        self.assertStatus(1, "not running")

        res = self.sh("stop")
        self.assertEqual(res.returncode, 0, res.stdout + res.stderr)
        self.assertIn("stale", res.stdout)
        self.assertIsNone(self.pidfile())
        self.assertEqual(self.processes("tail"), [other_pid], "stop ended a stranger")

        with open(self.path(PIDFILE), "w") as f:
            f.write("%d\n" % other_pid)
        res = self.sh("start")
        self.assertEqual(res.returncode, 0, res.stdout + res.stderr)
        self.assertEqual(self.processes("devfinder"), [self.pidfile()])
        self.assertEqual(self.processes("tail"), [other_pid])
        self.cam.stop(other)

    def test_status_wants_the_port_bound_by_the_recorded_process(self):
        # A daemon that runs but never binds UDP 9333.
        self.defaults("DAEMON=/usr/sbin/tail\nDAEMON_ARGS='-f /dev/null'\nSTART_TIMEOUT=1\n")
        res = self.sh("start")
        self.assertEqual(res.returncode, 1, res.stdout + res.stderr)
        self.assertIn("not served", res.stdout)
        pid = self.pidfile()
        self.assertEqual(self.processes("tail"), [pid])
        self.assertStatus(1, "does not serve UDP port 9333")

        res = self.sh("stop")
        self.assertEqual(res.returncode, 0, res.stdout + res.stderr)
        self.assertEqual(self.processes("tail"), [])
        self.assertStatus(3, "stopped")

    def test_start_fails_when_the_port_is_taken(self):
        self.defaults("START_TIMEOUT=5\n")
        squatter = self.cam.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            squatter.bind(("0.0.0.0", PORT))
            # The daemon itself, run directly: says why and ends with status 1.
            res = self.root_fs.run(["/usr/sbin/devfinder"], timeout=30)
            self.assertEqual(res.returncode, 1, res.stderr)
            self.assertIn("udp_server error for (null), 9333", res.stderr)
            self.assertIn("cannot serve UDP port 9333, exiting", res.stderr)

            res = self.sh("start")
            self.assertEqual(res.returncode, 1, res.stdout + res.stderr)
            self.assertIn("did not start", res.stdout)
            # The daemon that cannot bind ends itself rather than idle on.
            self.assertTrue(self.cam.wait_for(lambda: not self.processes("devfinder"), 10))
            self.assertNotEqual(self.sh("status").returncode, 0)
            # The daemon's error lines and the script's failure as daemon.err.
            log = self.syslog()
            self.assertRegex(log, r"daemon\.err devfinder: \[COMM\]\[\w+\] line\[\d+\] "
                                  r"udp_server error for \(null\), 9333")
            # (the line above has no line end of its own: this one follows it)
            self.assertRegex(log, r"daemon\.err devfinder: .*\[BCAST\]\[Listen\] line\[\d+\] "
                                  r"cannot serve UDP port 9333, exiting")
            self.assertRegex(log, r"daemon\.err devfinder: S50devfinder: did not start")
            self.assertRegex(log, r"daemon\.info devfinder: .*BcastServer Version")
        finally:
            squatter.close()
        res = self.sh("start")
        self.assertEqual(res.returncode, 0, res.stdout + res.stderr)
        self.assertTrue(self.answered())

    def test_without_logger_output_goes_to_the_log_file(self):
        os.remove(self.path("/bin/logger"))
        self.defaults("LOGFILE=/var/log/other/devfinder.log\n")
        res = self.sh("start")
        self.assertEqual(res.returncode, 0, res.stdout + res.stderr)
        pid = self.pidfile()
        res = self.sh("stop")
        self.assertEqual(res.returncode, 0, res.stdout + res.stderr)
        with open(self.path("/var/log/other/devfinder.log"), errors="replace") as f:
            log = f.read()
        self.assertIn("BcastServer Version", log)
        self.assertIn("S50devfinder: started (pid %d)" % pid, log)
        self.assertIn("S50devfinder: stopped (pid %d)" % pid, log)

    def test_unknown_verb(self):
        res = self.sh("reload")
        self.assertEqual(res.returncode, 2)
        self.assertIn("usage", res.stderr)


if __name__ == "__main__":
    unittest.main()
