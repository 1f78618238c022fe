# SPDX-License-Identifier: MIT
"""The Wireshark dissector (tools/wireshark/devfinder.lua) against real traffic.

A camera host (stand-in zozid, the real devfinder) and an installer host are joined by a
veth link in the namespace sandbox (campair). devsearch searches, modifies in both forms
and sets a MAC; the datagrams devsearch never sends (a search with extension words, a MAC
set whose reply carries them, a short, a cut and an over-long modification request, an
unknown type) are built here with the Python client package. A packet socket on the
installer's link writes the pcap file; tshark with the dissector decodes it, and every
field must read as the bytes that travelled, which camdisco (checked against hand-written
bytes in its own tests) takes apart. The captured datagrams of the sample file
(tests/lib/datagrams.txt) are decoded the same way, as frames written here."""

import os
import select
import shutil
import socket
import struct
import subprocess
import tempfile
import time
import unittest

import camdisco
import datagrams
from camdisco import Header, ModifyRequest
from campair import CameraPair
from cameras import parse_json_lines
from camsandbox import Sandbox, wait_for

CAM_IP, NEW_IP, INSTALLER_IP, GATEWAY, PREFIX = (
    "10.89.0.10", "10.89.0.20", "10.89.0.2", "10.89.0.1", 24)
MAC, DEV_MAC, NEW_MAC = "02:C5:00:00:AA:02", "02-C5-00-00-AA-02", "02-C5-00-00-BE-EF"
USER, PASSWORD = "admin", "Pw-9333-x"
PORT = 9333
SLOW = ("--timeout", "2")   # the machine may be busy: no hurry
ETH_P_ALL = 0x0003

LUA = os.path.join(os.environ.get("CAM_SOURCE_DIR", os.path.join(os.path.dirname(
    os.path.abspath(__file__)), "..", "..")), "tools", "wireshark", "devfinder.lua")

HEAD_FIELDS = ("devfinder.version", "devfinder.ext_size", "devfinder.reserved",
               "devfinder.ack_flag", "devfinder.msg_type", "devfinder.msg_subtype",
               "devfinder.msg_size", "devfinder.seq")
SEARCH_FIELDS = ("ip", "hostname", "netmask", "gateway", "dns1", "dns2", "port", "web_port",
                 "network_mode", "dev_type", "dev_type_code", "dev_ver", "device_id",
                 "device_name", "mac", "channels", "record_version", "net_interface",
                 "p2p_id", "reserved")
MOD_FIELDS = ("msgid", "user", "pwd", "cip", "ip", "mask", "gw", "dns1", "dns2", "media_port",
              "web_port", "mode", "new_flag", "set_mac", "reserved", "dev_type_code", "mac")
EXPERTS = ("short_header", "short_body", "bad_size", "over_read", "unknown_type")
FIELDS = (("frame.number", "devfinder.reply", "devfinder.mod.form", "devfinder.ext_words",
           "devfinder.ignored") + HEAD_FIELDS +
          tuple("devfinder.dev." + n for n in SEARCH_FIELDS) +
          tuple("devfinder.mod." + n for n in MOD_FIELDS) +
          tuple("devfinder.expert." + n for n in EXPERTS))


def text(raw):
    return raw.split(b"\0", 1)[0].decode()


def search_expect(payload):
    """Field values of a search reply, from its bytes (the dissector's fields are in the
    order of the wire's)."""
    raw = camdisco.SearchReply.unpack(payload).fields
    out = {}
    for name, wire in zip(SEARCH_FIELDS, camdisco.SEARCH_BODY_OFFSETS):
        value = raw[wire]
        if name == "reserved":
            value = value.hex()
        elif isinstance(value, bytes):
            value = text(value)
        out["devfinder.dev." + name] = value
    return out


def mod_expect(payload, pwd_shown):
    """Field values of a modification request, from its bytes (its MsgSize picks the form)."""
    _, req = ModifyRequest.unpack(payload)
    values = (req.msgid.hex(), req.user, req.password, req.target, req.ip, req.netmask,
              req.gateway, req.dns1, req.dns2, req.media_port, req.web_port, req.mode,
              int(req.mode_valid), int(req.set_mac), req.reserved)
    if req.extended:
        values += (req.device_type_code, req.mac)
    out = {"devfinder.mod.form": "extended" if req.extended else "first"}
    for name, value in zip(MOD_FIELDS, values):
        if name == "pwd" and value and not pwd_shown:
            value = "********"
        out["devfinder.mod." + name] = value
    return out


