# SPDX-License-Identifier: MIT
"""camdisco: a client of the camera discovery protocol (UDP port 9333).

Standard library only, Python 3.9 or later, Linux. The wire format is written
here once; docs/protocol.md describes it for people.

    import camdisco
    for dev in camdisco.search(timeout=2.0):           # every camera on every link
        print(dev.ip, dev.mac, dev.device_type, dev.interface)
    dev = camdisco.find(camdisco.search(), mac="00-11-22-33-44-55")
    camdisco.modify(dev, user="admin", password="1234", ip="192.168.1.77")
    camdisco.set_mac(dev, "02-AB-CD-EF-01-23", user="admin", password="1234")

Building and parsing, without a network:

    data = camdisco.encode_search(seq=7)               # 16 bytes
    reply = camdisco.SearchReply.unpack(datagram)      # MalformedDatagram if it is none
    req = camdisco.ModifyRequest(user="admin", password="1234", target="192.168.1.10",
                                 ip="192.168.1.77", netmask="255.255.255.0")
    data = req.pack(seq=5)                             # 132 bytes (88 with extended=False)

A device answers nothing it refuses (wrong password, not meant for it, locked
after guessing, unusable settings, a failed write), so modify() and set_mac()
raise NoReply for all of these alike; only a fresh search tells what the device
holds now. Every request is repeated (identically) as the retries allow, since
UDP may lose it; a device acts on a modification only once.
"""

import ctypes
import dataclasses
import errno
import fcntl
import ipaddress
import os
import re
import select
import socket
import struct
import time
from dataclasses import dataclass, field
from typing import Dict, Tuple, Union

__all__ = [
    "PORT", "MSG_SEARCH", "MSG_SEARCH_CUSTOM", "MSG_SEARCH_EXT", "MSG_MODIFY",
    "MODE_DHCP", "MODE_STATIC", "MODE_NONE", "CamDiscoError", "MalformedDatagram",
    "FieldError", "ForeignReply", "NoReply", "Rejected", "DeviceNotFound", "Header",
    "SearchReply", "ModifyRequest", "ModifyReply", "Interface", "Device", "ModifyResult",
    "encode_search", "decode_search_request", "interfaces", "search", "find", "modify",
    "set_mac", "normalize_mac",
]

PORT = 9333

MSG_SEARCH = 11           # search; answered by every ordinary device
MSG_SEARCH_CUSTOM = 618   # search answered only by customised products
MSG_SEARCH_EXT = 620      # search, handled exactly as 11
MSG_MODIFY = 12           # network modification (addresses, ports, mode, or MAC)
SEARCH_TYPES = (MSG_SEARCH, MSG_SEARCH_CUSTOM, MSG_SEARCH_EXT)

MODE_DHCP = 0
MODE_STATIC = 2
MODE_NONE = 0xFFFFFFFF    # NetworkMode of a device that reported no mode

HEAD_SIZE = 16
EXT_WORD_SIZE = 4
SEARCH_BODY_SIZE = 448
SEARCH_REPLY_SIZE = HEAD_SIZE + SEARCH_BODY_SIZE          # 464
MODIFY_BODY_FIRST = 72                                    # first form
MODIFY_BODY_EXTENDED = 116                                # extended form
MODIFY_REPLY_BODY_SIZE = 16                               # msgid
MSGID_SIZE = 16
USER_SIZE = 10
PASSWORD_SIZE = 14
MAC_FIELD_SIZE = 36
# A device reads at most this much of a datagram (the extended request).
DEVICE_READ_SIZE = HEAD_SIZE + MODIFY_BODY_EXTENDED       # 132

_IP_PKTINFO = getattr(socket, "IP_PKTINFO", 8)
_PKTINFO = struct.Struct("=I4s4s")   # ipi_ifindex, ipi_spec_dst, ipi_addr
_RECV_SIZE = 2048
_MAX_READS = 100000                  # datagrams read by one exchange, at most


# ---------------------------------------------------------------- errors

class CamDiscoError(Exception):
    """Base of every error of this module."""


