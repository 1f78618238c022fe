# SPDX-License-Identifier: MIT
"""The real devfinder's log under load, in the device sandbox: two cameras side by side.

- Camera A writes its output into a FIFO. Its reader is stopped for 120 s, then
  killed, while a client searches 20 times a second: every search is answered,
  while the reader is stopped too, the daemon lives on, and a new reader hears
  how many lines were left out.
- Camera B is searched a thousand times a second by one host while another
  makes five wrong modifications, one right one in the lock they start and one
  right one after it, three times over: every line about the settings is in
  its log, and the search lines stay within their budget.

Both take minutes of wall time by their nature, so they run at once.
"""

import os
import re
import signal
import socket
import threading
import time
import unittest

from campair import udp_client
from cameras import ini_text, start_standin
from camsandbox import Sandbox, wait_for
from devfinder_system_test import PORT, head, modify_request
from hostile_lan_system_test import PASSWORD, USER, dev_mac, is_search_reply, searched

STALL_S = 120
CYCLES = 3
# Bounds of waits for what must come; a quick machine ends each at the event.
EVENT_S = 30
UNLOCK_S = 90
LOG_BURST, LOG_RATE = 200, 50
MODIFY_BURST, MODIFY_RATE = 50, 5
LEFT_OUT_RE = re.compile(r"\] (\d+) log lines left out, not written \(")


class StepMissing(Exception):
    """What had to come did not."""


class Searcher(threading.Thread):
    """Searches one camera at a steady rate, with at most `window` searches
    sent beyond the latest answered one (so a camera that is slow for a moment
    never has its queue overflow, which would drop the other host's requests
    with the searches), and keeps which were answered."""

    def __init__(self, host, src, dst, rate, window):
        super().__init__(daemon=True)
        self.sock = udp_client(host, src)
        self.sock.setblocking(False)
        self.dst, self.rate, self.window = dst, rate, window
        self.sent = 0
        self.answered = set()
        self.highest = -1
        self.stopping = threading.Event()
        self.error = None

    def run(self):
        try:
            start = time.monotonic()
            while not self.stopping.is_set():
                self.collect()
                due = start + self.sent / self.rate
                if time.monotonic() < due or self.sent - self.highest > self.window:
                    time.sleep(min(0.002, max(0.0, due - time.monotonic())) or 0.0005)
                    continue
                self.sock.sendto(head(11, seq=self.sent), (self.dst, PORT))
                self.sent += 1
        except Exception as exc:  # reported by the test
            self.error = exc

    def collect(self):
        try:
            while True:
                data = self.sock.recv(4096)
                if is_search_reply(data):
                    seq = int.from_bytes(data[12:16], "little")
                    self.answered.add(seq)
                    self.highest = max(self.highest, seq)
        except BlockingIOError:
            pass

    def all_answered(self):
        """Every search sent so far is answered (bounded wait)."""
        sent = self.sent
        return wait_for(lambda: all(s in self.answered for s in range(sent)), EVENT_S, 0.05)

    def stop(self):
        self.stopping.set()
        self.join(EVENT_S)
        self.sock.close()


def camera(sb, name, ip, mac):
    """A camera host with its settings file and a ready stand-in."""
    cam = sb.host(name)
    with open(os.path.join(cam.mivor, "network.ini"), "w") as f:
        f.write(ini_text(ip, 24, ip.rsplit(".", 1)[0] + ".254", mac))
    start_standin(cam, users=["%s:%s" % (USER, PASSWORD)], timeout=EVENT_S)
    return cam


