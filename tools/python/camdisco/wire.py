# SPDX-License-Identifier: MIT
"""The discovery datagrams, built and parsed without a network: the one Python copy of
the wire format (docs/protocol.md describes it for people).

    data = encode_search(seq=7)                        # 16 bytes
    reply = SearchReply.unpack(datagram)               # MalformedDatagram if it is none
    req = ModifyRequest(user="admin", password="1234", target="192.168.1.10",
                        ip="192.168.1.77", netmask="255.255.255.0", mode="static")
    data = req.pack(seq=5)                             # 132 bytes (88 with extended=False)

Attribute names are those of `devsearch --json` (ip, netmask, mac, mode, version, name,
hostname, ...); the wire names of the search reply's fields are kept in SearchReply.fields.
"""

import dataclasses
import ipaddress
import os
import re
import struct
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple, Union

from .errors import FieldError, ForeignReply, MalformedDatagram

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

# Where the camera's web server runs the snapshot CGI (docs/protocol.md, section 11).
SNAPSHOT_PATH = "/cgi-bin/stillcgi"

Mode = Union[str, int]
"""An address mode as a caller gives it: "static", "dhcp", or the wire number (2, 0)."""


# ---------------------------------------------------------------- fields

def _text_field(value: Union[str, bytes], size: int, name: str) -> bytes:
    """Zero-padded bytes of a text field; a text of exactly `size` bytes has no terminator."""
    raw = bytes(value) if isinstance(value, (bytes, bytearray)) else str(value).encode(
        "utf-8", "surrogateescape")
    if len(raw) > size:
        raise FieldError("%s: %d bytes do not fit its %d-byte field" % (name, len(raw), size))
    return raw.ljust(size, b"\0")


def _text(raw: bytes) -> str:
    """A text field as str: up to the first zero byte, lossless for any bytes."""
    return raw.split(b"\0", 1)[0].decode("utf-8", "surrogateescape")


def _addr_field(value: Union[str, bytes], name: str) -> bytes:
    """An IPv4 address as its 4 bytes, first octet first."""
    if isinstance(value, (bytes, bytearray)) and len(value) == 4:
        return bytes(value)
    try:
        return ipaddress.IPv4Address(str(value)).packed
    except ValueError:
        raise FieldError("%s: not an IPv4 address: %r" % (name, value)) from None


def _addr_text(raw: bytes) -> str:
    return str(ipaddress.IPv4Address(raw))


def _uint(value: Any, bits: int, name: str) -> int:
    try:
        number = int(value)
    except (TypeError, ValueError):
        raise FieldError("%s: %r is not a number" % (name, value)) from None
    if not 0 <= number < (1 << bits):
        raise FieldError("%s: %r is not an unsigned %d-bit value" % (name, value, bits))
    return number


def normalize_mac(text: str) -> str:
    """ "00:11:22:aa:bb:cc" or "00-11-22-AA-BB-CC" -> "00-11-22-AA-BB-CC" (the form devices
    report). Raises FieldError for anything but six hex pairs with one separator."""
    m = re.fullmatch(r"([0-9A-Fa-f]{2})([-:])([0-9A-Fa-f]{2})(?:\2([0-9A-Fa-f]{2})){4}",
                     str(text))
    if not m:
        raise FieldError("not a MAC address (six hex pairs): %r" % (text,))
    return "-".join(re.split(r"[-:]", str(text))).upper()


def mode_text(code: int) -> str:
    """The mode as `devsearch --json` writes it: "dhcp", "static", "none" or the number."""
    if code == MODE_DHCP:
        return "dhcp"
    if code == MODE_STATIC:
        return "static"
    if code == MODE_NONE:
        return "none"
    return str(code)


def mode_code(mode: Mode, bits: int = 32) -> int:
    """The wire number of a mode given as "static", "dhcp", "none" (32 bits only), a
    number's text or a number. Raises FieldError for anything else."""
    if isinstance(mode, str):
        word = mode.strip().lower()
        named = {"dhcp": MODE_DHCP, "static": MODE_STATIC}
        if bits == 32:
            named["none"] = MODE_NONE
        if word in named:
            return named[word]
        if not word.isdigit():
            raise FieldError("mode: %r is none of %s" % (mode, ", ".join(sorted(named))))
        return _uint(word, bits, "mode")
    if isinstance(mode, bool):
        raise FieldError("mode: %r is not a mode" % (mode,))
    return _uint(mode, bits, "mode")