class MalformedDatagram(CamDiscoError, ValueError):
    """Bytes that are not the datagram they were parsed as."""


class ForeignReply(MalformedDatagram):
    """A well-formed reply, but to another request (Seq or msgid differ)."""


class FieldError(CamDiscoError, ValueError):
    """A value that does not fit its field; texts are refused, never cut."""


class NoReply(CamDiscoError, TimeoutError):
    """No reply within the timeout: refused, lost, or not applied. Search again."""


class Rejected(CamDiscoError):
    """A reply with a nonzero AckFlag: the device did not apply the request."""

    def __init__(self, ack):
        super().__init__("the device answered with AckFlag %d" % ack)
        self.ack = ack


class DeviceNotFound(CamDiscoError, LookupError):
    """No device, or more than one, matches what was asked for."""


# ---------------------------------------------------------------- fields

def _text_field(value, size, name):
    """Zero-padded bytes of a text field; a text of exactly `size` bytes has no terminator."""
    raw = value if isinstance(value, (bytes, bytearray)) else str(value).encode(
        "utf-8", "surrogateescape")
    if len(raw) > size:
        raise FieldError("%s: %d bytes do not fit its %d-byte field" % (name, len(raw), size))
    return bytes(raw).ljust(size, b"\0")


def _text(raw):
    """A text field as str: up to the first zero byte, lossless for any bytes."""
    return raw.split(b"\0", 1)[0].decode("utf-8", "surrogateescape")


def _addr_field(value, name):
    """An IPv4 address as its 4 bytes, first octet first."""
    if isinstance(value, (bytes, bytearray)) and len(value) == 4:
        return bytes(value)
    try:
        return ipaddress.IPv4Address(str(value)).packed
    except ValueError:
        raise FieldError("%s: not an IPv4 address: %r" % (name, value)) from None


def _addr_text(raw):
    return str(ipaddress.IPv4Address(raw))


def _uint(value, bits, name):
    try:
        value = int(value)
    except (TypeError, ValueError):
        raise FieldError("%s: %r is not a number" % (name, value)) from None
    if not 0 <= value < (1 << bits):
        raise FieldError("%s: %r is not an unsigned %d-bit value" % (name, value, bits))
    return value


def normalize_mac(text):
    """ "00:11:22:aa:bb:cc" or "00-11-22-AA-BB-CC" -> "00-11-22-AA-BB-CC" (the form devices
    report). Raises FieldError for anything but six hex pairs."""
    m = re.fullmatch(r"([0-9A-Fa-f]{2})([-:])([0-9A-Fa-f]{2})(?:\2([0-9A-Fa-f]{2})){4}",
                     str(text))
    if not m:
        raise FieldError("not a MAC address (six hex pairs): %r" % (text,))
    return "-".join(re.split(r"[-:]", str(text))).upper()


# ---------------------------------------------------------------- header

_HEAD = struct.Struct("<BBHHHII")


@dataclass(frozen=True)
class Header:
    """The 16 bytes that start every datagram. A reply repeats its request's
    header, with MsgSize (and, for a modification, AckFlag) replaced."""
    msg_type: int
    msg_size: int = 0          # body bytes, without header and extension words
    seq: int = 0               # the requester's number, echoed
    ack: int = 0               # AckFlag: result code of a reply, ignored in requests
    sub_type: int = 0          # MsgSubType, echoed
    version: int = 0           # 2 bits, echoed
    ext_size: int = 0          # 6 bits: 4-byte words between header and body
    reserved: int = 0          # echoed

    def pack(self):
        byte0 = _uint(self.version, 2, "Version") | _uint(self.ext_size, 6, "ExtSize") << 2
        return _HEAD.pack(byte0, _uint(self.reserved, 8, "Reserved"),
                          _uint(self.ack, 16, "AckFlag"), _uint(self.msg_type, 16, "MsgType"),
                          _uint(self.sub_type, 16, "MsgSubType"),
                          _uint(self.msg_size, 32, "MsgSize"), _uint(self.seq, 32, "Seq"))

    @classmethod
    def unpack(cls, data):
        """The header at the start of data (which may go on with a body)."""
        if len(data) < HEAD_SIZE:
            raise MalformedDatagram("%d bytes: shorter than the 16-byte header" % len(data))
        b0, reserved, ack, msg_type, sub, size, seq = _HEAD.unpack_from(data, 0)
        return cls(msg_type=msg_type, msg_size=size, seq=seq, ack=ack, sub_type=sub,
                   version=b0 & 0x03, ext_size=b0 >> 2, reserved=reserved)

    def replace(self, **changes):
        return dataclasses.replace(self, **changes)


