# SPDX-License-Identifier: MIT
"""Device sandbox: camera and client hosts made of Linux namespaces, and the
links and switches between them.

Every system test, the demo and the benchmarks run the real programs here, so
nothing touches the build machine's /mivor, /dev/snap, System V IPC or network.

    from camsandbox import Sandbox
    with Sandbox() as sb:                       # root only; everything is removed at exit
        cam = sb.host("cam")                    # own network, mount and IPC namespaces
        cli = sb.host("cli")
        sb.link(cam, "eth0", "10.1.0.1/24", cli, "eth0", "10.1.0.2/24")
        z = cam.start(["./zozid", "--user", "admin:1234"], name="zozid")
        cam.signal(z, signal.SIGUSR1)           # to the program itself (z.program_pid)
        cam.start([sb.binary("devfinder")], name="devfinder")
        s = cli.socket(socket.AF_INET, socket.SOCK_DGRAM)   # lives in cli's netns

A host is one long-lived holder process (`sleep`) inside a fresh network
namespace (`ip netns add`) that has unshared a mount, an IPC and a PID
namespace (so `ps` there lists the host's own processes only). In
its mount namespace a temporary directory is bound on /mivor and another on
/dev/snap; with private_run=True a third one on /var/run (host.run_dir), for
hosts whose programs keep state there (the CGI's guard file). Commands enter
the holder's namespaces with nsenter, run in the host's directory (so the
stand-in starts as ./zozid) and find first in PATH a directory holding `ps`
(busybox, whose ps prints command lines) and a fake `reboot` that only records
its call.

Beside this module: camprocs (process inspection), camroot (a BusyBox root
for one host), cameras (simulated cameras, alone or as a LAN), campair (a
camera host and an installer host) and webcgi (the CGI behind a web server).
"""

import contextlib
import ctypes
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

from camprocs import (children, descendants, kernel_children, namespace_processes, pid_alive,
                      read_line, stall_report)

CLONE_NEWNET = 0x40000000
NETNS_DIR = "/run/netns"
NAME_PREFIX = "csb"
SYSTEM_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
BUSYBOX = shutil.which("busybox") or "/bin/busybox"
# The source tree this library belongs to (tests/lib/ below it).
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# Bound of each step of setting up a host (its holder's start, finding its init).
SETUP_TIMEOUT_S = 30

_libc = ctypes.CDLL(None, use_errno=True)


def host_run(argv, check=True, timeout=30, **kw):
    """Runs a host-side command; raises with its output when it fails."""
    res = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         text=True, timeout=timeout, **kw)
    if check and res.returncode != 0:
        raise RuntimeError("%s failed (%d): %s%s" % (" ".join(argv), res.returncode,
                                                     res.stdout, res.stderr))
    return res


def _setns(fd):
    if _libc.setns(fd, CLONE_NEWNET) != 0:
        err = ctypes.get_errno()
        raise OSError(err, os.strerror(err))


def remove_stale_namespaces():
    """Removes namespaces left by a sandbox whose process died without cleaning up."""
    try:
        names = os.listdir(NETNS_DIR)
    except FileNotFoundError:
        return
    for name in names:
        m = re.match(r"^%s(\d+)-" % NAME_PREFIX, name)
        if m and not pid_alive(int(m.group(1))):
            host_run(["ip", "netns", "del", name], check=False)


