# SPDX-License-Identifier: MIT
"""The sandbox leaves nothing behind: orphans inside a host are reaped, a command
past its bound is ended with everything it started, a host whose set-up
fails leaves no process in its namespace, and closing asks every program to
end before it waits for any."""

import os
import signal
import subprocess
import unittest
from unittest import mock

import camsandbox
from camprocs import namespace_processes, read_line
from camsandbox import Sandbox, wait_for


def zombies(host):
    """PIDs of the zombies in host's PID namespace."""
    return [pid for pid, _, state in namespace_processes(host.init_pid) if state == "Z"]


def pids(host):
    """PIDs of the living processes of host (their names change while a fork execs)."""
    return sorted(pid for pid, _ in host.processes())


def in_netns(name):
    """PIDs of the processes in the named network namespace."""
    want = os.stat(os.path.join(camsandbox.NETNS_DIR, name)).st_ino
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.stat("/proc/%s/ns/net" % entry).st_ino == want:
                found.append(int(entry))
        except OSError:
            continue
    return found


class SandboxCleansUp(unittest.TestCase):
    def setUp(self):
        self.sb = Sandbox()
        self.addCleanup(self.sb.close)

    def test_orphans_inside_a_host_are_reaped(self):
        host = self.sb.host("cam")
        before = pids(host)
        for _ in range(5):
            host.run(["sh", "-c", "sleep 0.05 & sleep 0.05 & exit 0"])
        # the orphans end (processes() leaves zombies out), then nothing of them stays
        self.assertTrue(wait_for(lambda: pids(host) == before, 10))
        self.assertTrue(wait_for(lambda: not zombies(host), 10), zombies(host))

    def test_a_command_past_its_bound_is_ended_whole(self):
        host = self.sb.host("cam")
        before = pids(host)
        with self.assertRaises(subprocess.TimeoutExpired):
            host.run(["sh", "-c", "sleep 100 & sleep 100"], timeout=1)
        self.assertTrue(wait_for(lambda: pids(host) == before, 10), host.processes())

    def test_a_host_that_does_not_come_up_leaves_no_process(self):
        with mock.patch.object(camsandbox, "read_line", return_value=b""):
            with self.assertRaises(RuntimeError):
                self.sb.host("broken")
        netns = self.sb._netns[-1]
        self.assertTrue(wait_for(lambda: not in_netns(netns), 10), in_netns(netns))

    def test_closing_asks_every_program_before_waiting_for_any(self):
        # Waiting for one host's programs before asking the next host's made a
        # LAN of hundreds of cameras take minutes to end.
        sb = Sandbox()
        events = []
        real_kill = os.kill
        progs = {}
        try:
            for name in ("a", "b"):
                host = sb.host(name)
                proc = host.start(["sleep", "1000"])
                progs[proc.program_pid] = name
                real_wait = proc.wait

                def wait(*args, _name=name, _wait=real_wait, **kw):
                    events.append(("wait", _name))
                    return _wait(*args, **kw)
                proc.wait = wait

            def kill(pid, sig):
                if pid in progs and sig == signal.SIGTERM:
                    events.append(("term", progs[pid]))
                return real_kill(pid, sig)
            with mock.patch.object(os, "kill", side_effect=kill):
                sb.close()
        finally:
            sb.close()
        terms = [i for i, e in enumerate(events) if e[0] == "term"]
        waits = [i for i, e in enumerate(events) if e[0] == "wait"]
        self.assertEqual(2, len(terms), events)
        self.assertTrue(waits, events)
        self.assertLess(max(terms), min(waits), events)

    def test_set_up_reads_are_bounded(self):
        r, w = os.pipe()
        self.addCleanup(os.close, w)
        with os.fdopen(r, "rb") as silent:
            self.assertEqual(b"", read_line(silent, 0.2))


if __name__ == "__main__":
    unittest.main()
