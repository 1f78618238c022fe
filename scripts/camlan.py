# SPDX-License-Identifier: MIT
"""Simulated cameras in the namespace sandbox, alone or as a LAN of many.

    from camsandbox import Sandbox
    from camlan import Camera, CameraLan
    with Sandbox() as sb:
        lan = CameraLan(sb, 50)            # 50 cameras and an installer on one bridge
        lan.start()                        # stand-ins and daemons up, port 9333 bound
        res = lan.devsearch("search", "--json")
        cam = lan.cameras[7]; cam.settings()["ipaddr"]

Each camera is its own host (network, mount, IPC and PID namespaces): its own
network.ini (stored address equal to its interface address, a distinct MAC),
the stand-in `./zozid` with one account and --iface (so a rewritten settings
file really moves the camera), the real `devfinder`, and optionally busybox
httpd serving cgi-bin/stillcgi on the web port the camera reports in its
search reply (WEB_PORT); each camera has a /var/run of its own, where the
CGI keeps its state.

As a program: `camlan.py N [--keep-seconds S]` brings up N cameras, runs one
search from the installer host, prints the table and tears everything down. It
takes the programs from CAM_BIN_DIR, else from the first build that has them
(build/normal/bin, build/demo/bin, then any other build/*/bin).
"""

import json
import os
import shutil
import signal
import subprocess
import sys
import time

from camsandbox import Sandbox, wait_for

DISCOVERY_PORT = 9333
# The web port devfinder reports in its search reply (IEPort, devsearch's
# web_port); a client builds the snapshot URL from it, so the camera's web
# server listens there.
WEB_PORT = 85
SETTINGS_LINES = ("dhcp", "ipaddr", "netmask", "gateway", "macaddr", "nettype",
                  "ipv6addr", "ipv6prefixlength", "ipv6gateway")


def prefix_to_mask(prefix):
    bits = (0xFFFFFFFF << (32 - prefix)) & 0xFFFFFFFF if prefix else 0
    return ".".join(str((bits >> s) & 0xFF) for s in (24, 16, 8, 0))


def camera_mac(index):
    """A locally administered unicast MAC, distinct per index (upper-case, ':')."""
    return "02:C5:%02X:%02X:%02X:%02X" % ((index >> 24) & 0xFF, (index >> 16) & 0xFF,
                                          (index >> 8) & 0xFF, index & 0xFF)


def _port_in(table_path, port, listen_state=None):
    """True when a /proc/<pid>/net/{udp,tcp} table has a local socket on port
    (in the given state, when one is given: 0A is TCP LISTEN)."""
    try:
        with open(table_path) as f:
            next(f, None)
            for line in f:
                fields = line.split()
                if len(fields) > 3 and fields[1].endswith(":%04X" % port) and \
                        (listen_state is None or fields[3] == listen_state):
                    return True
    except (FileNotFoundError, ProcessLookupError):
        pass
    return False


def _udp_port_bound(pid, port):
    """True when the network namespace of pid has a UDP socket on port."""
    return _port_in("/proc/%d/net/udp" % pid, port)


def _tcp_port_listening(pid, port):
    """busybox httpd listens on [::]:port, which serves IPv4 as well."""
    return (_port_in("/proc/%d/net/tcp" % pid, port, "0A") or
            _port_in("/proc/%d/net/tcp6" % pid, port, "0A"))