def settable_mode(mode: Mode) -> int:
    """A mode a modification may ask for: 2 ("static") or 0 ("dhcp")."""
    code = mode_code(mode, 8)
    if code not in (MODE_DHCP, MODE_STATIC):
        raise FieldError("mode: %r is neither \"static\" nor \"dhcp\"" % (mode,))
    return code


def camera_url(ip: str, web_port: int) -> str:
    """http://ADDRESS:WEBPORT/ of a device, or "" when the address or port is unusable
    (texts come from the LAN: only a dotted quad goes into a URL)."""
    try:
        address = ipaddress.IPv4Address(ip)
    except ValueError:
        return ""
    if str(address) != ip or not 0 < web_port < 65536:
        return ""
    return "http://%s:%d/" % (address, web_port)


def snapshot_url(ip: str, web_port: int) -> str:
    """The snapshot CGI's URL of a device, without credentials; "" as for camera_url."""
    base = camera_url(ip, web_port)
    return base[:-1] + SNAPSHOT_PATH if base else ""


# ---------------------------------------------------------------- header

_HEAD = struct.Struct("<BBHHHII")


@dataclass(frozen=True, init=False)
class Header:
    """The 16 bytes that start every datagram. A reply repeats its request's
    header, with MsgSize (and, for a modification, AckFlag) replaced."""
    msg_type: int
    msg_size: int              # body bytes, without header and extension words
    seq: int                   # the requester's number, echoed
    ack_flag: int              # AckFlag: result code of a reply, ignored in requests
    sub_type: int              # MsgSubType, echoed
    version: int               # 2 bits, echoed
    ext_size: int              # 6 bits: 4-byte words between header and body
    reserved: int              # echoed

    def __init__(self, msg_type: int, msg_size: int = 0, seq: int = 0, ack_flag: int = 0,
                 sub_type: int = 0, version: int = 0, ext_size: int = 0, reserved: int = 0,
                 *, ack: Optional[int] = None) -> None:
        """`ack` is the earlier name of `ack_flag`, still accepted."""
        values = dict(msg_type=msg_type, msg_size=msg_size, seq=seq,
                      ack_flag=ack_flag if ack is None else ack, sub_type=sub_type,
                      version=version, ext_size=ext_size, reserved=reserved)
        for name, value in values.items():
            object.__setattr__(self, name, value)

    @property
    def ack(self) -> int:
        """The earlier name of ack_flag."""
        return self.ack_flag

    def pack(self) -> bytes:
        byte0 = _uint(self.version, 2, "Version") | _uint(self.ext_size, 6, "ExtSize") << 2
        return _HEAD.pack(byte0, _uint(self.reserved, 8, "Reserved"),
                          _uint(self.ack_flag, 16, "AckFlag"),
                          _uint(self.msg_type, 16, "MsgType"),
                          _uint(self.sub_type, 16, "MsgSubType"),
                          _uint(self.msg_size, 32, "MsgSize"), _uint(self.seq, 32, "Seq"))

    @classmethod
    def unpack(cls, data: bytes) -> "Header":
        """The header at the start of data (which may go on with a body)."""
        if len(data) < HEAD_SIZE:
            raise MalformedDatagram("%d bytes: shorter than the 16-byte header" % len(data))
        b0, reserved, ack, msg_type, sub, size, seq = _HEAD.unpack_from(data, 0)
        return cls(msg_type=msg_type, msg_size=size, seq=seq, ack_flag=ack, sub_type=sub,
                   version=b0 & 0x03, ext_size=b0 >> 2, reserved=reserved)

    def replace(self, **changes: int) -> "Header":
        if "ack" in changes:
            changes["ack_flag"] = changes.pop("ack")
        return dataclasses.replace(self, **changes)


def encode_search(seq: int = 0, msg_type: int = MSG_SEARCH,
                  header: Optional[Header] = None) -> bytes:
    """A search request: the header alone (16 bytes), MsgSize 0."""
    head = header if header is not None else Header(msg_type, seq=seq)
    if head.msg_type not in SEARCH_TYPES:
        raise FieldError("MsgType %d is no search" % head.msg_type)
    return head.pack()


def decode_search_request(data: bytes) -> Header:
    """The header of a search request; anything after it is ignored, as devices do."""
    head = Header.unpack(data)
    if head.msg_type not in SEARCH_TYPES:
        raise MalformedDatagram("MsgType %d is no search" % head.msg_type)
    if head.msg_size == SEARCH_BODY_SIZE:
        raise MalformedDatagram("MsgSize 448: a device's search reply, not a request")
    return head


# ---------------------------------------------------------------- search reply