def head_expect(payload):
    h = Header.unpack(payload)
    return dict(zip(HEAD_FIELDS, (h.version, h.ext_size, h.reserved, h.ack_flag, h.msg_type,
                                  h.sub_type, h.msg_size, h.seq)))


class LinkCapture:
    """IPv4 UDP frames to or from the discovery port on one interface of a sandbox host,
    read from a packet socket made inside the host's network namespace, and written out
    as a pcap file (Ethernet link type)."""

    def __init__(self, host, ifname):
        self.ifname = ifname
        self.sock = host.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
        self.sock.bind((ifname, ETH_P_ALL))
        self.sock.setblocking(False)
        self.frames = []   # (time, Ethernet frame, UDP source port, destination port, payload)
        self.drain()
        self.frames = []   # whatever came before the bind

    def close(self):
        self.sock.close()

    def drain(self):
        for _ in range(100000):
            try:
                frame, addr = self.sock.recvfrom(65535)
            except BlockingIOError:
                return
            if addr[0] != self.ifname or len(frame) < 42 or frame[12:14] != b"\x08\x00":
                continue
            ihl = (frame[14] & 0x0F) * 4
            if frame[23] != 17 or len(frame) < 14 + ihl + 8:
                continue
            sport, dport, ulen = struct.unpack_from("!HHH", frame, 14 + ihl)
            if PORT in (sport, dport):
                payload = frame[14 + ihl + 8:14 + ihl + ulen]
                self.frames.append((time.time(), frame, sport, dport, payload))

    def wait(self, predicate, start=0, timeout=10.0):
        """Index of the first frame from index start on whose (source port, destination
        port, payload) matches; polls (bounded) for it. Raises when none comes."""
        def find():
            self.drain()
            for i in range(start, len(self.frames)):
                if predicate(*self.frames[i][2:]):
                    return i + 1   # 0 would read as "not yet"
            return 0
        found = wait_for(find, timeout)
        if not found:
            raise AssertionError("no such frame among %d captured" % len(self.frames))
        return found - 1

    def write(self, path):
        self.drain()
        write_pcap(path, [(stamp, frame) for stamp, frame, _, _, _ in self.frames])


def write_pcap(path, frames):
    """A pcap file (Ethernet link type) of (time, frame) pairs."""
    with open(path, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        for stamp, frame in frames:
            f.write(struct.pack("<IIII", int(stamp), int(stamp % 1 * 1e6), len(frame),
                                len(frame)))
            f.write(frame)


def udp_frame(src, sport, dst, dport, payload):
    """An Ethernet frame carrying one IPv4/UDP datagram (checksums left 0)."""
    udp = struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0x4000, 64, 17, 0,
                     socket.inet_aton(src), socket.inet_aton(dst))
    return b"\xff" * 6 + b"\x02\x00\x00\x00\x00\x01\x08\x00" + ip + udp


def decode(tshark, pcap, home, *prefs):
    """Every frame of pcap as tshark with the dissector reads it: {field: text}."""
    argv = [tshark, "-r", pcap, "-X", "lua_script:" + LUA, "-n", *prefs,
            "-T", "fields", "-E", "separator=/t", "-E", "occurrence=a",
            "-E", "aggregator=|"]
    for field in FIELDS:
        argv += ["-e", field]
    # a home of its own: no personal preferences are read, none are written
    env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, "config"))
    res = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                         timeout=180, env=env)
    if res.returncode != 0:
        raise RuntimeError("tshark failed (%d): %s" % (res.returncode, res.stderr))
    return [dict(zip(FIELDS, line.split("\t"))) for line in res.stdout.splitlines()]


def assert_decoded(test, row, expected, where):
    """Each expected field of one decoded row, as the value it should read as."""
    for field, want in expected.items():
        got = row[field]
        if isinstance(want, bool):
            got = got in ("1", "True")
        elif isinstance(want, int):
            got = int(got, 0) if got else None
        test.assertEqual(want, got, "%s, %s" % (where, field))