def encode_search(seq=0, msg_type=MSG_SEARCH, header=None):
    """A search request: the header alone (16 bytes), MsgSize 0."""
    head = header if header is not None else Header(msg_type, seq=seq)
    if head.msg_type not in SEARCH_TYPES:
        raise FieldError("MsgType %d is no search" % head.msg_type)
    return head.pack()


def decode_search_request(data):
    """The header of a search request; anything after it is ignored, as devices do."""
    head = Header.unpack(data)
    if head.msg_type not in SEARCH_TYPES:
        raise MalformedDatagram("MsgType %d is no search" % head.msg_type)
    if head.msg_size == SEARCH_BODY_SIZE:
        raise MalformedDatagram("MsgSize 448: a device's search reply, not a request")
    return head


# ---------------------------------------------------------------- search reply

# wire name, attribute, struct code, kind ("text", "int" or "bytes")
_SEARCH_LAYOUT = (
    ("IP", "ip", "16s", "text"),
    ("HostName", "host_name", "36s", "text"),
    ("NetMask", "netmask", "16s", "text"),
    ("GateWay", "gateway", "16s", "text"),
    ("DNS1", "dns1", "16s", "text"),
    ("DNS2", "dns2", "16s", "text"),
    ("Port", "media_port", "I", "int"),
    ("IEPort", "web_port", "I", "int"),
    ("NetworkMode", "network_mode", "I", "int"),
    ("DevType", "device_type", "28s", "text"),
    ("DevTypeULL", "device_type_code", "Q", "int"),
    ("DevVer", "software_version", "36s", "text"),
    ("DeviceID", "device_id", "I", "int"),
    ("DeviceName", "device_name", "36s", "text"),
    ("MacAddr", "mac", "36s", "text"),
    ("ChannelNum", "channels", "I", "int"),
    ("Version", "record_version", "B", "int"),
    ("cNetInterface", "net_interface", "B", "int"),
    ("P2pID", "p2p_id", "38s", "text"),
    ("reserved", "reserved", "128s", "bytes"),
)
_SEARCH_BODY = struct.Struct("<" + "".join(code for _, _, code, _ in _SEARCH_LAYOUT))


def _offsets(layout):
    out, pos = {}, 0
    for wire, _, code, _ in layout:
        out[wire] = pos
        pos += struct.calcsize("<" + code)
    return out


# Offset of each field in the 448-byte body (add 16 for the datagram).
SEARCH_BODY_OFFSETS = _offsets(_SEARCH_LAYOUT)
assert _SEARCH_BODY.size == SEARCH_BODY_SIZE and SEARCH_BODY_OFFSETS["DevTypeULL"] == 156