# wire name, attribute, struct code, kind ("text", "int", "mode" or "bytes"), in wire order
_SEARCH_LAYOUT: Tuple[Tuple[str, str, str, str], ...] = (
    ("IP", "ip", "16s", "text"),
    ("HostName", "hostname", "36s", "text"),
    ("NetMask", "netmask", "16s", "text"),
    ("GateWay", "gateway", "16s", "text"),
    ("DNS1", "dns1", "16s", "text"),
    ("DNS2", "dns2", "16s", "text"),
    ("Port", "media_port", "I", "int"),
    ("IEPort", "web_port", "I", "int"),
    ("NetworkMode", "mode", "I", "mode"),
    ("DevType", "device_type", "28s", "text"),
    ("DevTypeULL", "device_type_code", "Q", "int"),
    ("DevVer", "version", "36s", "text"),
    ("DeviceID", "device_id", "I", "int"),
    ("DeviceName", "name", "36s", "text"),
    ("MacAddr", "mac", "36s", "text"),
    ("ChannelNum", "channels", "I", "int"),
    ("Version", "record_version", "B", "int"),
    ("cNetInterface", "net_interface", "B", "int"),
    ("P2pID", "p2p_id", "38s", "text"),
    ("reserved", "reserved", "128s", "bytes"),
)
_SEARCH_BODY = struct.Struct("<" + "".join(code for _, _, code, _ in _SEARCH_LAYOUT))


def _offsets(layout: Tuple[Tuple[str, str, str, str], ...]) -> Dict[str, int]:
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
    """A device's answer to a search: 464 bytes, the body always at 16. The
    attributes carry the names of `devsearch --json`."""
    header: Header
    ip: str = ""                 # address of the interface the search came in on
    netmask: str = ""
    gateway: str = ""            # "0.0.0.0" when there is none
    dns1: str = ""
    dns2: str = ""
    mac: str = ""                # as the device reports it, e.g. "00-11-22-33-44-55"
    mode: str = "none"           # "dhcp", "static", "none" (not reported) or the number
    media_port: int = 0
    web_port: int = 0
    device_type: str = ""
    device_type_code: int = 0
    version: str = ""            # the device's software version
    device_id: int = 0
    name: str = ""
    hostname: str = ""
    channels: int = 0
    p2p_id: str = ""
    record_version: int = 1      # Version of the record (offset 280), not the software's
    net_interface: int = 0
    reserved: bytes = bytes(128)
    # The fields as they travelled, by wire name (texts with their zero padding).
    fields: Dict[str, Union[bytes, int]] = field(default_factory=dict, compare=False,
                                                 repr=False)

    @property
    def mode_code(self) -> int:
        """NetworkMode as the number on the wire."""
        return mode_code(self.mode)

    @property
    def url(self) -> str:
        """http://ADDRESS:WEBPORT/ ("" when the device reports no usable address or port)."""
        return camera_url(self.ip, self.web_port)

    @property
    def snapshot_url(self) -> str:
        """The snapshot CGI's URL, without credentials ("" as for url)."""
        return snapshot_url(self.ip, self.web_port)

    @classmethod
    def unpack(cls, data: bytes) -> "SearchReply":
        if len(data) != SEARCH_REPLY_SIZE:
            raise MalformedDatagram("%d bytes: a search reply has 464" % len(data))
        head = Header.unpack(data)
        if head.msg_type not in SEARCH_TYPES:
            raise MalformedDatagram("MsgType %d is no search" % head.msg_type)
        if head.msg_size != SEARCH_BODY_SIZE:
            raise MalformedDatagram("MsgSize %d: a search reply has 448" % head.msg_size)
        values = _SEARCH_BODY.unpack_from(data, HEAD_SIZE)
        raw = {wire: v for (wire, _, _, _), v in zip(_SEARCH_LAYOUT, values)}
        kw: Dict[str, Any] = {}
        for (_, attr, _, kind), v in zip(_SEARCH_LAYOUT, values):
            kw[attr] = _text(v) if kind == "text" else mode_text(v) if kind == "mode" else v
        return cls(header=head, fields=raw, **kw)

    def pack(self) -> bytes:
        """The reply as a device sends it (for fake devices and round trips)."""
        head = self.header.replace(msg_size=SEARCH_BODY_SIZE)
        values: List[Union[bytes, int]] = []
        for wire, attr, code, kind in _SEARCH_LAYOUT:
            v = getattr(self, attr)
            if kind in ("text", "bytes"):
                values.append(_text_field(v, struct.calcsize(code), wire))
            elif kind == "mode":
                values.append(mode_code(v))
            else:
                values.append(_uint(v, 8 * struct.calcsize("<" + code), wire))
        return head.pack() + _SEARCH_BODY.pack(*values)


