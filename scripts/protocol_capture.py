#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Captures real discovery datagrams for docs/protocol.md and prints them as hex.

Runs the built devfinder and the zozid stand-in in a camera host of the device
sandbox, with one client host on the same link:

    cli eth0 192.168.1.50/24 --- eth0 192.168.1.10/24 [cam]  (account admin:1234)

From the client it sends a search, a first-form and an extended-form
modification (each changing the gateway or a DNS server only, so the camera
keeps its address), a MAC set and a modification with a wrong password, and
prints every datagram sent and received, byte for byte, as markdown (for
docs/protocol.md, section "Captured datagrams"); with --samples FILE it also
writes them, named, as the tests' sample file (tests/lib/datagrams.txt). Needs
root and a build (CAM_BIN_DIR, else build/normal/bin):

    CAM_BIN_DIR=build/normal/bin python3 scripts/protocol_capture.py \
        --samples tests/lib/datagrams.txt > /tmp/dumps.md
"""

import argparse
import os
import signal
import socket
import sys

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "lib"))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tools", "python"))

import camdisco  # noqa: E402
import datagrams  # noqa: E402
from campair import CameraPair, udp_client  # noqa: E402
from camsandbox import Sandbox  # noqa: E402

CAM_IP, CLI_IP = "192.168.1.10", "192.168.1.50"
USER, PASSWORD = "admin", "1234"


def hexdump(data):
    lines = []
    for off in range(0, len(data), 16):
        chunk = data[off:off + 16]
        hexes = " ".join("%02x" % b for b in chunk)
        text = "".join(chr(b) if 32 <= b < 127 else "." for b in chunk)
        lines.append("%04x  %-47s  %s" % (off, hexes, text))
    return "\n".join(lines)


def show(title, data, note=""):
    print("%s (%d bytes)%s\n" % (title, len(data), note))
    print("```\n%s\n```\n" % hexdump(data))


def exchange(sock, data, dest, wait):
    """Sends data once (bounded repeats while nothing comes) and returns the first reply."""
    for _ in range(5):
        sock.sendto(data, dest)
        sock.settimeout(wait)
        try:
            return sock.recvfrom(2048)[0]
        except socket.timeout:
            continue
    return None


REPLY_TEXT = "the camera's reply: the request's header with MsgSize 16, its msgid"


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--samples", metavar="FILE",
                    help="also write the datagrams as the tests' sample file")
    opts = ap.parse_args(argv)
    if os.geteuid() != 0:
        print("protocol_capture: needs root (network namespaces)", file=sys.stderr)
        return 1
    samples = []   # datagrams.Sample, in the order they travelled
    with Sandbox() as sb:
        pair = CameraPair(sb, CAM_IP, CLI_IP, gateway="192.168.1.1", mac="00:11:22:33:44:55",
                          user=USER, password=PASSWORD, follow=False, names=("cam", "cli"))
        pair.start()
        cam = pair.cam_host
        sock = udp_client(pair.installer, CLI_IP)
        bcast = ("255.255.255.255", camdisco.PORT)

        req = camdisco.encode_search(seq=0x00000101)
        rsp = exchange(sock, req, bcast, 2.0)
        if rsp is None:
            raise RuntimeError("no search reply: " + cam.errors("devfinder")[-2000:])
        dev = camdisco.SearchReply.unpack(rsp)
        print("#### Search\n")
        show("Request, broadcast from %s" % CLI_IP, req)
        show("Reply from %s" % CAM_IP, rsp)
        samples.append(datagrams.Sample("search_request", "search, broadcast from the client "
                                        "192.168.1.50 (Seq 0x101)", req))
        samples.append(datagrams.Sample(
            "search_reply", "the camera's reply from 192.168.1.10: IP 192.168.1.10, NetMask "
            "255.255.255.0, GateWay, DNS1 and DNS2 0.0.0.0, Port and IEPort 85, NetworkMode 2 "
            "(static), DevTypeULL 0x5658040200080000, DeviceID 1010, MacAddr 00-11-22-33-44-55, "
            "ChannelNum 4, Version 1", rsp))

        def modify(name, what, title, req, seq, dest=bcast, wait=2.0):
            data = req.pack(seq=seq)
            got = exchange(sock, data, dest, wait)
            print("#### %s\n" % title)
            show("Request, %s" % ("broadcast" if dest == bcast else "unicast to " + dest[0]),
                 data)
            samples.append(datagrams.Sample(name + "_request", what + " (Seq 0x%x)" % seq, data))
            if got is None:
                print("No reply.\n")
            else:
                show("Reply", got)
                samples.append(datagrams.Sample(name + "_reply", REPLY_TEXT, got))

        base = dict(user=USER, password=PASSWORD, target=dev.ip, ip=dev.ip, netmask=dev.netmask,
                    gateway="192.168.1.1", dns1="0.0.0.0", dns2="0.0.0.0",
                    media_port=dev.media_port, web_port=dev.web_port, mode=camdisco.MODE_STATIC,
                    mode_valid=True)
        modify("modify_first", "modification, first form (MsgSize 72), broadcast: admin/1234, "
               "cip and ip 192.168.1.10, netmask 255.255.255.0, gateway 192.168.1.254, ports 85, "
               "wMode 2, wNewFlag 1", "Modification, first form: gateway 192.168.1.254",
               camdisco.ModifyRequest(extended=False, msgid=b"PY00000000000201",
                                      **dict(base, gateway="192.168.1.254")), 0x201)
        modify("modify_extended", "modification, extended form (MsgSize 116), broadcast: as the "
               "first form, first DNS server 192.168.1.53, devTypeULL 0x5658040200080000, "
               "macAddr 00-11-22-33-44-55",
               "Modification, extended form: first DNS server 192.168.1.53",
               camdisco.ModifyRequest(device_type_code=dev.device_type_code, mac=dev.mac,
                                      msgid=b"PY00000000000301",
                                      **dict(base, gateway="192.168.1.254", dns1="192.168.1.53")),
               0x301)
        modify("mac_set", "MAC set (extended form, ZizodSetMac 1), unicast to 192.168.1.10: "
               "macAddr 02-11-22-33-44-55", "MAC set: 02-11-22-33-44-55",
               camdisco.ModifyRequest(set_mac=True, device_type_code=dev.device_type_code,
                                      mac="02-11-22-33-44-55", msgid=b"PY00000000000401",
                                      **dict(base, gateway="192.168.1.254", dns1="192.168.1.53")),
               0x401, dest=(CAM_IP, camdisco.PORT))
        modify("wrong_password", "modification, extended form, broadcast, password 4321 "
               "(wrong): no reply", "Modification with a wrong password",
               camdisco.ModifyRequest(device_type_code=dev.device_type_code,
                                      mac="02-11-22-33-44-55", msgid=b"PY00000000000501",
                                      **dict(base, password="4321", gateway="192.168.1.2")),
               0x501, wait=0.5)
        sock.close()
        with open(os.path.join(cam.mivor, "network.ini")) as f:
            print("Settings file afterwards:\n\n```\n%s```" % f.read())
    if opts.samples:
        with open(opts.samples, "w") as f:
            f.write(datagrams.format_file(samples))
    return 0


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(1))
    sys.exit(main(sys.argv[1:]))
