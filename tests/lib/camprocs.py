# SPDX-License-Identifier: MIT
"""Process inspection for the sandbox: who runs below whom, what a stalled
command is doing, which processes live in a host's PID namespace and which
ports a network namespace serves. Everything is read from /proc; nothing here
starts or ends a process.

    kids = children(pid)                      # direct children, [] when none or gone
    sys.stderr.write(stall_report(pid, "devsearch still running after 60 s"))
    udp_port_bound(daemon_pid, 9333)          # in the namespace of daemon_pid
"""

import os
import selectors
import time


def read_line(stream, timeout):
    """The first line a binary pipe delivers within timeout seconds (shorter
    when the writer ended or the time ran out: then whatever came)."""
    deadline = time.monotonic() + timeout
    fd = stream.fileno()
    got = b""
    with selectors.DefaultSelector() as sel:
        sel.register(fd, selectors.EVENT_READ)
        while not got.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not sel.select(left):
                break
            chunk = os.read(fd, 256)
            if not chunk:
                break
            got += chunk
    return got


def pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _stat_fields(stat):
    """The fields after "pid (comm)" of a /proc/<pid>/stat line: comm may hold
    blanks and parentheses, so the split starts after the last ")"."""
    return stat[stat.rfind(")") + 2:].split()


def _comm(stat):
    return stat[stat.find("(") + 1:stat.rfind(")")]


def kernel_children(pid):
    """The kernel's list of pid's children (empty when it has none or is gone)."""
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(x) for x in f.read().split()]
    except (FileNotFoundError, ProcessLookupError):
        return []


def children(pid):
    """PIDs of the direct children of pid (empty when it has none or is gone).

    The kernel's children list can miss a child of a running task, so an empty
    answer is checked against the parent field of every process."""
    kids = kernel_children(pid)
    if kids or not os.path.exists("/proc/%d" % pid):
        return kids
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = _stat_fields(f.read())
        except OSError:
            continue
        if len(fields) > 1 and int(fields[1]) == pid:
            kids.append(int(entry))
    return kids


def descendants(pid):
    """pid and every process below it, parents before children."""
    found, queue = [], [pid]
    while queue and len(found) < 256:
        p = queue.pop(0)
        found.append(p)
        queue.extend(children(p))
    return found


def _read_text(path):
    try:
        with open(path) as f:
            return f.read().strip()
    except OSError as e:
        return "(%s)" % e.strerror


def _proc_text(pid, name):
    return _read_text("/proc/%d/%s" % (pid, name))


def stall_report(pid, title):
    """What pid and the processes below it are doing: state, CPU time, the
    kernel function each waits in and its system call. Written when a command
    outlives its bound, so that a stall can be told from a slow machine."""
    lines = ["--- %s" % title, "load: " + _read_text("/proc/loadavg")]
    pressure = _read_text("/proc/pressure/cpu")
    if not pressure.startswith("("):
        lines.append("cpu pressure: " + pressure.replace("\n", " | "))
    tick = os.sysconf("SC_CLK_TCK")
    for p in descendants(pid):
        stat = _proc_text(p, "stat")
        fields = _stat_fields(stat)
        cpu = ("user %.2f s sys %.2f s" % (int(fields[11]) / tick, int(fields[12]) / tick)
               if len(fields) > 12 else "")
        lines.append("pid %d (%s) state %s %s wchan %s syscall %s" % (
            p, _comm(stat), fields[0] if fields else "?", cpu, _proc_text(p, "wchan"),
            _proc_text(p, "syscall")))
        stack = _proc_text(p, "stack")
        if stack and not stack.startswith("("):
            lines.extend("    " + line for line in stack.splitlines()[:12])
    return "\n".join(lines) + "\n---\n"


def namespace_processes(member_pid):
    """(pid, command name, state letter) of every process in the PID namespace
    of member_pid, as the build machine numbers them; empty when it is gone."""
    try:
        own = os.readlink("/proc/%d/ns/pid" % member_pid)
    except OSError:
        return []
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if os.readlink("/proc/%s/ns/pid" % entry) != own:
                continue
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
        except OSError:  # gone meanwhile
            continue
        fields = _stat_fields(stat)
        found.append((int(entry), _comm(stat), fields[0] if fields else "?"))
    return found


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


def udp_port_bound(pid, port):
    """True when the network namespace of pid has a UDP socket on port."""
    return _port_in("/proc/%d/net/udp" % pid, port)


def tcp_port_listening(pid, port):
    """True when the network namespace of pid listens on TCP port, over IPv4 or
    IPv6 (busybox httpd listens on [::]:port, which serves IPv4 as well)."""
    return (_port_in("/proc/%d/net/tcp" % pid, port, "0A") or
            _port_in("/proc/%d/net/tcp6" % pid, port, "0A"))
