# SPDX-License-Identifier: MIT
"""Simulated cameras in the namespace sandbox, alone or as a LAN of many.

    from camsandbox import Sandbox
    from cameras import Camera, CameraLan
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
CGI keeps its state. One camera beside one installer host: campair.
"""

import json
import os
import subprocess

from camprocs import udp_port_bound
from camsandbox import wait_for
from webcgi import WebCgi

DISCOVERY_PORT = 9333
# The web port devfinder reports in its search reply (IEPort, devsearch's
# web_port); a client builds the snapshot URL from it, so the camera's web
# server listens there.
WEB_PORT = 85


def prefix_to_mask(prefix):
    bits = (0xFFFFFFFF << (32 - prefix)) & 0xFFFFFFFF if prefix else 0
    return ".".join(str((bits >> s) & 0xFF) for s in (24, 16, 8, 0))


def camera_mac(index):
    """A locally administered unicast MAC, distinct per index (upper-case, ':')."""
    return "02:C5:%02X:%02X:%02X:%02X" % ((index >> 24) & 0xFF, (index >> 16) & 0xFF,
                                          (index >> 8) & 0xFF, index & 0xFF)


def ini_text(ip, prefix, gateway, mac):
    """network.ini as the stand-in keeps it: static address, no IPv6."""
    return ("dhcp=0\nipaddr=%s\nnetmask=%s\ngateway=%s\nmacaddr=%s\nnettype=0\n"
            "ipv6addr=\nipv6prefixlength=0\nipv6gateway=\n"
            % (ip, prefix_to_mask(prefix), gateway, mac))


def start_standin(host, options=(), users=("admin:1234",), name="zozid", timeout=30.0):
    """Starts the stand-in ./zozid in host with its accounts (--user each) and
    options, and waits until it is ready; raises with its error output when it
    ends or is not ready within timeout. Returns its process."""
    argv = ["./zozid"]
    for user in users:
        argv += ["--user", user]
    proc = host.start(argv + [str(o) for o in options], name=name)
    wait_for(lambda: "zozid: ready\n" in host.output(name) or proc.poll() is not None, timeout)
    if proc.poll() is not None or "zozid: ready\n" not in host.output(name):
        raise RuntimeError("stand-in %s on %s not ready: %s"
                           % (name, host.name, host.errors(name)[-2000:]))
    return proc


class Camera:
    """One simulated camera on one host of a sandbox."""

    def __init__(self, sb, host, iface, ip, prefix, gateway, mac, user="admin",
                 password="1234", httpd=False, zozid_poll_us=None, follow=True):
        """follow=False: the stand-in applies no rewritten settings to the
        interface (no --iface), so the camera keeps its address whatever it stores."""
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
        self.follow = follow
        self.zozid = None
        self.devfinder = None
        self.web = None
        self.httpd_proc = None

    # -- settings file -----------------------------------------------------------
    def write_settings(self):
        with open(os.path.join(self.host.mivor, "network.ini"), "w") as f:
            f.write(ini_text(self.ip, self.prefix, self.gateway, self.mac))

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

    def network_settled(self):
        """True when the stand-in has put the last reload's settings on the
        interface (address and default route), or had none to put: it does so
        a moment after the reload, so an address that did not change says
        nothing about whether the route is back yet."""
        out = self.host.output("zozid")
        last = out.count("zozid: settings reloaded")
        return last == 0 or ("zozid: network of reload %d handled\n" % last) in out

    def discovery_log(self):
        return self.host.errors("devfinder")

    # -- processes -----------------------------------------------------------------
    def start_zozid(self, find_program=True):
        self.write_settings()
        argv = ["./zozid", "--user", "%s:%s" % (self.user, self.password)]
        if self.follow:
            argv += ["--iface", self.iface]
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
                udp_port_bound(self.devfinder.program_pid, DISCOVERY_PORT))

    def start_httpd(self, find_program=True):
        """busybox httpd serving the CGI on every address, on WEB_PORT."""
        self.web = WebCgi(self.host)
        self.httpd_proc = self.web.serve("busybox", WEB_PORT, name="httpd",
                                         find_program=find_program)

    def httpd_ready(self):
        return self.web is not None and self.web.ready()

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
        if self.httpd:
            self.web.wait(timeout)

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
        bad = _wait_all([c for c in self.cameras if c.httpd], Camera.httpd_ready, timeout)
        if bad:
            raise RuntimeError("web servers not listening: %s" % "; ".join(
                "%s: %s" % (c.host.name, c.host.errors("httpd")[-300:].strip())
                for c in bad[:5]))

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