def full_expect(payload, is_reply, pwd_shown=False):
    """Every field the dissector shows of one datagram, from its bytes."""
    expected = dict(head_expect(payload), **{"devfinder.reply": is_reply})
    if expected["devfinder.msg_type"] != 12:
        expected.update(search_expect(payload) if is_reply else {})
    elif not is_reply:
        expected.update(mod_expect(payload, pwd_shown))
    return expected


def request(mtype, pred=None):
    return lambda sport, dport, p: (dport == PORT and len(p) >= camdisco.HEAD_SIZE and
                                    Header.unpack(p).msg_type == mtype and
                                    (pred is None or pred(p)))


def reply(mtype, seq=None):
    return lambda sport, dport, p: (sport == PORT and dport != PORT and
                                    len(p) >= camdisco.HEAD_SIZE and
                                    Header.unpack(p).msg_type == mtype and
                                    (seq is None or Header.unpack(p).seq == seq))


def set_mac_flag(p):
    try:
        return ModifyRequest.unpack(p)[1].set_mac
    except camdisco.MalformedDatagram:
        return False


class DissectorOnRealTraffic(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tshark = shutil.which("tshark")
        if not cls.tshark:
            raise RuntimeError("tshark is not installed (bash scripts/install-deps.sh)")
        cls.tmp = tempfile.mkdtemp(prefix="dissector-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp, ignore_errors=True)
        with Sandbox() as cls.sb:
            cls.pair = CameraPair(cls.sb, CAM_IP, INSTALLER_IP, PREFIX, GATEWAY, MAC, USER,
                                  PASSWORD, default_route=True).start()
            cls.inst, cls.cam = cls.pair.installer, cls.pair.camera
            cls.cap = LinkCapture(cls.inst, "eth0")
            try:
                cls.run_traffic()
                cls.pcap = os.path.join(cls.tmp, "lan.pcap")
                cls.cap.write(cls.pcap)
            finally:
                cls.cap.close()
        cls.rows = cls.decode()
        cls.rows_shown = cls.decode("-o", "devfinder.show_password:TRUE")

    # -- traffic ---------------------------------------------------------------------
    @classmethod
    def ds(cls, *args):
        res = cls.pair.devsearch(*args)
        if res.returncode != 0:
            raise RuntimeError("devsearch %s: %s %s\n%s" % (args, res.stdout, res.stderr,
                                                            cls.cam.discovery_log()[-1500:]))
        return res

    @classmethod
    def wait_camera_at(cls, ip):
        if not wait_for(lambda: "%s/%d" % (ip, PREFIX) in cls.cam.live_addresses(), 10):
            raise RuntimeError("camera not at %s: %s" % (ip, cls.cam.live_addresses()))

    @classmethod
    def exchange(cls, datagram, want_reply):
        """Sends a datagram built here to the camera; returns its reply (or None)."""
        s = cls.inst.socket()
        try:
            s.bind((INSTALLER_IP, 0))
            s.sendto(datagram, (CAM_IP, PORT))
            if not want_reply:
                return None
            ready, _, _ = select.select([s], [], [], 10.0)
            if not ready:
                raise RuntimeError("no reply: %s" % cls.cam.discovery_log()[-1500:])
            return s.recv(4096)
        finally:
            s.close()

    @classmethod
    def run_traffic(cls):
        cap = cls.cap
        cls.devices = parse_json_lines(cls.ds("search", "--json", *SLOW).stdout)
        cls.f_search = (cap.wait(request(11)), cap.wait(reply(11)))

        reloads = cls.cam.reloads()
        cls.ds("modify", DEV_MAC, "--user", USER, "--password", PASSWORD, "--ip", NEW_IP,
               "--dns1", "10.89.0.53", "--dns2", "9.9.9.9", "--media-port", "8554",
               "--web-port", "8080", "--static", *SLOW)
        cls.f_ext = (cap.wait(request(12, lambda p: len(p) == 132)), cap.wait(reply(12)))
        if not wait_for(lambda: cls.cam.reloads() > reloads, 10):
            raise RuntimeError("the extended request was not applied")
        cls.wait_camera_at(NEW_IP)

        start = len(cap.frames)
        cls.ds("modify", NEW_IP, "--legacy", "--user", USER, "--password", PASSWORD, "--ip",
               CAM_IP, *SLOW)
        cls.f_first = (cap.wait(request(12, lambda p: len(p) == 88)),
                       cap.wait(reply(12), start))
        cls.wait_camera_at(CAM_IP)

        start = len(cap.frames)
        cls.ds("set-mac", CAM_IP, NEW_MAC.lower().replace("-", ":"), "--user", USER,
               "--password", PASSWORD, *SLOW)
        cls.f_setmac = (cap.wait(request(12, set_mac_flag)), cap.wait(reply(12), start))
        if not wait_for(lambda: cls.cam.settings()["macaddr"] == "02:C5:00:00:BE:EF", 10):
            raise RuntimeError("MAC not set: %s" % cls.cam.settings())

        # a search of the third code with every header field set, ExtSize 5 among them:
        # the reply echoes the header, and its body still starts at 16
        cls.seq_ext = 0x8BADF00D
        rsp = cls.exchange(Header(620, seq=cls.seq_ext, ack_flag=0x1234, sub_type=0x55AA,
                                  version=1, ext_size=5, reserved=7).pack(), True)
        if len(rsp) != 464:
            raise RuntimeError("search reply of %d bytes" % len(rsp))
        cls.f_search_ext = cap.wait(reply(620, cls.seq_ext))

        # a MAC set (back to the first MAC) with ExtSize 2: two zero words before the msgid
        dev = cls.devices[0]
        mac_set = ModifyRequest(user=USER, password=PASSWORD, target=CAM_IP, mode=0,
                                mode_valid=False, set_mac=True,
                                device_type_code=int(dev["device_type_code"], 16), mac=DEV_MAC,
                                msgid=b"X2-msgid-ext2-00")
        cls.seq_mac2 = 4242
        rsp = cls.exchange(mac_set.pack(header=Header(12, seq=cls.seq_mac2, ext_size=2)), True)
        if len(rsp) != 40 or rsp[24:40] != b"X2-msgid-ext2-00":
            raise RuntimeError("MAC set reply %r" % rsp)
        cls.f_mac_ext2 = cap.wait(reply(12, cls.seq_mac2))

        # datagrams the device must not act on (cip names no device here)
        first = ModifyRequest(user="nobody", password="", target="10.89.0.99", mode=0,
                              mode_valid=False, extended=False,
                              msgid=b"X3-msgid-cut-000").body()
        cls.malformed = {
            "short": camdisco.encode_search()[:10],
            "cut_extended": Header(12, msg_size=116, seq=501).pack() + first,
            "first_in_132": Header(12, msg_size=72, seq=502).pack() + first + bytes(44),
            "over_read": Header(12, msg_size=72, seq=503).pack() + first + bytes(100),
            "unknown_type": Header(13, seq=504).pack(),
        }
        cls.f_bad = {}
        for name, datagram in cls.malformed.items():
            cls.exchange(datagram, False)
            cls.f_bad[name] = cap.wait(lambda s, d, p, dg=datagram: d == PORT and p == dg)

    # -- decoding ----------------------------------------------------------------------
    @classmethod
    def decode(cls, *prefs):
        rows = decode(cls.tshark, cls.pcap, cls.tmp, *prefs)
        if len(rows) != len(cls.cap.frames):
            raise RuntimeError("tshark read %d frames of %d" % (len(rows), len(cls.cap.frames)))
        return rows

    def payload(self, index):
        return self.cap.frames[index][4]

    def assertDecoded(self, index, expected, rows=None):
        assert_decoded(self, (rows or self.rows)[index], expected, "frame %d" % (index + 1))

    def assertFullyDecoded(self, index, rows=None, pwd_shown=False):
        expected = full_expect(self.payload(index), self.cap.frames[index][2] == PORT, pwd_shown)
        self.assertDecoded(index, expected, rows)
        return expected

    # -- the tests ---------------------------------------------------------------------
    def test_search_request_and_reply(self):
        req, rsp = self.f_search
        self.assertFullyDecoded(req)
        d = self.assertFullyDecoded(rsp)
        # ... and the values are the camera's, as devsearch read them
        dev = self.devices[0]
        self.assertEqual((CAM_IP, "255.255.255.0", GATEWAY, DEV_MAC, 2, 85, 85),
                         (d["devfinder.dev.ip"], d["devfinder.dev.netmask"],
                          d["devfinder.dev.gateway"], d["devfinder.dev.mac"],
                          d["devfinder.dev.network_mode"], d["devfinder.dev.port"],
                          d["devfinder.dev.web_port"]))
        self.assertEqual(int(dev["device_type_code"], 16), d["devfinder.dev.dev_type_code"])
        self.assertEqual((dev["channels"], dev["device_id"], 1),
                         (d["devfinder.dev.channels"], d["devfinder.dev.device_id"],
                          d["devfinder.dev.record_version"]))
        for key, field in (("version", "dev_ver"), ("name", "device_name"),
                           ("hostname", "hostname"), ("device_type", "dev_type"),
                           ("p2p_id", "p2p_id"), ("dns1", "dns1"), ("dns2", "dns2")):
            self.assertEqual(dev[key], d["devfinder.dev." + field], key)
        self.assertEqual("", self.rows[rsp]["devfinder.ignored"])

    def test_search_reply_body_at_16_whatever_extsize(self):
        d = self.assertFullyDecoded(self.f_search_ext)
        self.assertEqual((1, 5, 7, 0x1234, 620, 0x55AA, 448, 0x8BADF00D),
                         tuple(d[f] for f in HEAD_FIELDS))
        self.assertEqual(CAM_IP, d["devfinder.dev.ip"])
        self.assertEqual("", self.rows[self.f_search_ext]["devfinder.ext_words"])

    def test_extended_modification(self):
        req, rsp = self.f_ext
        d = self.assertFullyDecoded(req)
        self.assertEqual(
            ("extended", USER, "********", CAM_IP, NEW_IP, "255.255.255.0", GATEWAY,
             "10.89.0.53", "9.9.9.9", 8554, 8080, 2, 1, 0, DEV_MAC, 116),
            tuple(d[k] for k in (
                "devfinder.mod.form", "devfinder.mod.user", "devfinder.mod.pwd",
                "devfinder.mod.cip", "devfinder.mod.ip", "devfinder.mod.mask",
                "devfinder.mod.gw", "devfinder.mod.dns1", "devfinder.mod.dns2",
                "devfinder.mod.media_port", "devfinder.mod.web_port", "devfinder.mod.mode",
                "devfinder.mod.new_flag", "devfinder.mod.set_mac", "devfinder.mod.mac",
                "devfinder.msg_size")))
        self.assertEqual(int(self.devices[0]["device_type_code"], 16),
                         d["devfinder.mod.dev_type_code"])
        self.assertModReply(rsp, self.payload(req))

    def test_first_modification_form(self):
        req, rsp = self.f_first
        d = self.assertFullyDecoded(req)
        self.assertEqual(("first", NEW_IP, CAM_IP, 72, 88),
                         (d["devfinder.mod.form"], d["devfinder.mod.cip"],
                          d["devfinder.mod.ip"], d["devfinder.msg_size"],
                          len(self.payload(req))))
        # the extension is not part of this form
        self.assertEqual(("", ""), (self.rows[req]["devfinder.mod.mac"],
                                    self.rows[req]["devfinder.mod.dev_type_code"]))
        self.assertModReply(rsp, self.payload(req))

    def test_mac_set(self):
        req, rsp = self.f_setmac
        d = self.assertFullyDecoded(req)
        self.assertEqual(("extended", 1, NEW_MAC, CAM_IP),
                         (d["devfinder.mod.form"], d["devfinder.mod.set_mac"],
                          d["devfinder.mod.mac"], d["devfinder.mod.cip"]))
        self.assertModReply(rsp, self.payload(req))

    def test_modification_reply_body_after_extension_words(self):
        rsp = self.f_mac_ext2
        self.assertDecoded(rsp, {"devfinder.reply": True, "devfinder.ext_size": 2,
                                 "devfinder.msg_size": 16, "devfinder.seq": self.seq_mac2,
                                 "devfinder.ext_words": "00" * 8,
                                 "devfinder.mod.msgid": b"X2-msgid-ext2-00".hex()})

    def assertModReply(self, index, request_payload):
        p = self.payload(index)
        self.assertEqual(32, len(p))
        self.assertDecoded(index, dict(head_expect(p), **{
            "devfinder.reply": True, "devfinder.ack_flag": 0, "devfinder.msg_size": 16,
            "devfinder.seq": Header.unpack(request_payload).seq,
            "devfinder.mod.msgid": request_payload[16:32].hex()}))

    def test_password_masked_unless_the_preference_shows_it(self):
        for req in (self.f_ext[0], self.f_first[0], self.f_setmac[0]):
            self.assertEqual("********", self.rows[req]["devfinder.mod.pwd"])
            self.assertNotIn(PASSWORD, "".join(self.rows[req].values()))
            self.assertFullyDecoded(req, self.rows_shown, pwd_shown=True)
            self.assertEqual(PASSWORD, self.rows_shown[req]["devfinder.mod.pwd"])
        # an empty password hides nothing
        self.assertEqual("", self.rows[self.f_bad["cut_extended"]]["devfinder.mod.pwd"])

    def test_malformed_lengths_are_flagged(self):
        flagged = {name: {e for e in EXPERTS if self.rows[i]["devfinder.expert." + e]}
                   for name, i in self.f_bad.items()}
        self.assertEqual({"short": {"short_header"}, "cut_extended": {"short_body"},
                          "first_in_132": set(), "over_read": {"over_read"},
                          "unknown_type": {"unknown_type"}}, flagged)
        # what arrived of the cut request is still decoded, in the form MsgSize chose
        cut = self.rows[self.f_bad["cut_extended"]]
        self.assertEqual(("extended", "nobody", "10.89.0.99", ""),
                         (cut["devfinder.mod.form"], cut["devfinder.mod.user"],
                          cut["devfinder.mod.cip"], cut["devfinder.mod.mac"]))
        # MsgSize 72 is the first form even when 132 bytes came; the rest is ignored
        padded = self.rows[self.f_bad["first_in_132"]]
        self.assertEqual(("first", "00" * 44), (padded["devfinder.mod.form"],
                                                padded["devfinder.ignored"]))
        # the well-formed traffic raised none of them
        for i in (*self.f_search, *self.f_ext, *self.f_first, *self.f_setmac,
                  self.f_search_ext, self.f_mac_ext2):
            self.assertEqual([""] * len(EXPERTS),
                             [self.rows[i]["devfinder.expert." + e] for e in EXPERTS],
                             "frame %d" % (i + 1))


class DissectorOnSamples(unittest.TestCase):
    """The captured datagrams of the sample file, each as a frame between the client
    (192.168.1.50) and the camera (192.168.1.10): every field reads as camdisco reads
    the bytes, and none is flagged."""

    def test_captured_datagrams(self):
        tshark = shutil.which("tshark")
        self.assertIsNotNone(tshark, "tshark is not installed (bash scripts/install-deps.sh)")
        home = tempfile.mkdtemp(prefix="dissector-samples-")
        self.addCleanup(shutil.rmtree, home, ignore_errors=True)
        samples = list(datagrams.load().values())
        frames = []
        for sample in samples:
            ends = (("192.168.1.50", 50000), ("192.168.1.10", PORT))
            src, dst = ends[::-1] if sample.name.endswith("_reply") else ends
            frames.append((1700000000.0 + len(frames), udp_frame(*src, *dst, sample.data)))
        pcap = os.path.join(home, "samples.pcap")
        write_pcap(pcap, frames)
        rows = decode(tshark, pcap, home)
        self.assertEqual(len(samples), len(rows))
        for sample, row in zip(samples, rows):
            with self.subTest(sample.name):
                assert_decoded(self, row, full_expect(sample.data, sample.name.endswith("_reply")),
                               sample.name)
                self.assertEqual([""] * (len(EXPERTS) + 1),
                                 [row["devfinder.expert." + e] for e in EXPERTS] +
                                 [row["devfinder.ignored"]])


if __name__ == "__main__":
    unittest.main()