@dataclass(frozen=True)
class SearchReply:
    """A device's answer to a search: 464 bytes, the body always at 16."""
    header: Header
    ip: str = ""                 # address of the interface the search came in on
    host_name: str = ""
    netmask: str = ""
    gateway: str = ""            # "0.0.0.0" when there is none
    dns1: str = ""
    dns2: str = ""
    media_port: int = 0
    web_port: int = 0
    network_mode: int = MODE_NONE   # 0 DHCP, 2 static, MODE_NONE: none reported
    device_type: str = ""
    device_type_code: int = 0
    software_version: str = ""
    device_id: int = 0
    device_name: str = ""
    mac: str = ""                # as the device reports it, e.g. "00-11-22-33-44-55"
    channels: int = 0
    record_version: int = 1
    net_interface: int = 0
    p2p_id: str = ""
    reserved: bytes = bytes(128)
    # The fields as they travelled, by wire name (texts with their zero padding).
    fields: Dict[str, Union[bytes, int]] = field(default_factory=dict, compare=False,
                                                 repr=False)

    @classmethod
    def unpack(cls, data):
        if len(data) != SEARCH_REPLY_SIZE:
            raise MalformedDatagram("%d bytes: a search reply has 464" % len(data))
        head = Header.unpack(data)
        if head.msg_type not in SEARCH_TYPES:
            raise MalformedDatagram("MsgType %d is no search" % head.msg_type)
        if head.msg_size != SEARCH_BODY_SIZE:
            raise MalformedDatagram("MsgSize %d: a search reply has 448" % head.msg_size)
        values = _SEARCH_BODY.unpack_from(data, HEAD_SIZE)
        raw = {wire: v for (wire, _, _, _), v in zip(_SEARCH_LAYOUT, values)}
        kw = {}
        for (wire, attr, _, kind), v in zip(_SEARCH_LAYOUT, values):
            kw[attr] = _text(v) if kind == "text" else v
        return cls(header=head, fields=raw, **kw)

    def pack(self):
        """The reply as a device sends it (for fake devices and round trips)."""
        head = self.header.replace(msg_size=SEARCH_BODY_SIZE)
        values = []
        for wire, attr, code, kind in _SEARCH_LAYOUT:
            v = getattr(self, attr)
            if kind in ("text", "bytes"):
                v = _text_field(v, struct.calcsize(code), wire)
            else:
                v = _uint(v, 8 * struct.calcsize("<" + code), wire)
            values.append(v)
        return head.pack() + _SEARCH_BODY.pack(*values)


# ---------------------------------------------------------------- modification

_MODIFY_FIRST = struct.Struct("<16s10s14s4s4s4s4s4s4sHHBBBB")
_MODIFY_EXT = struct.Struct("<Q36s")
assert _MODIFY_FIRST.size == MODIFY_BODY_FIRST
assert _MODIFY_FIRST.size + _MODIFY_EXT.size == MODIFY_BODY_EXTENDED


def new_msgid():
    """A fresh printable msgid: devices log it as text."""
    return b"PY" + os.urandom(7).hex().upper().encode()


def new_seq():
    return struct.unpack("<I", os.urandom(4))[0]