def stalled_reader(sb, out):
    """Camera A: the output through a FIFO whose reader stalls, then goes away."""
    ip, cli_ip = "10.72.0.1", "10.72.0.2"
    cam = camera(sb, "camA", ip, "02:C5:00:00:AA:01")
    cli = sb.host("cliA")
    sb.link(cam, "eth0", ip + "/24", cli, "eth0", cli_ip + "/24")
    os.mkfifo(os.path.join(cam.dir, "log.fifo"))
    reader = cam.start(["cat", "log.fifo"], name="reader1")
    daemon = cam.start(["sh", "-c", 'exec "$0" >log.fifo 2>&1', sb.binary("devfinder")],
                       name="devfinder")
    probe = udp_client(cli, cli_ip)
    try:
        out["ready"] = searched(probe, ip) is not None
    finally:
        probe.close()
    if not out["ready"]:
        return
    searcher = Searcher(cli, cli_ip, ip, 20, 20)
    searcher.start()
    try:
        cam.signal(reader, signal.SIGSTOP)
        time.sleep(STALL_S)  # the stall itself, not a wait for an event
        # Still stopped: what was searched is answered all the same.
        out["answered_while_stopped"] = searcher.all_answered()
        cam.signal(reader, signal.SIGKILL)
        # nsenter stopped itself with its child; let it see the child's end.
        os.kill(reader.pid, signal.SIGCONT)
        reader.wait(EVENT_S)
        # Lines are written to a FIFO nobody holds now (EPIPE) for a while.
        mark = searcher.sent
        out["answered_without_reader"] = wait_for(
            lambda: sum(1 for s in range(mark, mark + 40) if s in searcher.answered) == 40,
            EVENT_S, 0.05)
        cam.start(["cat", "log.fifo"], name="reader2")
        wait_for(lambda: LEFT_OUT_RE.search(cam.output("reader2")), EVENT_S, 0.2)
        out["answered_at_end"] = searcher.all_answered()
    finally:
        searcher.stop()
    out["alive"] = daemon.poll() is None
    out["searcher_error"] = searcher.error
    out["new_reader"] = cam.output("reader2")


def modify_reply(sock, msgid):
    """The modification reply carrying msgid comes (bounded); earlier replies
    to the probing searches are passed over."""
    deadline = time.monotonic() + EVENT_S
    while time.monotonic() < deadline:
        sock.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            data = sock.recv(4096)
        except socket.timeout:
            return False
        if len(data) == 32 and data[16:32] == msgid:
            return True
    return False


def guessing_under_load(sb, out):
    """Camera B: a thousand searches a second while another host guesses."""
    ip, srch_ip, mod_ip, mac = "10.73.0.1", "10.73.0.2", "10.73.0.3", "02:C5:00:00:BB:02"
    lan = sb.switch("lanB")
    cam = camera(sb, "camB", ip, mac)
    srch, mod = sb.host("srchB"), sb.host("modB")
    for host, addr in ((cam, ip), (srch, srch_ip), (mod, mod_ip)):
        sb.attach(host, "eth0", addr + "/24", lan)
    start = time.monotonic()
    cam.start([sb.binary("devfinder")], name="devfinder")
    sock = udp_client(mod, mod_ip)
    searcher = None
    try:
        out["ready"] = searched(sock, ip) is not None
        if not out["ready"]:
            return
        searcher = Searcher(srch, srch_ip, ip, 1000, 100)
        searcher.start()

        def count(text):
            return cam.errors("devfinder").count(text)

        def request(pwd, gateway, msgid):
            sock.sendto(modify_request(cip=ip, ip=ip, gw=gateway, user=USER, pwd=pwd,
                                       mac=dev_mac(mac), msgid=msgid), (ip, PORT))

        steps = out["steps"] = []

        def need(what, ok):
            """One step that must come; the first that does not ends the phase."""
            steps.append((what, bool(ok)))
            if not ok:
                raise StepMissing(what)

        try:
            for cycle in range(CYCLES):
                for i in range(5):
                    request("guess%d%d" % (cycle, i), "10.73.0.99",
                            b"guess-%010d" % (cycle * 10 + i))
                    need("failed check %d.%d" % (cycle, i), wait_for(
                        lambda: count("] CheckUser Failed!") == cycle * 5 + i + 1, EVENT_S, 0.2))
                need("lock %d" % cycle, wait_for(
                    lambda: count("] modifications locked for 60 s") == cycle + 1, EVENT_S, 0.2))
                request(PASSWORD, "10.73.0.98", b"locked-%09d" % cycle)
                need("refused in lock %d" % cycle, wait_for(
                    lambda: count("] CheckUser skipped: modifications locked") == cycle + 1,
                    EVENT_S, 0.2))
                need("unlock %d" % cycle, wait_for(
                    lambda: count("] modifications unlocked\n") == cycle + 1, UNLOCK_S, 0.2))
                gateway = "10.73.0.%d" % (100 + cycle)
                msgid = b"right-%010d" % cycle
                request(PASSWORD, gateway, msgid)
                need("reply to change %d" % cycle, modify_reply(sock, msgid))
                with open(os.path.join(cam.mivor, "network.ini")) as f:
                    need("change %d stored" % cycle, "gateway=%s\n" % gateway in f.read())
        except StepMissing:
            pass
    finally:
        if searcher is not None:
            searcher.stop()
            out["searches"] = searcher.sent
            out["searcher_error"] = searcher.error
        sock.close()
    out["elapsed"] = time.monotonic() - start
    out["log"] = cam.errors("devfinder")
    out["trace"] = cam.output("devfinder")


