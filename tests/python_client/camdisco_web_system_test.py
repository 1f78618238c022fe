# SPDX-License-Identifier: MIT
"""`camdisco web` in the distribution's headless Chromium, against a LAN of ten
cameras of the sandbox (the real devfinder, stand-in and, on four of them,
busybox httpd serving stillcgi): one browser run (camdisco_web_browser.js,
playwright-core from package.json, installed by scripts/install-deps.sh) goes
through the installer's job and asks this side to check the cameras' settings
files and addresses, to edit the exported CSV and to take a camera off the LAN.

The screenshot in docs/ is made by this file too (the browser run stops there):

    python3 tests/python_client/camdisco_web_system_test.py --screenshot docs/camdisco-web.png
"""

import csv
import io
import json
import os
import selectors
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("CAM_SOURCE_DIR", os.path.join(HERE, "..", ".."))
# also a command (--screenshot): the test library and the client package as for one
sys.path.insert(0, os.path.join(SOURCE, "tools", "python"))
sys.path.insert(0, os.path.join(SOURCE, "tests", "lib"))

from cameras import WEB_PORT, CameraLan, find_bin_dir  # noqa: E402
from camsandbox import Sandbox, wait_for  # noqa: E402

NPM_DIR = os.environ.get("CAM_NPM_DIR", os.path.join(SOURCE, "build", "npm"))
CHROMIUM = "/usr/bin/chromium"
COUNT = 10
WITH_HTTPD = 4
USER, PASSWORD, WRONG = "admin", "k7#Q&z w+9%", "k7#Q&z w+9"
RUN_BOUND_S = 240


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", head[16:24])


class WebRun:
    """A LAN, the page's server on its installer host, and one browser run there."""

    def __init__(self, sb, screenshot, mode):
        self.lan = CameraLan(sb, COUNT, user=USER, password=PASSWORD)
        for cam in self.lan.cameras[:WITH_HTTPD]:
            cam.httpd = True                # the CGI on the web port the camera reports,
            cam.zozid_poll_us = None        # the stand-in at its own pace: it serves pictures
        self.lan.start()
        self.host = self.lan.installer
        for cam in self.lan.cameras[:WITH_HTTPD]:
            if not wait_for(lambda: self.host.port_open(cam.ip, WEB_PORT), 30):
                raise RuntimeError("no web server on %s: %s" % (cam.ip, cam.host.errors("httpd")))
        self.web = self.host.start([sys.executable, "-m", "camdisco.web", "--listen",
                                    "127.0.0.1:8080"], name="web",
                                   env={"PYTHONPATH": os.path.join(SOURCE, "tools", "python")})
        if not wait_for(lambda: "http://" in self.host.output("web"), 30):
            raise RuntimeError("camdisco web did not start: " + self.host.errors("web"))
        macs = [c.mac.replace(":", "-") for c in self.lan.cameras]
        self.settings = {
            "url": self.host.output("web").split()[0], "count": COUNT, "user": USER,
            "password": PASSWORD, "wrong_password": WRONG, "httpd": macs[:WITH_HTTPD],
            "plain": macs[WITH_HTTPD:], "form": {"mac": macs[1], "ip": "10.60.3.50"},
            "assign_from": "10.60.4.10", "removed": macs[-1], "screenshot": screenshot,
            "mode": mode}
        self.by_mac = {m: c for m, c in zip(macs, self.lan.cameras)}
        self.exported = ""

    def answer(self, question):
        """What the browser run asks of the sandbox."""
        if "check" in question:
            wrong = []
            for mac, ip in question["check"]:
                cam = self.by_mac[mac]
                ok = wait_for(lambda: cam.settings().get("ipaddr") == ip and
                              "%s/16" % ip in cam.live_addresses(), 20)
                if not ok:
                    wrong.append("%s: %s, %s" % (mac, cam.settings().get("ipaddr"),
                                                 cam.live_addresses()))
            return {"error": "; ".join(wrong)} if wrong else {}
        if "edit_csv" in question:     # two cameras to 10.60.5.x, the rest as they are
            self.exported = question["edit_csv"]
            rows = list(csv.reader(io.StringIO(self.exported)))
            moved = []
            for r in rows[1:3]:
                r[0] = r[0].replace("10.60.4.", "10.60.5.")
                moved.append([r[5], r[0]])
            out = io.StringIO()
            csv.writer(out, lineterminator="\r\n").writerows(rows)
            return {"csv": out.getvalue(), "moved": moved}
        if "remove" in question:
            self.by_mac[question["remove"]].stop_devfinder()
            return {}
        return {"error": "unknown question %r" % question}

    def browse(self, bound=RUN_BOUND_S):
        """Runs the browser driver to its end; returns its RESULT and its steps."""
        env = dict(self.host.env, CAM_NPM_DIR=NPM_DIR, TMPDIR=os.path.join(self.host.dir, "tmp"),
                   CAMDISCO_WEB_RUN=json.dumps(self.settings))
        os.makedirs(env["TMPDIR"], exist_ok=True)
        proc = subprocess.Popen(self.host.exec_argv(["node", os.path.join(
            HERE, "camdisco_web_browser.js")]), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, env=env)
        steps, result, deadline = [], None, time.monotonic() + bound
        for line in _lines(proc.stdout.fileno(), deadline):
            kind, _, text = line.partition(" ")
            if kind == "ASK":
                proc.stdin.write(json.dumps(self.answer(json.loads(text))).encode() + b"\n")
                proc.stdin.flush()
            elif kind == "RESULT":
                result = json.loads(text)
                break
            else:
                steps.append(text)
        try:
            err = proc.communicate(timeout=30)[1].decode(errors="replace")
        except subprocess.TimeoutExpired:
            proc.kill()           # nsenter's child (node) ends with the host at the latest
            err = proc.communicate(timeout=30)[1].decode(errors="replace")
        if proc.returncode != 0 or result is None:
            raise AssertionError("the browser run failed (exit %s) after %s:\n%s\n%s" % (
                proc.returncode, steps, err[-3000:], self.host.errors("web")[-2000:]))
        return result, steps