@dataclass(frozen=True)
class ModifyRequest:
    """A network modification (MsgType 12). The first form (72-byte body) names
    the device by `target` alone; the extended form (116 bytes) also by
    `device_type_code` and `mac`, exactly as the device reported them. With
    `set_mac` the request sets the MAC to `mac` instead and is taken by every
    device that accepts the password, whatever `target` says: send it unicast."""
    user: str
    password: str
    target: str                      # cip: the device's address as it reports it
    ip: str = "0.0.0.0"              # the new settings
    netmask: str = "0.0.0.0"
    gateway: str = "0.0.0.0"
    dns1: str = "0.0.0.0"
    dns2: str = "0.0.0.0"
    media_port: int = 0
    web_port: int = 0
    mode: int = MODE_STATIC          # wMode, used only when mode_valid
    mode_valid: bool = True          # wNewFlag; False: the device stores static
    set_mac: bool = False            # ZizodSetMac = 1
    extended: bool = True
    device_type_code: int = 0        # extended form
    mac: str = ""                    # extended form: the device's MAC text, or the one to set
    msgid: bytes = field(default_factory=lambda: new_msgid())  # echoed in the reply
    reserved: int = 0

    def __post_init__(self):
        # Kept as the 16 bytes that travel, so a parsed request equals the built one.
        object.__setattr__(self, "msgid", _text_field(self.msgid, MSGID_SIZE, "msgid"))

    def body(self):
        """The body: 72 bytes (first form) or 116 (extended)."""
        first = _MODIFY_FIRST.pack(
            self.msgid, _text_field(self.user, USER_SIZE, "user"),
            _text_field(self.password, PASSWORD_SIZE, "password"),
            _addr_field(self.target, "target"), _addr_field(self.ip, "ip"),
            _addr_field(self.netmask, "netmask"), _addr_field(self.gateway, "gateway"),
            _addr_field(self.dns1, "dns1"), _addr_field(self.dns2, "dns2"),
            _uint(self.media_port, 16, "media_port"), _uint(self.web_port, 16, "web_port"),
            _uint(self.mode, 8, "mode"), 1 if self.mode_valid else 0,
            1 if self.set_mac else 0, _uint(self.reserved, 8, "reserved"))
        if not self.extended:
            return first
        return first + _MODIFY_EXT.pack(_uint(self.device_type_code, 64, "device_type_code"),
                                        _text_field(self.mac, MAC_FIELD_SIZE, "mac"))

    def pack(self, seq=0, header=None):
        """The datagram: 88 bytes (first form) or 132. `header` supplies the
        header's other fields; MsgType and MsgSize are always set here. The body
        follows at 16 whatever ExtSize says: devices read it there."""
        body = self.body()
        head = header if header is not None else Header(MSG_MODIFY, seq=seq)
        return head.replace(msg_type=MSG_MODIFY, msg_size=len(body)).pack() + body

    @classmethod
    def unpack(cls, data):
        """(header, request) of a modification datagram, told apart by MsgSize as
        devices do: 72 or less is the first form, more the extended form."""
        head = Header.unpack(data)
        if head.msg_type != MSG_MODIFY:
            raise MalformedDatagram("MsgType %d is no modification" % head.msg_type)
        extended = head.msg_size > MODIFY_BODY_FIRST
        need = HEAD_SIZE + (MODIFY_BODY_EXTENDED if extended else MODIFY_BODY_FIRST)
        if len(data) < need:
            raise MalformedDatagram("%d bytes: MsgSize %d needs %d" % (len(data), head.msg_size,
                                                                        need))
        (msgid, user, pwd, cip, ip, mask, gw, dns1, dns2, mport, wport, mode, newflag, setmac,
         reserved) = _MODIFY_FIRST.unpack_from(data, HEAD_SIZE)
        type_code, mac = 0, ""
        if extended:
            type_code, mac_raw = _MODIFY_EXT.unpack_from(data, HEAD_SIZE + MODIFY_BODY_FIRST)
            mac = _text(mac_raw)
        req = cls(user=_text(user), password=_text(pwd), target=_addr_text(cip),
                  ip=_addr_text(ip), netmask=_addr_text(mask), gateway=_addr_text(gw),
                  dns1=_addr_text(dns1), dns2=_addr_text(dns2), media_port=mport,
                  web_port=wport, mode=mode, mode_valid=newflag != 0, set_mac=setmac == 1,
                  extended=extended, device_type_code=type_code, mac=mac, msgid=msgid,
                  reserved=reserved)
        return head, req


@dataclass(frozen=True)
class ModifyReply:
    """A device's answer to a modification: its header (AckFlag 0: applied),
    ExtSize zero words, then the request's msgid: 32 + 4 x ExtSize bytes."""
    header: Header
    msgid: bytes

    @classmethod
    def unpack(cls, data, seq=None, msgid=None):
        """Raises ForeignReply when seq or msgid are given and differ."""
        head = Header.unpack(data)
        if head.msg_type != MSG_MODIFY:
            raise MalformedDatagram("MsgType %d is no modification" % head.msg_type)
        if head.msg_size != MODIFY_REPLY_BODY_SIZE:
            raise MalformedDatagram("MsgSize %d: a modification reply has 16" % head.msg_size)
        body_at = HEAD_SIZE + EXT_WORD_SIZE * head.ext_size
        if len(data) != body_at + MODIFY_REPLY_BODY_SIZE:
            raise MalformedDatagram("%d bytes: with ExtSize %d a modification reply has %d" %
                                    (len(data), head.ext_size, body_at + MODIFY_REPLY_BODY_SIZE))
        reply = cls(header=head, msgid=bytes(data[body_at:body_at + MSGID_SIZE]))
        if seq is not None and head.seq != seq:
            raise ForeignReply("Seq %d, not %d" % (head.seq, seq))
        if msgid is not None and reply.msgid != _text_field(msgid, MSGID_SIZE, "msgid"):
            raise ForeignReply("another msgid")
        return reply

    def pack(self):
        head = self.header.replace(msg_size=MODIFY_REPLY_BODY_SIZE)
        return (head.pack() + bytes(EXT_WORD_SIZE * head.ext_size) +
                _text_field(self.msgid, MSGID_SIZE, "msgid"))