# ---------------------------------------------------------------- modification

_MODIFY_FIRST = struct.Struct("<16s10s14s4s4s4s4s4s4sHHBBBB")
_MODIFY_EXT = struct.Struct("<Q36s")
assert _MODIFY_FIRST.size == MODIFY_BODY_FIRST
assert _MODIFY_FIRST.size + _MODIFY_EXT.size == MODIFY_BODY_EXTENDED


def new_msgid() -> bytes:
    """A fresh printable msgid: devices log it as text."""
    return b"PY" + os.urandom(7).hex().upper().encode()


def new_seq() -> int:
    value: int = struct.unpack("<I", os.urandom(4))[0]
    return value


@dataclass(frozen=True)
class ModifyRequest:
    """A network modification (MsgType 12). The first form (72-byte body) names
    the device by `target` alone; the extended form (116 bytes) also by
    `device_type_code` and `mac`, exactly as the device reported them. With
    `set_mac` the request sets the MAC to `mac` instead and is taken by every
    device that accepts the password, whatever `target` says: send it unicast.
    `mode` takes "static", "dhcp" or the wire number and is kept as the number."""
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
    mode: Mode = MODE_STATIC         # wMode, used only when mode_valid
    mode_valid: bool = True          # wNewFlag; False: the device stores static
    set_mac: bool = False            # ZizodSetMac = 1
    extended: bool = True
    device_type_code: int = 0        # extended form
    mac: str = ""                    # extended form: the device's MAC text, or the one to set
    msgid: bytes = field(default_factory=new_msgid)  # echoed in the reply
    reserved: int = 0

    def __post_init__(self) -> None:
        # Kept as the 16 bytes that travel, so a parsed request equals the built one.
        object.__setattr__(self, "msgid", _text_field(self.msgid, MSGID_SIZE, "msgid"))
        object.__setattr__(self, "mode", mode_code(self.mode, 8))

    @property
    def mode_name(self) -> str:
        """The mode the device stores: "dhcp" or "static" (a request without a mode
        is stored as static), else the number."""
        code = mode_code(self.mode, 8) if self.mode_valid else MODE_STATIC
        return mode_text(code)

    def body(self) -> bytes:
        """The body: 72 bytes (first form) or 116 (extended)."""
        first = _MODIFY_FIRST.pack(
            self.msgid, _text_field(self.user, USER_SIZE, "user"),
            _text_field(self.password, PASSWORD_SIZE, "password"),
            _addr_field(self.target, "target"), _addr_field(self.ip, "ip"),
            _addr_field(self.netmask, "netmask"), _addr_field(self.gateway, "gateway"),
            _addr_field(self.dns1, "dns1"), _addr_field(self.dns2, "dns2"),
            _uint(self.media_port, 16, "media_port"), _uint(self.web_port, 16, "web_port"),
            mode_code(self.mode, 8), 1 if self.mode_valid else 0,
            1 if self.set_mac else 0, _uint(self.reserved, 8, "reserved"))
        if not self.extended:
            return first
        return first + _MODIFY_EXT.pack(_uint(self.device_type_code, 64, "device_type_code"),
                                        _text_field(self.mac, MAC_FIELD_SIZE, "mac"))

    def pack(self, seq: int = 0, header: Optional[Header] = None) -> bytes:
        """The datagram: 88 bytes (first form) or 132. `header` supplies the
        header's other fields; MsgType and MsgSize are always set here. The body
        follows at 16 whatever ExtSize says: devices read it there."""
        body = self.body()
        head = header if header is not None else Header(MSG_MODIFY, seq=seq)
        return head.replace(msg_type=MSG_MODIFY, msg_size=len(body)).pack() + body

    @classmethod
    def unpack(cls, data: bytes) -> Tuple[Header, "ModifyRequest"]:
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

    @property
    def ack_flag(self) -> int:
        return self.header.ack_flag

    @classmethod
    def unpack(cls, data: bytes, seq: Optional[int] = None,
               msgid: Optional[bytes] = None) -> "ModifyReply":
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

    def pack(self) -> bytes:
        head = self.header.replace(msg_size=MODIFY_REPLY_BODY_SIZE)
        return (head.pack() + bytes(EXT_WORD_SIZE * head.ext_size) +
                _text_field(self.msgid, MSGID_SIZE, "msgid"))