class Host:
    """One machine of the sandbox (see the module docstring)."""

    def __init__(self, sandbox, name, ipv6=True, private_run=False):
        self.sandbox = sandbox
        self.name = name
        self.ipv6 = ipv6
        self.netns = "%s%d-%d-%s" % (NAME_PREFIX, os.getpid(), sandbox._serial, name)
        self.dir = os.path.join(sandbox.root, name)
        self.mivor = os.path.join(self.dir, "mivor")
        self.snap = os.path.join(self.dir, "snap")
        self.bin = os.path.join(self.dir, "bin")
        # bound on /var/run inside (None: the host sees the build machine's)
        self.run_dir = os.path.join(self.dir, "run") if private_run else None
        self.env = {"PATH": self.bin + ":" + SYSTEM_PATH, "HOME": self.dir,
                    "LANG": "C", "LC_ALL": "C"}
        for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
            if key in os.environ:
                self.env[key] = os.environ[key]
        self.procs = []
        self.holder = None
        self._setup()

    # -- construction --------------------------------------------------------
    def _setup(self):
        try:
            self._build()
        except BaseException:
            self.close()  # a half-made host leaves no holder behind
            raise

    def _build(self):
        for d in (self.dir, self.mivor, self.snap, self.bin) + ((self.run_dir,) if self.run_dir
                                                                else ()):
            os.makedirs(d, exist_ok=True)
        os.symlink(BUSYBOX, os.path.join(self.bin, "ps"))
        fake_reboot = os.path.join(self.bin, "reboot")
        with open(fake_reboot, "w") as f:
            f.write("#!/bin/sh\n# recording stand-in: never restarts anything\n"
                    "echo \"reboot $*\" >> '%s/reboot.log'\n" % self.dir)
        os.chmod(fake_reboot, 0o755)
        zozid = self.sandbox.binary("zozid", required=False)
        if zozid:
            os.symlink(zozid, os.path.join(self.dir, "zozid"))

        host_run(["ip", "netns", "add", self.netns])
        self.sandbox._netns.append(self.netns)
        # The holder's shell is the first process of its own PID namespace: `ps`
        # inside lists only this host's processes (as on a camera), ending the
        # holder ends everything that still runs inside, and the shell reaps the
        # orphans it inherits (its wait collects any child, not only its sleep).
        # It brings up the loopback first, and with ipv6=False turns IPv6 off
        # before any link exists (where the kernel has IPv6 at all); "ready"
        # comes once its sleep runs, so the host's process list is complete.
        no_ipv6 = "" if self.ipv6 else (
            "for f in all default; do echo 1 > /proc/sys/net/ipv6/conf/$f/disable_ipv6; "
            "done 2>/dev/null; ")
        # /var/run is a link to /run on most systems; the bind lands on its target.
        private_run = "mount --bind '%s' /var/run && " % self.run_dir if self.run_dir else ""
        script = (no_ipv6 + "ip link set lo up && "
                  "mount --bind '%s' /mivor && mount --bind '%s' /dev/snap && " + private_run +
                  "while :; do sleep 1000000 & [ -n \"$up\" ] || { up=1; echo ready; }; "
                  "wait $!; done") % (self.mivor, self.snap)
        # Its errors go to a file and its pipe is closed once it is up: a LAN of
        # hundreds of hosts holds no descriptor per host.
        err_path = os.path.join(self.dir, "holder.err")
        with open(err_path, "wb") as err:
            self.holder = subprocess.Popen(
                ["ip", "netns", "exec", self.netns, "unshare", "--mount", "--ipc", "--pid",
                 "--fork", "--kill-child=SIGKILL", "--mount-proc", "--propagation", "private",
                 "--", "sh", "-c", script],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err)
        line = read_line(self.holder.stdout, SETUP_TIMEOUT_S)
        self.holder.stdout.close()
        if line != b"ready\n":
            self.holder.kill()
            self.holder.wait(timeout=5)
            with open(err_path, "rb") as err:
                raise RuntimeError("host %s did not start within %d s: %r %s"
                                   % (self.name, SETUP_TIMEOUT_S, line,
                                      err.read().decode(errors="replace")))
        # unshare's only child, there once "ready" is written
        kids = wait_for(lambda: children(self.holder.pid), timeout=SETUP_TIMEOUT_S)
        if not kids:
            raise RuntimeError("host %s: no init process found" % self.name)
        self.init_pid = kids[0]

    # -- running things inside -------------------------------------------------
    def exec_argv(self, argv):
        """The command line that runs argv inside this host, in its directory.

        nsenter forks to enter the PID namespace, so the PID of a process
        started with this line is nsenter's; the program is its only child
        (see start(), which finds it)."""
        return ["nsenter", "-t", str(self.init_pid), "-n", "-m", "-i", "-p",
                "--wd=" + self.dir, "--"] + list(argv)

    def run(self, argv, timeout=30, check=False, input=None, env=None):
        """Runs argv inside the host and waits; returns a CompletedProcess (text)."""
        return self._run_inside(argv, timeout, check, input, env, text=True)

    def run_bytes(self, argv, timeout=30, env=None, input=None):
        """Like run, but stdout and stderr stay bytes (for exact reply checks)."""
        return self._run_inside(argv, timeout, False, input, env, text=False)

    def _run_inside(self, argv, timeout, check, input, env, text):
        """subprocess.run for a command inside the host, except at the timeout:
        it first writes what every process of the command is doing to stderr,
        then ends them all (the program too, which nsenter's end would leave
        running inside), then raises TimeoutExpired."""
        full_env = dict(self.env)
        if env:
            full_env.update(env)
        full_argv = self.exec_argv(argv)
        proc = subprocess.Popen(full_argv, stdin=subprocess.PIPE if input is not None else None,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=text,
                                env=full_env)
        try:
            out, err = proc.communicate(input, timeout=timeout)
        except subprocess.TimeoutExpired:
            sys.stderr.write(stall_report(proc.pid, "%s: %s still running after %s s"
                                          % (self.name, " ".join(map(str, argv)), timeout)))
            for pid in reversed(descendants(proc.pid)):
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, signal.SIGKILL)
            proc.kill()
            with contextlib.suppress(subprocess.TimeoutExpired):
                proc.communicate(timeout=5)
            raise subprocess.TimeoutExpired(full_argv, timeout)
        res = subprocess.CompletedProcess(full_argv, proc.returncode, out, err)
        if check:
            res.check_returncode()
        return res

    def start(self, argv, name=None, env=None, find_program=True):
        """Starts argv inside the host; stdout/stderr go to <dir>/<name>.out/.err.

        The process is ended (SIGTERM, then SIGKILL) when the sandbox closes.
        proc.program_pid is the program's PID; with find_program=False start()
        returns at once and program_pid(proc) finds it when first asked (for
        starting many programs without waiting for each one's fork)."""
        name = name or os.path.basename(argv[0])
        full_env = dict(self.env)
        if env:
            full_env.update(env)
        out = open(os.path.join(self.dir, name + ".out"), "wb")
        err = open(os.path.join(self.dir, name + ".err"), "wb")
        proc = subprocess.Popen(self.exec_argv(argv), stdin=subprocess.DEVNULL,
                                stdout=out, stderr=err, env=full_env)
        out.close()
        err.close()
        proc.cam_name = name
        # The program runs as nsenter's child; signals must go to it, not to nsenter.
        proc.program_pid = self._program_of(proc) if find_program else None
        self.procs.append(proc)
        return proc

    def program_pid(self, proc):
        """The program's PID of a started process (looked up now if start() did
        not); None when nsenter ended without starting it."""
        if proc.program_pid is None and proc.poll() is None:
            proc.program_pid = self._program_of(proc)
        return proc.program_pid

    @staticmethod
    def _program_of(proc):
        """The PID of nsenter's child, once nsenter has forked it; None when
        nsenter ended first. Polls the kernel's children file, which costs one
        read; only if it stays empty are all processes looked through once (a
        look through /proc per poll made starting N programs cost N squared)."""
        kids = wait_for(lambda: kernel_children(proc.pid) or proc.poll() is not None,
                        timeout=SETUP_TIMEOUT_S, interval=0.002)
        if isinstance(kids, list):
            return kids[0]
        kids = children(proc.pid) if proc.poll() is None else []
        return kids[0] if kids else None

    def output(self, name):
        """What a started process has written to standard output so far."""
        with open(os.path.join(self.dir, name + ".out"), "rb") as f:
            return f.read().decode(errors="replace")

    def errors(self, name):
        """What a started process has written to standard error so far."""
        with open(os.path.join(self.dir, name + ".err"), "rb") as f:
            return f.read().decode(errors="replace")

    def signal(self, proc, signum):
        """Sends signum to the program of a started process (not to nsenter)."""
        if proc.poll() is None and self.program_pid(proc):
            with contextlib.suppress(ProcessLookupError):
                os.kill(proc.program_pid, signum)

    def stop(self, proc, timeout=3.0):
        """Ends one started process: SIGTERM, then SIGKILL after the timeout.
        Returns the program's exit status (negative: the signal that ended it)."""
        if proc.poll() is None:
            if not getattr(proc, "term_sent", False):
                self.signal(proc, signal.SIGTERM)
            try:
                proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.signal(proc, signal.SIGKILL)
                proc.kill()
                proc.wait(timeout=timeout)
        if proc in self.procs:
            self.procs.remove(proc)
        return proc.returncode

    def ip(self, *args):
        """`ip` inside this host's network namespace; raises when it fails."""
        return host_run(["ip", "-n", self.netns] + list(args)).stdout

    def socket(self, family=socket.AF_INET, type=socket.SOCK_DGRAM, proto=0):
        """A socket created inside this host's network namespace.

        A socket stays in the namespace it was made in, so the test can use it
        from the build machine's side."""
        own = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        target = os.open(os.path.join(NETNS_DIR, self.netns), os.O_RDONLY)
        try:
            _setns(target)
            try:
                return socket.socket(family, type, proto)
            finally:
                _setns(own)
        finally:
            os.close(target)
            os.close(own)

    def processes(self):
        """(pid, command name) of every living process in this host's PID
        namespace, as the build machine numbers them; the holder's shell and
        its sleep included. Zombies are left out (an orphan is one until the
        holder's shell reaps it)."""
        return [(pid, comm) for pid, comm, state in namespace_processes(self.init_pid)
                if state != "Z"]

    def port_open(self, addr, port, timeout=0.5):
        """True when a TCP connection from this host to addr:port succeeds."""
        s = self.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.settimeout(timeout)
        try:
            s.connect((addr, port))
            return True
        except OSError:
            return False
        finally:
            s.close()

    def reboot_calls(self):
        """Lines recorded by the fake reboot, one per call."""
        try:
            with open(os.path.join(self.dir, "reboot.log")) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def wait_for(self, predicate, timeout=5.0, interval=0.02):
        return wait_for(predicate, timeout, interval)

    def ask_to_end(self):
        """SIGTERM to every program still running, without waiting (stop() and
        close() then only wait): a sandbox asks all hosts first, so hundreds of
        programs end side by side instead of one after another."""
        for proc in list(self.procs):
            if proc.poll() is None and not getattr(proc, "term_sent", False):
                with contextlib.suppress(Exception):
                    self.signal(proc, signal.SIGTERM)
                proc.term_sent = True

    def close(self):
        for proc in list(self.procs):
            try:
                self.stop(proc)
            except Exception:  # keep cleaning up the rest
                pass
        if self.holder is not None and self.holder.poll() is None:
            self.holder.kill()
            self.holder.wait(timeout=5)