# ---------------------------------------------------------------- network

SIOCGIFCONF = 0x8912
SIOCGIFFLAGS = 0x8913
SIOCGIFINDEX = 0x8933
IFF_UP = 0x1
IFF_LOOPBACK = 0x8
_IFNAMSIZ = 16
_IFREQ_SIZE = 40 if struct.calcsize("P") == 8 else 32


@dataclass(frozen=True)
class Interface:
    name: str
    index: int
    address: str


def interfaces(sock=None, include_loopback=False):
    """The up IPv4 interfaces (first address of each) of the network namespace
    of `sock` (a fresh socket when none is given)."""
    own = sock is None
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM) if own else sock
    try:
        count = 64
        for _ in range(8):  # grow until the list fits
            buf = bytearray(_IFREQ_SIZE * count)
            ifc = struct.pack("iP", len(buf), _buffer_address(buf))
            res = fcntl.ioctl(s.fileno(), SIOCGIFCONF, ifc)
            length = struct.unpack_from("i", res)[0]
            if length < len(buf):
                break
            count *= 4
        out, seen = [], set()
        for off in range(0, length, _IFREQ_SIZE):
            name = buf[off:off + _IFNAMSIZ].split(b"\0", 1)[0].decode()
            family = struct.unpack_from("H", buf, off + _IFNAMSIZ)[0]
            if family != socket.AF_INET or name in seen:
                continue
            seen.add(name)
            address = socket.inet_ntoa(bytes(buf[off + _IFNAMSIZ + 4:off + _IFNAMSIZ + 8]))
            req = struct.pack("16sH", name.encode(), 0).ljust(_IFREQ_SIZE, b"\0")
            flags = struct.unpack_from("H", fcntl.ioctl(s.fileno(), SIOCGIFFLAGS, req),
                                       _IFNAMSIZ)[0]
            if not flags & IFF_UP or (flags & IFF_LOOPBACK and not include_loopback):
                continue
            index = struct.unpack_from("i", fcntl.ioctl(s.fileno(), SIOCGIFINDEX, req),
                                       _IFNAMSIZ)[0]
            out.append(Interface(name, index, address))
        return out
    finally:
        if own:
            s.close()


def _buffer_address(buf):
    """Address of a bytearray's storage, for the one ioctl that takes a pointer."""
    return ctypes.addressof((ctypes.c_char * len(buf)).from_buffer(buf))


@dataclass(frozen=True)
class Device(SearchReply):
    """A search reply with the client-side interface it arrived on."""
    interface: str = ""
    interface_index: int = 0
    source: Tuple[str, int] = ("", 0)

    @property
    def key(self):
        """What tells devices apart: the MAC text, else the address."""
        return "mac:" + self.mac if self.mac else "ip:" + self.ip


def _client_socket(sock):
    if sock is not None:
        return sock, False
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.bind(("0.0.0.0", 0))
    return s, True


def _prepare(sock):
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    sock.setsockopt(socket.IPPROTO_IP, _IP_PKTINFO, 1)


def _send(sock, data, dest, iface, dontroute=False):
    """One datagram out of iface (None: as the routes say)."""
    anc = []
    if iface is not None:
        anc = [(socket.IPPROTO_IP, _IP_PKTINFO,
                _PKTINFO.pack(iface.index, socket.inet_aton(iface.address), bytes(4)))]
    sock.sendmsg([data], anc, socket.MSG_DONTROUTE if dontroute else 0, dest)