class Camera:
    """One simulated camera on one host of a sandbox."""

    def __init__(self, sb, host, iface, ip, prefix, gateway, mac, user="admin",
                 password="1234", httpd=False, zozid_poll_us=None):
        self.sb = sb
        self.host = host
        self.iface = iface
        self.ip = ip
        self.prefix = prefix
        self.gateway = gateway
        self.mac = mac
        self.user = user
        self.password = password
        self.httpd = httpd
        self.zozid_poll_us = zozid_poll_us  # None: the stand-in's own pause
        self.zozid = None
        self.devfinder = None
        self.httpd_proc = None

    # -- settings file -----------------------------------------------------------
    def write_settings(self):
        lines = ["dhcp=0", "ipaddr=" + self.ip, "netmask=" + prefix_to_mask(self.prefix),
                 "gateway=" + self.gateway, "macaddr=" + self.mac, "nettype=0", "ipv6addr=",
                 "ipv6prefixlength=0", "ipv6gateway="]
        with open(os.path.join(self.host.mivor, "network.ini"), "w") as f:
            f.write("\n".join(lines) + "\n")

    def settings_text(self):
        with open(os.path.join(self.host.mivor, "network.ini")) as f:
            return f.read()

    def settings(self):
        """network.ini as a dict (key -> value text)."""
        out = {}
        for line in self.settings_text().splitlines():
            key, sep, value = line.partition("=")
            if sep:
                out[key] = value
        return out

    def live_addresses(self):
        """IPv4 addresses (with prefix) on the camera's interface right now."""
        out = self.host.ip("-4", "-o", "addr", "show", "dev", self.iface)
        return [tok for line in out.splitlines() for i, tok in enumerate(line.split())
                if i > 0 and line.split()[i - 1] == "inet"]

    def reloads(self):
        """How many times the stand-in re-read its settings (SIGUSR1)."""
        return self.host.output("zozid").count("zozid: settings reloaded")

    def discovery_log(self):
        return self.host.errors("devfinder")

    # -- processes -----------------------------------------------------------------
    def start_zozid(self, find_program=True):
        self.write_settings()
        argv = ["./zozid", "--user", "%s:%s" % (self.user, self.password), "--iface", self.iface]
        if self.zozid_poll_us:
            argv += ["--poll-us", str(self.zozid_poll_us)]
        self.zozid = self.host.start(argv, name="zozid", find_program=find_program)

    def zozid_ready(self):
        return "zozid: ready" in self.host.output("zozid")

    def start_devfinder(self, find_program=True):
        self.devfinder = self.host.start([self.sb.binary("devfinder")], name="devfinder",
                                         find_program=find_program)

    def devfinder_ready(self):
        return (self.devfinder is not None and self.host.program_pid(self.devfinder) and
                _udp_port_bound(self.devfinder.program_pid, DISCOVERY_PORT))

    def start_httpd(self, find_program=True):
        www = os.path.join(self.host.dir, "www")
        os.makedirs(os.path.join(www, "cgi-bin"), exist_ok=True)
        cgi = os.path.join(www, "cgi-bin", "stillcgi")
        shutil.copy(self.sb.binary("stillcgi"), cgi)
        os.chmod(cgi, 0o755)
        self.httpd_proc = self.host.start(["busybox", "httpd", "-f", "-p", str(WEB_PORT), "-h", www],
                                          name="httpd", find_program=find_program)

    def httpd_ready(self):
        return (self.httpd_proc is not None and self.host.program_pid(self.httpd_proc) and
                _tcp_port_listening(self.httpd_proc.program_pid, WEB_PORT))

    def start(self, timeout=10.0):
        """Starts everything and waits until it serves; raises when it does not."""
        self.start_zozid()
        if not wait_for(self.zozid_ready, timeout):
            raise RuntimeError("zozid on %s not ready: %s" % (self.host.name,
                                                             self.host.errors("zozid")))
        self.start_devfinder()
        if self.httpd:
            self.start_httpd()
        if not wait_for(self.devfinder_ready, timeout):
            raise RuntimeError("devfinder on %s not listening: %s" %
                               (self.host.name, self.host.errors("devfinder")[-2000:]))
        if self.httpd and not wait_for(self.httpd_ready, timeout):
            raise RuntimeError("httpd on %s not listening: %s" %
                               (self.host.name, self.host.errors("httpd")))

    def stop_devfinder(self):
        if self.devfinder is not None:
            self.host.stop(self.devfinder)
            self.devfinder = None