def _lines(fd, deadline):
    """The lines a pipe delivers until it closes or the deadline passes."""
    buf = b""
    with selectors.DefaultSelector() as sel:
        sel.register(fd, selectors.EVENT_READ)
        while time.monotonic() < deadline and sel.select(deadline - time.monotonic()):
            chunk = os.read(fd, 65536)
            if not chunk:
                return
            buf += chunk
            while b"\n" in buf:
                line, buf = buf.split(b"\n", 1)
                yield line.decode(errors="replace")


def ready():
    """Why the browser run cannot start here, or None."""
    if not os.path.exists(CHROMIUM) or not shutil.which("node"):
        return "chromium or node is missing (bash scripts/install-deps.sh)"
    if not os.path.isdir(os.path.join(NPM_DIR, "node_modules", "playwright-core")):
        return "playwright-core is not in %s (bash scripts/install-deps.sh)" % NPM_DIR
    return None


class CamdiscoWebBrowserTest(unittest.TestCase):
    def test_the_installers_job_in_a_real_browser(self):
        self.assertIsNone(ready())
        tmp = tempfile.mkdtemp(prefix="camdisco-web-")
        try:
            with Sandbox() as sb:
                run = WebRun(sb, os.path.join(tmp, "page.png"), "test")
                res, steps = run.browse()
                log = run.host.errors("web")
            self.assertEqual((1366, 768), png_size(os.path.join(tmp, "page.png")))
        finally:
            shutil.rmtree(tmp, ignore_errors=True)
        self.assertLessEqual(res["round_all_listed"], 2, steps)
        self.assertIn("wrong user name or password", res["wrong_password_title"])
        self.assertEqual(WITH_HTTPD, len([w for w in res["picture_widths"].values() if w > 0]))
        self.assertEqual((1, run.settings["plain"][-1]), (res["filtered"], res["sorted_first"]))
        self.assertEqual(("not an IPv4 address", False),
                         (res["form_error"], res["dialog_after_error"]))
        self.assertIn("ip: 10.60.1.3 → 10.60.3.50", res["confirm_text"])
        self.assertEqual("applied", res["form_result"], res["form_log"])
        self.assertIn("Confirmed by a search", res["form_log"])
        macs = sorted(run.by_mac)
        self.assertEqual([[m, "10.60.4.%d" % (10 + i), "would_change"]
                          for i, m in enumerate(macs)], sorted(res["preview"]))
        self.assertEqual((10, "Done: 10 rows: 10 confirmed"),
                         (res["batch_confirmed"], res["batch_report"]))
        self.assertEqual((["would_change"] * 2, ["unchanged"] * 8),
                         (res["import_preview"][:2], res["import_preview"][2:]))
        self.assertEqual("Done: 10 rows: 2 confirmed, 8 unchanged", res["import_report"])
        self.assertIn("no answer in the last", res["silent_title"])
        self.assertEqual([], res["console"])
        # the password only ever went to the cameras
        for where, text in (("urls", " ".join(res["urls"])), ("answers", " ".join(res["bodies"])),
                            ("server log", log), ("exported CSV", run.exported)):
            for form in (PASSWORD, "k7%23Q%26z"):
                self.assertNotIn(form, text, where)
        self.assertTrue(res["bodies"] and run.exported.startswith("ip,netmask"))


def screenshot(path):
    """The docs' screenshot: the page against the sandbox LAN, as the test takes it."""
    why = ready()
    if why:
        print("camdisco_web: " + why, file=sys.stderr)
        return 1
    if not os.environ.get("CAM_BIN_DIR"):
        bin_dir, looked = find_bin_dir(SOURCE)
        if bin_dir is None:
            print("camdisco_web: no build found in %s" % ", ".join(looked), file=sys.stderr)
            return 1
        os.environ["CAM_BIN_DIR"] = bin_dir
    with Sandbox() as sb:
        WebRun(sb, os.path.abspath(path), "screenshot").browse()
    print("camdisco_web: %s (%dx%d)" % ((path,) + png_size(path)))
    return 0


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--screenshot":
        sys.exit(screenshot(sys.argv[2]))
    unittest.main()