def _exchange(sock, send_all, on_datagram, timeout, retries):
    """Sends at k x timeout / (retries + 1), k = 0..retries, and hands each
    datagram (data, source, arrival index) to on_datagram until the timeout or
    until it returns True. Returns whether it did. Every repeat goes out, even
    when the process was held up past the timeout."""
    sends = retries + 1
    start = time.monotonic()
    end = start + timeout
    sent = reads = 0
    while reads < _MAX_READS:
        now = time.monotonic()
        if now >= end and sent >= sends:
            return False
        if sent < sends and now >= start + timeout * sent / sends:
            send_all()
            sent += 1
            continue
        wake = start + timeout * sent / sends if sent < sends else end
        ready, _, _ = select.select([sock], [], [], max(0.0, wake - now))
        if not ready:
            continue
        data, anc, _, source = sock.recvmsg(_RECV_SIZE, socket.CMSG_SPACE(_PKTINFO.size))
        reads += 1
        index = 0
        for level, kind, payload in anc:
            if level == socket.IPPROTO_IP and kind == _IP_PKTINFO and len(payload) >= 4:
                index = struct.unpack_from("=I", payload)[0]
        if on_datagram(data, source, index):
            return True
    return False


def search(timeout=2.0, retries=2, ifaces=None, sock=None, port=PORT,
           dest="255.255.255.255", msg_type=MSG_SEARCH, seq=None, want=None):
    """Every device that answers, once each (by MAC text, else address), sorted
    by address. The search goes out of every interface (`ifaces`: names or
    Interface records; all up IPv4 interfaces when None), 1 + retries times
    spread over the timeout; it ends at the timeout, or as soon as `want`
    devices have answered. `sock`: a socket to use (for instance one made in
    another network namespace); it is left open."""
    s, own = _client_socket(sock)
    try:
        _prepare(s)
        links = _pick_interfaces(s, ifaces)
        if not links:
            raise CamDiscoError("no interface is up with an IPv4 address")
        seq = new_seq() if seq is None else seq
        data = encode_search(seq, msg_type)
        names = {i.index: i.name for i in links}
        found = {}

        def send_all():
            sent = 0
            for iface in links:
                try:
                    _send(s, data, (dest, port), iface)
                    sent += 1
                except OSError as exc:
                    if exc.errno not in (errno.ENETUNREACH, errno.EADDRNOTAVAIL,
                                         errno.ENETDOWN):
                        raise
            if not sent:
                raise CamDiscoError("the search could not be sent out of any interface")

        def on_datagram(raw, source, index):
            try:
                reply = SearchReply.unpack(raw)
            except MalformedDatagram:
                return False
            if reply.header.seq != seq:
                return False
            kw = {f.name: getattr(reply, f.name) for f in dataclasses.fields(SearchReply)}
            dev = Device(interface=names.get(index, ""), interface_index=index,
                         source=tuple(source[:2]), **kw)
            found.setdefault(dev.key, dev)
            return want is not None and len(found) >= want

        _exchange(s, send_all, on_datagram, timeout, retries)
        return sorted(found.values(), key=lambda d: (_addr_order(d.ip), d.mac))
    finally:
        if own:
            s.close()


def _addr_order(text):
    try:
        return (0, int(ipaddress.IPv4Address(text)))
    except ValueError:
        return (1, 0)


def _pick_interfaces(sock, ifaces):
    if ifaces is None:
        return interfaces(sock)
    have = {i.name: i for i in interfaces(sock, include_loopback=True)}
    out = []
    for i in ifaces:
        if isinstance(i, Interface):
            out.append(i)
        elif i in have:
            out.append(have[i])
        else:
            raise CamDiscoError("interface %s is not up with an IPv4 address" % i)
    return out


def find(devices, mac=None, ip=None):
    """The one device with this MAC (any separator or case) or this address."""
    if (mac is None) == (ip is None):
        raise ValueError("give mac or ip")
    if mac is not None:
        want = normalize_mac(mac)
        hits = [d for d in devices if _mac_or_none(d.mac) == want]
    else:
        hits = [d for d in devices if d.ip == str(ip)]
    if len(hits) != 1:
        raise DeviceNotFound("%d devices match %s" % (len(hits), mac if mac is not None else ip))
    return hits[0]


