#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The report of bench/size.sh (which makes the builds first):

    python3 bench/size_report.py BUILD_ROOT [--update]

Reads BUILD_ROOT/size-<arch>-<link>/bin/{devfinder,stillcgi} and their linker
maps, measures devfinder's private dirty memory in the device sandbox (as root
only), prints the figures and, with --update, writes them into
bench/README.md, section "Flash and memory". Exit status 1 when an armhf
budget is exceeded.
"""

import collections
import datetime
import os
import re
import socket
import struct
import subprocess
import sys
import tempfile
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SRC, "tests", "lib"))

from campair import link_pair  # noqa: E402
from camprocs import udp_port_bound  # noqa: E402
from camsandbox import Sandbox  # noqa: E402

ARCHES = (("x86_64", "strip"), ("armhf", "arm-linux-gnueabihf-strip"))
LINKS = ("dynamic", "static")
PROGRAMS = ("devfinder", "stillcgi")
KB = 1024
# armhf, stripped: hard budgets; the static CGI is reported against its aim.
BUDGETS = {("devfinder", "dynamic"): 72 * KB, ("stillcgi", "dynamic"): 96 * KB}
AIMS = {("stillcgi", "static"): 1024 * KB}
HEADING = "## Flash and memory (bench/size.sh)"
INI = ("dhcp=0\nipaddr=192.168.1.10\nnetmask=255.255.255.0\ngateway=192.168.1.1\n"
       "macaddr=00:11:22:33:44:55\nnettype=0\nipv6addr=\nipv6prefixlength=0\nipv6gateway=\n")


def stripped_size(strip, path):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "stripped")
        subprocess.run([strip, "-o", out, path], check=True)
        return os.path.getsize(out)


# Sections that take no flash, or that strip removes.
NOT_ON_FLASH = re.compile(r"^\.(debug|comment|bss|tbss|ARM\.attributes|gnu\.attributes|"
                          r"note\.gnu\.property|stab|gnu_debuglink)")


# Made by the linker (its map names the first input file for them).
DYNAMIC_TABLES = re.compile(r"^\.(interp|hash|gnu\.hash|dynsym|dynstr|gnu\.version\S*|"
                            r"rela?\..*|i?plt|got|got\.plt|dynamic)$")
# Members, vtables and type data of DevInterface and its role interfaces
# (IPreview ... IMdvr), and the full vtable of the daemon's NetInterface, as
# their mangled section names show them.
FACADE = re.compile(r"_Z(N|TV|TI|TS)\d+(DevInterface|I[A-Z][a-z]+[A-Za-z]*)|_ZTV\d+NetInterface")


def map_breakdown(path, build_dir):
    """Bytes each input archive (or the project's own objects) puts in the
    program's allocated sections, from a GNU ld map; largest first."""
    sizes = collections.Counter()
    with open(path, errors="replace") as f:
        text = f.read()
    start = text.find("Linker script and memory map")
    pending = None
    for line in text[start:].splitlines():
        # An input section: " .name 0xADDR 0xSIZE file", or its name alone on
        # one line and the rest on the next.
        m = re.match(r"^ (\.\S+)\s*$", line)
        if m:
            pending = m.group(1)
            continue
        m = re.match(r"^ (\.\S+)\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+(\S.*)$", line)
        if m:
            name, size, origin = m.group(1), int(m.group(2), 16), m.group(3)
        else:
            m = re.match(r"^\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+(\S.*)$", line)
            if not (m and pending):
                pending = None
                continue
            name, size, origin = pending, int(m.group(1), 16), m.group(2)
        pending = None
        if NOT_ON_FLASH.match(name) or size == 0:
            continue
        archive = re.match(r"^(.*\.a)\(", origin)
        if DYNAMIC_TABLES.match(name):
            key = "dynamic linking tables and relocations"
        elif FACADE.search(name):
            key = "the device facade's default bodies, vtables and names"
        elif archive:
            key = os.path.basename(archive.group(1))
        elif origin.startswith(build_dir):
            key = "the program's own objects"
        else:
            key = os.path.basename(origin)
        sizes[key] += size
    return sizes.most_common()


def private_dirty_kb(pid):
    with open("/proc/%d/smaps_rollup" % pid) as f:
        return int(re.search(r"^Private_Dirty:\s+(\d+) kB", f.read(), re.M).group(1))


def daemon_memory(binary):
    """Private dirty kB of devfinder after start (UDP 9333 bound) and after one
    answered search, in a camera host of the device sandbox."""
    with Sandbox() as sb:
        cam, cli = link_pair(sb, "10.1.0.1", "10.1.0.2")
        with open(os.path.join(cam.mivor, "network.ini"), "w") as f:
            f.write(INI)
        proc = cam.start([binary], name="devfinder")
        pid = proc.program_pid
        if not (pid and cam.wait_for(lambda: udp_port_bound(pid, 9333), 20)):
            raise RuntimeError("devfinder did not start: " + cam.errors("devfinder"))
        idle = private_dirty_kb(pid)
        sock = cli.socket()
        sock.bind(("10.1.0.2", 0))
        sock.settimeout(0.2)
        for _ in range(50):
            sock.sendto(struct.pack("<BBHHHII", 1, 0, 0, 11, 0, 0, 1), ("10.1.0.1", 9333))
            try:
                sock.recvfrom(2048)
                break
            except socket.timeout:
                continue
        else:
            raise RuntimeError("devfinder does not answer")
        sock.close()
        return idle, private_dirty_kb(pid)


def kb(n):
    return "%.1f" % (n / KB)


def main():
    args = [a for a in sys.argv[1:] if a != "--update"]
    update = "--update" in sys.argv[1:]
    root = os.path.abspath(args[0] if args else os.path.join(SRC, "build"))
    sizes = {}
    for arch, strip in ARCHES:
        for link in LINKS:
            for program in PROGRAMS:
                path = os.path.join(root, "size-%s-%s" % (arch, link), "bin", program)
                sizes[program, arch, link] = stripped_size(strip, path)

    lines = ["| program | arch | link | stripped bytes | KB | budget (armhf) |",
             "|---|---|---|---|---|---|"]
    over = []
    for program in PROGRAMS:
        for arch, _ in ARCHES:
            for link in LINKS:
                size = sizes[program, arch, link]
                note = ""
                if arch == "armhf":
                    if (program, link) in BUDGETS:
                        limit = BUDGETS[program, link]
                        ok = size <= limit
                        note = "<= %d KB: %s" % (limit // KB, "met" if ok else "EXCEEDED")
                        if not ok:
                            over.append((program, link))
                    elif (program, link) in AIMS:
                        limit = AIMS[program, link]
                        note = "aim < %d KB: %s" % (limit // KB,
                                                    "met" if size < limit else "missed")
                lines.append("| %s | %s | %s | %d | %s | %s |"
                             % (program, arch, link, size, kb(size), note))

    memory = {}
    if os.geteuid() == 0:   # the device sandbox's namespaces
        for link in LINKS:
            memory[link] = daemon_memory(os.path.join(root, "size-x86_64-%s" % link, "bin",
                                                      "devfinder"))

    def breakdown(arch, link, program, top=6):
        build_dir = os.path.join(root, "size-%s-%s" % (arch, link))
        parts = map_breakdown(os.path.join(build_dir, program + ".map"), build_dir)
        total = sum(size for _, size in parts)
        shown = ["%s %s KB (%d %%)" % (name, kb(size), round(100.0 * size / total))
                 for name, size in parts[:top] if size * 100 >= total]
        rest = total - sum(size for _, size in parts[:len(shown)])
        if rest:
            shown.append("the rest %s KB" % kb(rest))
        return "%s KB in all: %s" % (kb(total), ", ".join(shown))

    gcc = subprocess.run(["arm-linux-gnueabihf-gcc", "-dumpfullversion"], stdout=subprocess.PIPE,
                         text=True).stdout.strip()

    def para(text, indent=""):
        # A number stays on one line with its unit.
        glued = re.sub(r"(\d) (KB|kB|%)", "\\1\u00a0\\2", text)
        return textwrap.fill(glued, 90, initial_indent=indent,
                             subsequent_indent=" " * len(indent) if indent else ""
                             ).replace("\u00a0", " ")

    out = [HEADING, "",
           para("`bench/size.sh` builds both programs as a camera build (build type "
                "`Camera`: `-Os`, `-ffunction-sections -fdata-sections`, `--gc-sections`; no "
                "tests, no tools) for x86-64 and for armhf (Debian's arm-linux-gnueabihf-gcc "
                "%s), each linked dynamically (`-DCAM_STILLCGI_STATIC=OFF`) and fully "
                "statically (`-static`), and measures the stripped programs. Figures of %s:"
                % (gcc, datetime.date.today().isoformat())),
           ""] + lines + [
           "",
           para("`devfinder` private dirty memory (x86-64, /proc/<pid>/smaps_rollup, in the "
                "device sandbox): dynamic %d kB after start, %d kB after one search; static "
                "%d kB and %d kB. Not measured for armhf: under qemu-arm the emulator's own "
                "memory would be counted." % (memory["dynamic"] + memory["static"])
                if memory else "`devfinder` private dirty memory: not measured (the device "
                "sandbox needs root).", "- "),
           para("What takes the space, from the linker's map (allocated input sections, "
                "before stripping and alignment):", "- "),
           para("`devfinder`, armhf, dynamic: " + breakdown("armhf", "dynamic", "devfinder"),
                "  - "),
           para("`stillcgi`, armhf, dynamic: " + breakdown("armhf", "dynamic", "stillcgi"),
                "  - "),
           para("`stillcgi`, armhf, static: " + breakdown("armhf", "static", "stillcgi"),
                "  - "),
           ""]
    if over:
        out.insert(-1, para("Budgets exceeded: " + ", ".join("%s (%s)" % o for o in over),
                            "- "))
    report = "\n".join(out)
    print(report)
    if not update:
        return 1 if over else 0

    readme = os.path.join(HERE, "README.md")
    with open(readme) as f:
        text = f.read()
    at = text.find(HEADING)
    if at < 0:
        text = text.rstrip("\n") + "\n\n" + report
    else:
        end = text.find("\n## ", at + len(HEADING))
        text = text[:at] + report + ("" if end < 0 else text[end:])
    with open(readme, "w") as f:
        f.write(text.rstrip("\n") + "\n")
    return 1 if over else 0


if __name__ == "__main__":
    sys.exit(main())