def run_devsearch(sb, host, *args, timeout=60, input=None):
    """Runs the built devsearch on host; returns the CompletedProcess (text)."""
    return host.run([sb.binary("devsearch")] + [str(a) for a in args], timeout=timeout,
                    input=input)


def parse_json_lines(text):
    return [json.loads(line) for line in text.splitlines() if line.strip()]


def _quiet_ipv6(netns):
    """No IPv6 on the LAN's links: every new port would otherwise flood the bridge with
    router and neighbour solicitations, which with hundreds of ports costs minutes."""
    subprocess.run(["ip", "netns", "exec", netns, "sysctl", "-q", "-w",
                    "net.ipv6.conf.all.disable_ipv6=1",
                    "net.ipv6.conf.default.disable_ipv6=1"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30, check=False)


def _wait_all(cameras, ready, timeout):
    """Waits until ready(camera) holds for every camera; a camera found ready is
    not asked again, so one wait costs what the cameras cost, once. Returns the
    cameras still not ready when the timeout passed."""
    pending = list(cameras)

    def check():
        pending[:] = [c for c in pending if not ready(c)]
        return not pending

    wait_for(check, timeout)
    return pending


class CameraLan:
    """N cameras and one installer host on one bridge (switch) of a sandbox.

    Camera i (0-based) has address 10.60.(1 + i // 250).(i % 250 + 2)/16 and MAC
    camera_mac(i + 1); the installer is 10.60.255.1/16 on its eth0."""

    SUBNET = "10.60"
    PREFIX = 16
    GATEWAY = "10.60.255.254"
    INSTALLER_IP = "10.60.255.1"
    # A stand-in looks at its request slot every 150 us when busy and every 5 ms
    # when idle; hundreds of them on two cores spend the CPU the others need to
    # start (300 cameras: programs up in 59 s, 8 s at this pause). A camera
    # without a web server gets no image requests, and a reload signal cuts the
    # pause short, so the LAN's stand-ins look only ten times a second.
    QUIET_POLL_US = 100000

    def __init__(self, sb, count, user="admin", password="1234", httpd=False):
        self.sb = sb
        self.switch = sb.switch("lan")
        _quiet_ipv6(self.switch.netns)
        self.installer = sb.host("installer", ipv6=False)
        sb.attach(self.installer, "eth0", "%s/%d" % (self.INSTALLER_IP, self.PREFIX),
                  self.switch)
        self.cameras = []
        for i in range(count):
            ip = self.camera_ip(i)
            # a camera keeps its CGI's state in a /var/run of its own, whoever
            # starts the web server there
            host = sb.host("cam%d" % i, ipv6=False, private_run=True)
            sb.attach(host, "eth0", "%s/%d" % (ip, self.PREFIX), self.switch)
            self.cameras.append(Camera(sb, host, "eth0", ip, self.PREFIX, self.GATEWAY,
                                       camera_mac(i + 1), user, password, httpd,
                                       None if httpd else self.QUIET_POLL_US))

    @classmethod
    def camera_ip(cls, index):
        return "%s.%d.%d" % (cls.SUBNET, 1 + index // 250, index % 250 + 2)

    def start(self, timeout=30.0):
        """Stand-ins first (all at once), then the daemons; waits for all of them.
        Nothing waits for one program's start before the next is started; the
        programs' PIDs are known when this returns."""
        for cam in self.cameras:
            cam.start_zozid(find_program=False)
        bad = _wait_all(self.cameras, Camera.zozid_ready, timeout)
        if bad:
            raise RuntimeError("stand-ins not ready: %s" % ", ".join(c.host.name for c in bad[:10]))
        for cam in self.cameras:
            cam.host.program_pid(cam.zozid)
            cam.start_devfinder(find_program=False)
            if cam.httpd:
                cam.start_httpd(find_program=False)
        bad = _wait_all(self.cameras, Camera.devfinder_ready, timeout)
        if bad:
            raise RuntimeError("daemons not listening: %s" % "; ".join(
                "%s (pid %s, exit %s: %s)" % (c.host.name, c.devfinder.program_pid,
                                              c.devfinder.poll(),
                                              c.discovery_log()[-300:].strip())
                for c in bad[:5]))
        for cam in self.cameras:
            if cam.httpd:
                cam.host.program_pid(cam.httpd_proc)

    def devsearch(self, *args, timeout=60, input=None):
        return run_devsearch(self.sb, self.installer, *args, timeout=timeout, input=input)

    def by_mac(self):
        """Camera by the MAC text the device reports (upper-case hex joined by '-')."""
        return {c.mac.upper().replace(":", "-"): c for c in self.cameras}


NEEDED_PROGRAMS = ("devfinder", "zozid", "devsearch")
PREFERRED_BUILDS = ("normal", "demo")


def find_bin_dir(source_dir):
    """(bin directory, None) of the first build holding every needed program, or
    (None, the directories looked in). A build tree is build/<name>/bin."""
    build = os.path.join(source_dir, "build")
    names = list(PREFERRED_BUILDS)
    try:
        names += sorted(n for n in os.listdir(build) if n not in PREFERRED_BUILDS)
    except FileNotFoundError:
        pass
    looked = []
    for name in names:
        bin_dir = os.path.join(build, name, "bin")
        looked.append(bin_dir)
        if all(os.access(os.path.join(bin_dir, p), os.X_OK) for p in NEEDED_PROGRAMS):
            return bin_dir, None
    return None, looked


def main(argv):
    import argparse
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("count", type=int, help="number of cameras")
    ap.add_argument("--timeout", default="3", help="devsearch --timeout")
    ap.add_argument("--keep-seconds", type=float, default=0,
                    help="leave the LAN up this long after the search (0: tear down at once)")
    opts = ap.parse_args(argv)
    if opts.count < 1 or opts.count > 1000:
        ap.error("count must be 1-1000")
    source_dir = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    bin_dir = os.environ.get("CAM_BIN_DIR")
    if bin_dir:
        missing = [p for p in NEEDED_PROGRAMS if not os.access(os.path.join(bin_dir, p), os.X_OK)]
        if missing:
            print("camlan: CAM_BIN_DIR=%s has no %s" % (bin_dir, ", ".join(missing)),
                  file=sys.stderr)
            return 1
    else:
        bin_dir, looked = find_bin_dir(source_dir)
        if bin_dir is None:
            print("camlan: no build with %s found; looked in %s\n"
                  "camlan: build one first:  cmake -S . -B build/normal && "
                  "cmake --build build/normal -j2   (or run scripts/demo.sh)"
                  % (", ".join(NEEDED_PROGRAMS), ", ".join(looked)), file=sys.stderr)
            return 1
        os.environ["CAM_BIN_DIR"] = bin_dir
    if os.geteuid() != 0:
        print("camlan: needs root (network namespaces, bind mounts)", file=sys.stderr)
        return 1
    print("camlan: programs from %s" % os.path.relpath(bin_dir, source_dir))
    with Sandbox() as sb:
        t0 = time.monotonic()
        lan = CameraLan(sb, opts.count)
        lan.start()
        print("camlan: %d cameras up in %.1f s" % (opts.count, time.monotonic() - t0))
        res = lan.devsearch("search", "--timeout", opts.timeout)
        sys.stdout.write(res.stdout)
        sys.stderr.write(res.stderr)
        if opts.keep_seconds > 0:
            keep = min(opts.keep_seconds, 3600)
            print("camlan: the LAN stays up for %.0f s; from another shell, as root:\n"
                  "  ip netns exec %s %s search\n"
                  "camlan: Ctrl-C (or the end of the time) removes everything"
                  % (keep, lan.installer.netns, sb.binary("devsearch")))
            sys.stdout.flush()
            time.sleep(keep)
        return res.returncode


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(1))
    try:
        sys.exit(main(sys.argv[1:]))
    except KeyboardInterrupt:  # the sandbox has cleaned up on the way out
        sys.exit(130)