def _mac_or_none(text):
    try:
        return normalize_mac(text)
    except FieldError:
        return None


@dataclass(frozen=True)
class ModifyResult:
    """A modification the device answered: it has stored the change (AckFlag 0)."""
    device: Device
    request: ModifyRequest
    reply: ModifyReply


def _device_request(dev, user, password, changes):
    values = dict(ip=dev.ip, netmask=dev.netmask, gateway=dev.gateway, dns1=dev.dns1,
                  dns2=dev.dns2, media_port=dev.media_port, web_port=dev.web_port)
    mode = dev.network_mode
    values.update(mode=mode if mode in (MODE_DHCP, MODE_STATIC) else MODE_STATIC,
                  mode_valid=mode in (MODE_DHCP, MODE_STATIC))
    for key, value in changes.items():
        if value is not None:
            values[key] = value
    if "mode" in changes and changes["mode"] is not None:
        values["mode_valid"] = True
    for key in ("ip", "netmask", "gateway", "dns1", "dns2"):
        try:
            _addr_field(values[key], key)
        except FieldError:
            raise FieldError("the device reports no usable %s (%r); give %s=" %
                             (key, values[key], key)) from None
    for key in ("media_port", "web_port"):
        if not 0 < int(values[key]) < 65536:
            raise FieldError("the device reports no usable %s; give %s=" % (key, key))
    return ModifyRequest(user=user, password=password, target=dev.ip,
                         device_type_code=dev.device_type_code, mac=dev.mac,
                         **values)


def _send_modify(dev, req, timeout, retries, sock, port, dest, dontroute):
    s, own = _client_socket(sock)
    try:
        _prepare(s)
        seq = new_seq()
        data = req.pack(seq=seq)
        iface = None
        if dev.interface_index:
            iface = next((i for i in interfaces(s, include_loopback=True)
                          if i.index == dev.interface_index), None)
        to = (dest, port)
        got = []

        def on_datagram(raw, source, index):
            try:
                got.append(ModifyReply.unpack(raw, seq=seq, msgid=req.msgid))
            except MalformedDatagram:
                return False
            return True

        if not _exchange(s, lambda: _send(s, data, to, iface, dontroute=dontroute),
                         on_datagram, timeout, retries):
            raise NoReply("no reply from %s within %.1f s: refused (wrong password, locked, "
                          "settings unusable, not for it), lost, or the device moved first; "
                          "search again to see what it holds" % (dev.ip, timeout))
        if got[0].header.ack != 0:
            raise Rejected(got[0].header.ack)
        return ModifyResult(device=dev, request=req, reply=got[0])
    finally:
        if own:
            s.close()


def modify(device, user, password, ip=None, netmask=None, gateway=None, dns1=None, dns2=None,
           media_port=None, web_port=None, mode=None, extended=True, timeout=2.0, retries=2,
           sock=None, port=PORT, dest="255.255.255.255"):
    """Changes the network settings of a device found by search(). Settings not
    given stay as the device reported them. Broadcast out of the interface the
    device answered on (it may sit in another subnet); the extended form names
    it by address, MAC text and type code, the first form (extended=False) by
    address alone. Returns ModifyResult; raises NoReply or Rejected."""
    req = _device_request(device, user, password, dict(
        ip=ip, netmask=netmask, gateway=gateway, dns1=dns1, dns2=dns2, media_port=media_port,
        web_port=web_port, mode=mode))
    req = dataclasses.replace(req, extended=extended)
    return _send_modify(device, req, timeout, retries, sock, port, dest, dontroute=False)


def set_mac(device, new_mac, user, password, timeout=2.0, retries=2, sock=None, port=PORT):
    """Sets the MAC address of a device found by search(). Sent unicast to the
    device, straight onto its link: every device that accepts the password
    takes a MAC set, whatever address it names."""
    req = _device_request(device, user, password, {})
    req = dataclasses.replace(req, set_mac=True, mac=normalize_mac(new_mac))
    return _send_modify(device, req, timeout, retries, sock, port, device.ip, dontroute=True)
