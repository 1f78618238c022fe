#!/usr/bin/env python3
"""The main job, played in a sandbox of namespaces, one line per step.

A camera host (stand-in zozid with one account, devfinder, busybox httpd serving
cgi-bin/stillcgi) and an installer host are joined by a veth link. From the
installer: search, move the camera to a new address, find it there, fetch a
snapshot from the new address, and show that a wrong password changes nothing.
Exit status 0 only when every step did what it should.

Needs root and the built programs (CAM_BIN_DIR, else build/demo/bin).
"""

import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from camsandbox import Sandbox, wait_for  # noqa: E402
from camlan import Camera, run_devsearch, parse_json_lines  # noqa: E402

CAM_IP, NEW_IP, WRONG_IP = "10.77.0.10", "10.77.0.50", "10.77.0.60"
INSTALLER_IP = "10.77.0.2"
GATEWAY = "10.77.0.1"
PREFIX = 24
MAC = "02:C5:00:00:DE:01"
USER, PASSWORD = "admin", "1234"
NO_REPLY = "not applied (no reply: wrong password, settings refused, or device unreachable)"
TOTAL_STEPS = 8


class StepFailed(Exception):
    pass


def jpeg_size(data):
    """(width, height) from a JPEG's start-of-frame marker, or None."""
    if data[:2] != b"\xff\xd8":
        return None
    i = 2
    for _ in range(10000):  # bounded walk over the marker segments
        if i + 4 > len(data) or data[i] != 0xFF:
            return None
        marker = data[i + 1]
        if marker == 0xFF:
            i += 1
            continue
        if marker in (0xD8, 0x01) or 0xD0 <= marker <= 0xD7:
            i += 2
            continue
        seg_len = int.from_bytes(data[i + 2:i + 4], "big")
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            if i + 9 > len(data):
                return None
            height = int.from_bytes(data[i + 5:i + 7], "big")
            width = int.from_bytes(data[i + 7:i + 9], "big")
            return width, height
        if marker == 0xDA or seg_len < 2:
            return None
        i += 2 + seg_len
    return None