class Switch:
    """A bridge in a namespace of its own; hosts attach to it with veth links."""

    def __init__(self, sandbox, name):
        self.sandbox = sandbox
        self.name = name
        self.netns = "%s%d-%d-%s" % (NAME_PREFIX, os.getpid(), sandbox._serial, name)
        self.ports = 0
        host_run(["ip", "netns", "add", self.netns])
        sandbox._netns.append(self.netns)
        self.ip("link", "set", "lo", "up")
        self.ip("link", "add", "br0", "type", "bridge")
        self.ip("link", "set", "br0", "up")

    def ip(self, *args):
        return host_run(["ip", "-n", self.netns] + list(args)).stdout


def wait_for(predicate, timeout=5.0, interval=0.02):
    """Polls predicate until it returns a true value or the timeout passes."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            return value
        time.sleep(interval)


class Sandbox:
    """A set of hosts and links; a context manager that removes all of it."""

    def __init__(self, keep=False):
        if os.geteuid() != 0:
            raise RuntimeError("the sandbox needs root (network namespaces, bind mounts)")
        remove_stale_namespaces()
        for mount_point in ("/mivor", "/dev/snap"):
            os.makedirs(mount_point, exist_ok=True)
        self.keep = keep
        self.root = tempfile.mkdtemp(prefix="camsb-")
        os.chmod(self.root, 0o755)
        self.hosts = {}
        self._netns = []
        self._serial = 0

    @classmethod
    def for_test(cls, case):
        """A sandbox removed when case is done: a test (called from setUp) or a
        test class (from setUpClass), also when the rest of its set-up fails."""
        sb = cls()
        if isinstance(case, type):
            case.addClassCleanup(sb.close)
        else:
            case.addCleanup(sb.close)
        return sb

    def binary(self, name, required=True):
        """Path of a built program (CAM_BIN_DIR, else build/normal/bin)."""
        bin_dir = os.environ.get("CAM_BIN_DIR")
        if not bin_dir:
            src = os.environ.get("CAM_SOURCE_DIR", SOURCE_DIR)
            bin_dir = os.path.join(src, "build", "normal", "bin")
        path = os.path.join(bin_dir, name)
        if os.path.exists(path):
            return path
        if required:
            raise RuntimeError("program %s not built (looked in %s)" % (name, bin_dir))
        return None

    def host(self, name, ipv6=True, private_run=False):
        """A new host; ipv6=False keeps IPv6 off its links (no router and
        neighbour solicitations: what makes a LAN of hundreds cost minutes);
        private_run=True gives it a /var/run of its own (Host.run_dir)."""
        self._serial += 1
        h = Host(self, name, ipv6, private_run)
        self.hosts[name] = h
        return h

    def switch(self, name):
        self._serial += 1
        return Switch(self, name)

    @staticmethod
    def _configure(ns, ifname, addrs):
        """Addresses on ifname and the link up: one `ip` run."""
        if isinstance(addrs, str):
            addrs = [addrs]
        steps = ["addr add %s dev %s" % (addr, ifname) for addr in addrs or []]
        steps.append("link set %s up" % ifname)
        host_run(["ip", "-n", ns, "-batch", "-"], input="\n".join(steps) + "\n")

    def link(self, a, if_a, addr_a, b, if_b, addr_b):
        """A veth pair between hosts a and b, both ends up, with the given
        addresses ("10.1.0.1/24", a list of them, or None)."""
        host_run(["ip", "-n", a.netns, "link", "add", if_a, "type", "veth",
              "peer", "name", if_b, "netns", b.netns])
        self._configure(a.netns, if_a, addr_a)
        self._configure(b.netns, if_b, addr_b)

    def attach(self, host, ifname, addr, switch):
        """Connects host to switch with a veth link; returns the switch port name."""
        switch.ports += 1
        port = "p%d" % switch.ports
        host_run(["ip", "-n", host.netns, "link", "add", ifname, "type", "veth",
              "peer", "name", port, "netns", switch.netns])
        switch.ip("link", "set", port, "master", "br0", "up")
        self._configure(host.netns, ifname, addr)
        return port

    def close(self):
        for h in list(self.hosts.values()):
            h.ask_to_end()
        for h in list(self.hosts.values()):
            with contextlib.suppress(Exception):
                h.close()
        for ns in self._netns:
            host_run(["ip", "netns", "del", ns], check=False)
        self._netns = []
        if not self.keep:
            shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False