class LogUnderLoadTest(unittest.TestCase):
    def test_stalled_reader_and_guessing_under_a_thousand_searches_a_second(self):
        stalled, guessing = {}, {}
        with Sandbox() as sb:
            errors = []

            def run(fn, out):
                try:
                    fn(sb, out)
                except Exception as exc:
                    errors.append(exc)

            side = threading.Thread(target=run, args=(stalled_reader, stalled))
            side.start()
            run(guessing_under_load, guessing)
            side.join()
            if errors:
                raise errors[0]

        # Camera A: searched throughout, alive, and told the new reader.
        self.assertTrue(stalled["ready"], "camera A does not answer")
        self.assertIsNone(stalled["searcher_error"])
        self.assertTrue(stalled["answered_while_stopped"],
                        "searches unanswered while the log's reader was stopped")
        self.assertTrue(stalled["answered_without_reader"],
                        "searches unanswered after the log's reader was gone")
        self.assertTrue(stalled["answered_at_end"])
        self.assertTrue(stalled["alive"], "the daemon ended")
        told = LEFT_OUT_RE.search(stalled["new_reader"] or "")
        self.assertIsNotNone(told, stalled["new_reader"][-2000:])
        self.assertGreater(int(told.group(1)), 0)

        # Camera B: every modification line, and the searches within budget.
        self.assertTrue(guessing["ready"], "camera B does not answer")
        self.assertIsNone(guessing["searcher_error"])
        self.assertEqual([], [what for what, ok in guessing["steps"] if not ok],
                         guessing["log"][-3000:])
        self.assertEqual(CYCLES * 10, len(guessing["steps"]), "steps of every cycle")
        log = guessing["log"]
        for text, n in (("] CheckUser Failed!(admin:***)", 5 * CYCLES),
                        ("] modifications locked for 60 s after 5 failed user checks\n", CYCLES),
                        ("] CheckUser skipped: modifications locked for ", CYCLES),
                        ("] modifications unlocked\n", CYCLES),
                        ("] authencate succefully!(admin:***)\n", CYCLES),
                        ("] Broad modify NVR network info return first\n", CYCLES)):
            self.assertEqual(n, log.count(text), text)
        self.assertNotIn("modification log lines left out", log)
        print("camera B: %d searches in %.0f s" % (guessing["searches"], guessing["elapsed"]))
        self.assertIn(" log lines left out\n", log, "the search lines used up their budget")
        lines = log.count("\n") + guessing["trace"].count("\n")
        allowed = (LOG_BURST + LOG_RATE * (guessing["elapsed"] + 1) +
                   MODIFY_BURST + MODIFY_RATE * (guessing["elapsed"] + 1) + 10)
        self.assertLess(lines, allowed, "%d lines in %.0f s" % (lines, guessing["elapsed"]))


if __name__ == "__main__":
    unittest.main()