class Demo:
    def __init__(self, out=sys.stdout):
        self.out = out
        self.step_no = 0

    def say(self, text):
        self.out.write(text + "\n")
        self.out.flush()

    def step(self, what, check):
        """Runs one step; check() returns the detail text or raises StepFailed."""
        self.step_no += 1
        try:
            detail = check()
        except StepFailed as exc:
            self.say("[%d/%d] %s: FAILED: %s" % (self.step_no, TOTAL_STEPS, what, exc))
            raise
        self.say("[%d/%d] %s: %s ... ok" % (self.step_no, TOTAL_STEPS, what, detail))

    def show(self, text):
        for line in text.rstrip("\n").splitlines():
            self.say("      " + line)

    def run(self):
        netns = []
        try:
            with Sandbox() as sb:
                try:
                    self.play(sb)
                finally:
                    netns = list(sb._netns)
        except StepFailed:
            return 1
        except Exception as exc:  # a broken environment: say what, fail
            self.say("demo: FAILED: %s" % exc)
            return 1

        def teardown():
            left = subprocess.run(["ip", "netns", "list"], stdout=subprocess.PIPE,
                                  text=True).stdout
            stale = [ns for ns in netns if ns in left]
            if stale:
                raise StepFailed("namespaces left: %s" % ", ".join(stale))
            return "%d namespaces and every process removed" % len(netns)
        try:
            self.step("tear down", teardown)
        except StepFailed:
            return 1
        self.say("demo: all %d steps passed" % TOTAL_STEPS)
        return 0

    def play(self, sb):
        cam_host = sb.host("camera")
        inst = sb.host("installer")
        cam = Camera(sb, cam_host, "eth0", CAM_IP, PREFIX, GATEWAY, MAC, USER, PASSWORD,
                     httpd=True)
        dev_mac = MAC.replace(":", "-").upper()

        def fail_with_logs(msg):
            tail = cam_host.errors("devfinder").strip().splitlines()[-3:]
            return StepFailed(msg + ("" if not tail else " | devfinder: " + " / ".join(tail)))

        def setup():
            sb.link(cam_host, "eth0", "%s/%d" % (CAM_IP, PREFIX), inst, "eth0",
                    "%s/%d" % (INSTALLER_IP, PREFIX))
            cam_host.ip("route", "add", "default", "via", GATEWAY)
            cam.start()
            return ("camera %s (zozid, devfinder, httpd + stillcgi) <-veth-> installer %s"
                    % (CAM_IP, INSTALLER_IP))
        self.step("sandbox", setup)

        def search(expect_ip):
            res = run_devsearch(sb, inst, "search")
            if res.returncode != 0:
                raise fail_with_logs("devsearch search exit %d: %s" %
                                     (res.returncode, res.stderr.strip()))
            js = parse_json_lines(run_devsearch(sb, inst, "search", "--json").stdout)
            found = [d for d in js if d.get("mac") == dev_mac]
            if len(found) != 1 or found[0].get("ip") != expect_ip:
                raise fail_with_logs("camera %s not found at %s: %s" % (dev_mac, expect_ip, js))
            self.show(res.stdout)
            return "camera %s at %s, mask %s, ports %s/%s" % (
                dev_mac, found[0]["ip"], found[0]["netmask"], found[0]["media_port"],
                found[0]["web_port"])

        self.step("devsearch search", lambda: search(CAM_IP))

        def modify():
            before = cam.reloads()
            res = run_devsearch(sb, inst, "modify", dev_mac, "--user", USER, "--password",
                                PASSWORD, "--ip", NEW_IP)
            if res.returncode != 0:
                raise fail_with_logs("exit %d: %s" % (res.returncode, res.stderr.strip()))
            if not wait_for(lambda: cam.reloads() > before, 5.0):
                raise fail_with_logs("the stand-in was not told to reload")
            if not wait_for(lambda: "%s/%d" % (NEW_IP, PREFIX) in cam.live_addresses(), 5.0):
                raise StepFailed("eth0 holds %s" % cam.live_addresses())
            ini = cam.settings()
            if ini.get("ipaddr") != NEW_IP:
                raise StepFailed("network.ini says ipaddr=%s" % ini.get("ipaddr"))
            return "%s; camera eth0 now %s, network.ini ipaddr=%s" % (
                res.stdout.strip().split(":", 1)[0], ", ".join(cam.live_addresses()), NEW_IP)
        self.step("devsearch modify %s --ip %s" % (dev_mac, NEW_IP), modify)

        self.step("devsearch search again", lambda: search(NEW_IP))

        def snapshot():
            path = os.path.join(inst.dir, "snap.jpg")
            url = "http://%s/cgi-bin/stillcgi?user=%s&psw=%s" % (NEW_IP, USER, PASSWORD)
            res = inst.run(["curl", "-s", "-m", "10", "-o", path, "-w", "%{http_code}", url],
                           timeout=20)
            if res.returncode != 0 or res.stdout.strip() != "200":
                raise StepFailed("curl exit %d, HTTP %s" % (res.returncode, res.stdout.strip()))
            with open(path, "rb") as f:
                data = f.read()
            dims = jpeg_size(data)
            if not data or dims is None:
                raise StepFailed("%d bytes, not a JPEG" % len(data))
            return "HTTP 200, %d bytes, JPEG %dx%d" % (len(data), dims[0], dims[1])
        self.step("curl snapshot from %s" % NEW_IP, snapshot)

        def wrong_password():
            ini_before = cam.settings_text()
            reloads = cam.reloads()
            res = run_devsearch(sb, inst, "modify", dev_mac, "--user", USER, "--password",
                                "wrong", "--ip", WRONG_IP)
            if res.returncode == 0 or NO_REPLY not in res.stderr:
                raise StepFailed("exit %d: %s" % (res.returncode, res.stderr.strip()))
            time.sleep(0.3)  # a late, wrong change would show by now
            if cam.settings_text() != ini_before or cam.reloads() != reloads:
                raise StepFailed("the settings changed")
            if "%s/%d" % (NEW_IP, PREFIX) not in cam.live_addresses():
                raise StepFailed("eth0 holds %s" % cam.live_addresses())
            return '"%s", exit %d; camera still at %s, network.ini unchanged' % (
                NO_REPLY, res.returncode, NEW_IP)
        self.step("wrong password", wrong_password)

        def still_serving():
            # the camera still answers after the refused request
            res = run_devsearch(sb, inst, "search", "--json")
            js = parse_json_lines(res.stdout)
            if [d.get("ip") for d in js if d.get("mac") == dev_mac] != [NEW_IP]:
                raise StepFailed("search says %s" % js)
            return "camera %s still answers at %s" % (dev_mac, NEW_IP)
        self.step("devsearch search after the refusal", still_serving)


def main():
    if os.geteuid() != 0:
        print("demo: needs root (network namespaces, bind mounts)", file=sys.stderr)
        return 1
    if "CAM_BIN_DIR" not in os.environ:
        os.environ["CAM_BIN_DIR"] = os.path.join(os.path.dirname(HERE), "build", "demo", "bin")
    return Demo().run()


if __name__ == "__main__":
    sys.exit(main())
