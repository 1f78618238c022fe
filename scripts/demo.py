#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The main job, played in a sandbox of namespaces, one line per step.

A camera host (stand-in zozid with one account, devfinder, busybox httpd serving
cgi-bin/stillcgi) and an installer host are joined by a veth link. From the
installer: search, move the camera to a new address, find it there, fetch a
snapshot from the new address, and show that a wrong password changes nothing.
Exit status 0 only when every step did what it should.

Needs root and the built programs (CAM_BIN_DIR, else build/demo/bin).

--keep  leaves the camera and installer hosts up after the steps (a background
        process holds them, at most KEEP_LIMIT_S) and prints the commands to use
        them by hand; --down removes them. Which demo is kept is recorded in
        CAM_DEMO_STATE (default /run/camdemo.json).
"""

import argparse
import json
import os
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "lib"))

from campair import CameraPair  # noqa: E402
from cameras import WEB_PORT, parse_json_lines, run_devsearch  # noqa: E402
from camsandbox import Sandbox, wait_for  # noqa: E402

CAM_IP, NEW_IP, WRONG_IP = "10.77.0.10", "10.77.0.50", "10.77.0.60"
INSTALLER_IP = "10.77.0.2"
GATEWAY = "10.77.0.1"
PREFIX = 24
MAC = "02:C5:00:00:DE:01"
USER, PASSWORD = "admin", "1234"
NO_REPLY = ("devsearch: not applied (no reply: wrong password, settings refused, or device "
            "unreachable)")
TOTAL_STEPS = 8
KEEP_LIMIT_S = 8 * 3600
DEFAULT_STATE = "/run/camdemo.json"
KEPT_MARK = "\0kept\n"  # last thing a kept demo writes to its starter


class StopKept(Exception):
    """SIGTERM, SIGHUP or SIGINT reached the process holding a kept demo."""


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

    def run(self, keep=None):
        """Plays every step. keep(sb), when given, runs after the steps with the hosts
        still up; they are removed when it returns."""
        netns = []
        try:
            with Sandbox() as sb:
                try:
                    self.play(sb)
                    if keep is not None:
                        keep(sb)
                finally:
                    netns = list(sb._netns)
        except StepFailed:
            return 1
        except StopKept:  # ends a kept demo; before the hosts were kept it is a failure
            return 0 if getattr(self, "kept", False) else 1
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
        pair = CameraPair(sb, CAM_IP, INSTALLER_IP, PREFIX, GATEWAY, MAC, USER, PASSWORD,
                          httpd=True, default_route=True)
        cam_host, inst, cam = pair.cam_host, pair.installer, pair.camera
        dev_mac = MAC.replace(":", "-").upper()

        def fail_with_logs(msg):
            tail = cam_host.errors("devfinder").strip().splitlines()[-3:]
            return StepFailed(msg + ("" if not tail else " | devfinder: " + " / ".join(tail)))

        def setup():
            cam.start()
            return ("camera %s (zozid, devfinder, httpd + stillcgi) <-veth-> installer %s"
                    % (CAM_IP, INSTALLER_IP))
        self.step("sandbox", setup)

        seen = {}  # the camera as the latest search reported it

        def search(expect_ip):
            res = run_devsearch(sb, inst, "search")
            if res.returncode != 0:
                raise fail_with_logs("devsearch search exit %d: %s" %
                                     (res.returncode, res.stderr.strip()))
            js = parse_json_lines(run_devsearch(sb, inst, "search", "--json").stdout)
            found = [d for d in js if d.get("mac") == dev_mac]
            if len(found) != 1 or found[0].get("ip") != expect_ip:
                raise fail_with_logs("camera %s not found at %s: %s" % (dev_mac, expect_ip, js))
            seen.update(found[0])
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
            # the URL as a client builds it: address and web port from the search
            path = os.path.join(inst.dir, "snap.jpg")
            url = snapshot_url(seen["ip"], seen["web_port"])
            res = inst.run(["curl", "-s", "-m", "10", "-o", path, "-w", "%{http_code}", url],
                           timeout=20)
            if res.returncode != 0 or res.stdout.strip() != "200":
                raise StepFailed("curl exit %d, HTTP %s" % (res.returncode, res.stdout.strip()))
            with open(path, "rb") as f:
                data = f.read()
            dims = jpeg_size(data)
            if not data or dims is None:
                raise StepFailed("%d bytes, not a JPEG" % len(data))
            return "%s: HTTP 200, %d bytes, JPEG %dx%d" % (url, len(data), dims[0], dims[1])
        self.step("curl snapshot from the searched address and web port", snapshot)

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


def snapshot_url(ip, web_port):
    """The snapshot URL of the camera at ip, whose search reply gave web_port."""
    return "http://%s:%d/cgi-bin/stillcgi?user=%s&psw=%s" % (ip, web_port, USER, PASSWORD)


def kept_commands(sb, state):
    """The lines that tell a person how to use a kept demo by hand."""
    src = os.path.dirname(HERE)
    ns = state["installer_netns"]
    ds = sb.binary("devsearch")
    url = snapshot_url(NEW_IP, WEB_PORT)
    pcap = os.path.join(sb.root, "search.pcap")
    dissector = os.path.join(src, "tools", "wireshark", "devfinder.lua")
    return [
        "demo: the camera (%s, MAC %s, account %s/%s) and the installer host (%s) stay up."
        % (NEW_IP, MAC.replace(":", "-"), USER, PASSWORD, INSTALLER_IP),
        "demo: run these as root, as they are, to use them from the installer host:",
        "  ip netns exec %s %s search" % (ns, ds),
        "  ip netns exec %s %s search --json" % (ns, ds),
        "  ip netns exec %s curl -s -o %s -w '%%{http_code} %%{size_download} bytes\\n' '%s'"
        % (ns, os.path.join(sb.root, "snap.jpg"), url),
        "  ip netns exec %s %s modify %s --user %s --password %s --ip %s --json"
        % (ns, ds, MAC.replace(":", "-"), USER, PASSWORD, WRONG_IP),
        "demo: (modify moves the camera to %s; use that address afterwards)" % WRONG_IP,
        "demo: capture a search (10 s) and decode it with the project's dissector:",
        "  ip netns exec %s tshark -i eth0 -f 'udp port 9333' -a duration:10 -w %s &"
        % (ns, pcap),
        "  ip netns exec %s %s search; wait" % (ns, ds),
        "  tshark -X lua_script:%s -r %s -V" % (dissector, pcap),
        "demo: tear down: scripts/demo.sh --down   (or kill %d; it ends by itself after %d h)"
        % (state["pid"], KEEP_LIMIT_S // 3600),
    ]


def kept_state(path):
    """The state of a kept demo whose holder still runs, or None."""
    try:
        with open(path) as f:
            state = json.load(f)
        with open("/proc/%d/cmdline" % int(state["pid"]), "rb") as f:
            if b"demo.py" not in f.read():
                return None
        return state
    except (OSError, ValueError, KeyError, TypeError):
        return None


def keep_up(demo, state_path, channel):
    """keep(sb) of a kept demo: records it, prints how to use it, lets the starter go,
    then holds the hosts until a signal or KEEP_LIMIT_S."""
    def keep(sb):
        state = {"pid": os.getpid(), "root": sb.root, "netns": list(sb._netns),
                 "installer_netns": sb.hosts["installer"].netns,
                 "camera_netns": sb.hosts["camera"].netns}
        tmp = state_path + ".new"
        with open(tmp, "w") as f:
            json.dump(state, f)
        os.rename(tmp, state_path)
        demo.kept = True
        try:
            demo.say("demo: steps 1-%d passed; step %d (tear down) waits for --down"
                     % (TOTAL_STEPS - 1, TOTAL_STEPS))
            for line in kept_commands(sb, state):
                channel.write(line + "\n")
            channel.write(KEPT_MARK)
            channel.close()
            # nothing more goes to the starter's terminal
            devnull = os.open(os.devnull, os.O_RDWR)
            for fd in (0, 1, 2):
                os.dup2(devnull, fd)
            os.close(devnull)
            time.sleep(KEEP_LIMIT_S)  # StopKept ends it early
        finally:
            with_state = kept_state(state_path)
            if with_state is not None and with_state.get("pid") == os.getpid():
                os.unlink(state_path)
    return keep


def run_kept(state_path):
    """Plays the demo in a process of its own that keeps the hosts up afterwards;
    returns the exit status for the starter."""
    other = kept_state(state_path)
    if other is not None:
        print("demo: a kept demo is up already (pid %d); scripts/demo.sh --down first"
              % other["pid"], file=sys.stderr)
        return 1
    rfd, wfd = os.pipe()
    pid = os.fork()
    if pid == 0:  # the holder: its own session, so the starter's terminal cannot end it
        os.close(rfd)
        os.setsid()
        status = 1
        try:
            def stop(*_):
                raise StopKept()
            for signum in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
                signal.signal(signum, stop)
            channel = os.fdopen(wfd, "w")
            demo = Demo(out=channel)
            status = demo.run(keep=keep_up(demo, state_path, channel))
            if not channel.closed:
                channel.close()
        finally:
            os._exit(status)
    os.close(wfd)
    try:
        with os.fdopen(rfd) as channel:
            for line in channel:  # ends when the holder closes it (kept) or exits
                if line == KEPT_MARK:
                    return 0
                sys.stdout.write(line)
                sys.stdout.flush()
    except KeyboardInterrupt:  # the starter was interrupted: so is the demo
        os.kill(pid, signal.SIGTERM)
        os.waitpid(pid, 0)
        return 130
    _, status = os.waitpid(pid, 0)
    return os.WEXITSTATUS(status) if os.WIFEXITED(status) else 1


def take_down(state_path, timeout=60.0):
    """Ends a kept demo (its holder removes the hosts) and waits until it has."""
    state = kept_state(state_path)
    if state is None:
        print("demo: no kept demo is up (%s)" % state_path)
        with_file = os.path.exists(state_path)
        if with_file:
            os.unlink(state_path)
        return 0
    os.kill(state["pid"], signal.SIGTERM)

    def gone():
        return not os.path.exists("/proc/%d" % state["pid"])
    if not wait_for(gone, timeout, 0.05):
        print("demo: the kept demo (pid %d) did not end within %d s" % (state["pid"], timeout),
              file=sys.stderr)
        return 1
    left = subprocess.run(["ip", "netns", "list"], stdout=subprocess.PIPE, text=True,
                          timeout=30).stdout.split()
    stale = [ns for ns in state["netns"] if ns in left]
    if stale:
        print("demo: namespaces left: %s" % ", ".join(stale), file=sys.stderr)
        return 1
    print("demo: torn down: %d namespaces and every process removed" % len(state["netns"]))
    return 0


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    mode = ap.add_mutually_exclusive_group()
    mode.add_argument("--keep", action="store_true",
                      help="leave the camera and installer hosts up and print how to use them")
    mode.add_argument("--down", action="store_true", help="remove the hosts of a kept demo")
    opts = ap.parse_args(argv)
    if os.geteuid() != 0:
        print("demo: needs root (network namespaces, bind mounts)", file=sys.stderr)
        return 1
    state_path = os.environ.get("CAM_DEMO_STATE", DEFAULT_STATE)
    if opts.down:
        return take_down(state_path)
    if "CAM_BIN_DIR" not in os.environ:
        os.environ["CAM_BIN_DIR"] = os.path.join(os.path.dirname(HERE), "build", "demo", "bin")
    if opts.keep:
        return run_kept(state_path)
    return Demo().run()


if __name__ == "__main__":
    sys.exit(main())
