# SPDX-License-Identifier: MIT
"""Searches and modifications on the LAN, blocking (this module) or under asyncio
(camdisco.aio); both run the same steps, written once here as generators (flows)
that yield one timed exchange at a time to whichever runner drives them.

    devs = search(timeout=2.0, expect=3)          # ends when 3 devices have answered
    dev = find(devs, mac="00-11-22-33-44-55")
    res = modify(dev, "admin", "1234", ip="192.168.1.77", wait=True)
    res.confirmed_by, res.confirm_ms              # "search", 640
    wait_for_move("00-11-22-33-44-55", "192.168.1.77", timeout=10.0)

Every request is repeated (identically) as the retries allow, since UDP may lose
it; a device acts on a modification only once. A device answers nothing it
refuses, so an unanswered modification is checked by a search before NoReply is
raised: a device that moved before its reply left shows its new settings there.
"""

import ctypes
import dataclasses
import errno
import fcntl
import ipaddress
import select
import socket
import struct
import time
from dataclasses import dataclass
from typing import (Callable, Dict, Generator, Iterable, List, Optional, Sequence, Tuple,
                    TypeVar, Union, cast)

from .errors import (CamDiscoError, DeviceNotFound, FieldError, MalformedDatagram, NoReply,
                     NotConfirmed, Rejected)
from .wire import (MODE_DHCP, MODE_STATIC, MSG_SEARCH, PORT, Mode, ModifyReply, ModifyRequest,
                   SearchReply, encode_search, mode_code, mode_text, new_seq, normalize_mac,
                   settable_mode, _addr_field)

BROADCAST = "255.255.255.255"
# How often a wait for a move repeats its search: a device moves a moment after it
# answered, and each repeat is one more chance to see it at its new address.
WAIT_INTERVAL_S = 0.5

_IP_PKTINFO = getattr(socket, "IP_PKTINFO", 8)
_PKTINFO = struct.Struct("=I4s4s")   # ipi_ifindex, ipi_spec_dst, ipi_addr
_RECV_SIZE = 2048
_MAX_READS = 100000                  # datagrams read by one exchange, at most
_RCVBUF = 4 * 1024 * 1024            # room for the replies of a large LAN at once
_SEND_SKIPPED = (errno.ENETUNREACH, errno.EADDRNOTAVAIL, errno.ENETDOWN, errno.EAGAIN,
                 errno.ENOBUFS)

T = TypeVar("T")


# ---------------------------------------------------------------- interfaces

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


def interfaces(sock: Optional[socket.socket] = None,
               include_loopback: bool = False) -> List[Interface]:
    """The up IPv4 interfaces (first address of each) of the network namespace
    of `sock` (a fresh socket when none is given)."""
    own = sock is None
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM) if sock is None else sock
    try:
        count = 64
        length = 0
        buf = bytearray()
        for _ in range(8):  # grow until the list fits
            buf = bytearray(_IFREQ_SIZE * count)
            ifc = struct.pack("iP", len(buf), _buffer_address(buf))
            res = fcntl.ioctl(s.fileno(), SIOCGIFCONF, ifc)
            length = struct.unpack_from("i", res)[0]
            if length < len(buf):
                break
            count *= 4
        out: List[Interface] = []
        seen = set()
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


def _buffer_address(buf: bytearray) -> int:
    """Address of a bytearray's storage, for the one ioctl that takes a pointer."""
    return ctypes.addressof((ctypes.c_char * len(buf)).from_buffer(buf))


# ---------------------------------------------------------------- devices

@dataclass(frozen=True)
class Device(SearchReply):
    """A search reply with the client-side interface it arrived on."""
    interface: str = ""
    interface_index: int = 0
    source: Tuple[str, int] = ("", 0)
    arrival: int = 0            # 0 for the device whose reply came first, 1 next, ...

    @property
    def key(self) -> str:
        """What tells devices apart: the MAC text, else the address."""
        return "mac:" + self.mac if self.mac else "ip:" + self.ip

    def to_json(self) -> Dict[str, Union[str, int]]:
        """The object `devsearch search --json` prints for this device, key for key.
        Bytes that are not UTF-8 read as U+FFFD, as there."""
        def t(text: str) -> str:
            return text.encode("utf-8", "surrogateescape").decode("utf-8", "replace")
        return {"ip": t(self.ip), "netmask": t(self.netmask), "gateway": t(self.gateway),
                "dns1": t(self.dns1), "dns2": t(self.dns2), "mac": t(self.mac),
                "mode": self.mode, "media_port": self.media_port, "web_port": self.web_port,
                "device_type": t(self.device_type),
                "device_type_code": "0x%016X" % self.device_type_code,
                "version": t(self.version), "device_id": self.device_id, "name": t(self.name),
                "hostname": t(self.hostname), "channels": self.channels,
                "p2p_id": t(self.p2p_id), "interface": self.interface, "url": self.url,
                "snapshot_url": self.snapshot_url}


# The keys of Device.to_json(), in order: the columns of a search CSV.
DEVICE_KEYS: Tuple[str, ...] = (
    "ip", "netmask", "gateway", "dns1", "dns2", "mac", "mode", "media_port", "web_port",
    "device_type", "device_type_code", "version", "device_id", "name", "hostname", "channels",
    "p2p_id", "interface", "url", "snapshot_url")


def _mac_or_none(text: str) -> Optional[str]:
    try:
        return normalize_mac(text)
    except FieldError:
        return None


def _addr_order(text: str) -> Tuple[int, int]:
    try:
        return (0, int(ipaddress.IPv4Address(text)))
    except ValueError:
        return (1, 0)


def sort_devices(devices: Iterable[Device]) -> List[Device]:
    """By address (numerically), then MAC; unreadable addresses last."""
    return sorted(devices, key=lambda d: (_addr_order(d.ip), d.mac))


def find(devices: Iterable[Device], mac: Optional[str] = None,
         ip: Optional[str] = None) -> Device:
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


# ---------------------------------------------------------------- one exchange

Datagram = Tuple[bytes, Tuple[str, int], int]   # data, source, arrival interface index


class Exchange:
    """One timed exchange, whatever drives it: `send` goes out at k x timeout /
    (retries + 1), k = 0..retries, and every datagram that arrives is handed to
    `take` until the timeout, or until `take` returns True. Every repeat goes
    out, even when the caller was held up past the timeout."""

    def __init__(self, send: Callable[[], None], take: Callable[[bytes, Tuple[str, int], int],
                                                                bool],
                 timeout: float, retries: int) -> None:
        self.send = send
        self.take = take
        self.timeout = float(timeout)
        self.sends = int(retries) + 1
        self.sent = 0
        self.reads = 0
        self.start: Optional[float] = None

    def due(self, now: float) -> Optional[float]:
        """Sends what is due by now; returns how long to wait for datagrams, or None
        when the exchange is over."""
        if self.start is None:
            self.start = now
        while self.sent < self.sends and now >= self.start + self.timeout * self.sent / self.sends:
            self.send()
            self.sent += 1
        end = self.start + self.timeout
        if (now >= end and self.sent >= self.sends) or self.reads >= _MAX_READS:
            return None
        wake = self.start + self.timeout * self.sent / self.sends if self.sent < self.sends \
            else end
        return max(0.0, wake - now)

    def datagram(self, data: bytes, source: Tuple[str, int], index: int) -> bool:
        self.reads += 1
        return self.take(data, source, index)


def recv_datagram(sock: socket.socket) -> Datagram:
    """One datagram with the index of the interface it arrived on (IP_PKTINFO)."""
    data, anc, _, source = sock.recvmsg(_RECV_SIZE, socket.CMSG_SPACE(_PKTINFO.size))
    index = 0
    for level, kind, payload in anc:
        if level == socket.IPPROTO_IP and kind == _IP_PKTINFO and len(payload) >= 4:
            index = struct.unpack_from("=I", payload)[0]
    return data, (str(source[0]), int(source[1])), index


def run_exchange(sock: socket.socket, ex: Exchange) -> bool:
    """Drives one exchange on a socket, blocking; True when `take` ended it."""
    while True:
        wait = ex.due(time.monotonic())
        if wait is None:
            return False
        ready, _, _ = select.select([sock], [], [], wait)
        if not ready:
            continue
        try:
            got = recv_datagram(sock)
        except (BlockingIOError, InterruptedError):
            continue
        if ex.datagram(*got):
            return True


Flow = Generator[Exchange, bool, T]


def run_flow(flow: "Flow[T]", sock: socket.socket) -> T:
    """Drives a flow to its end, blocking; returns what it returns."""
    try:
        ex = next(flow)
        while True:
            ex = flow.send(run_exchange(sock, ex))
    except StopIteration as stop:
        return cast(T, stop.value)


# ---------------------------------------------------------------- sockets

def client_socket() -> socket.socket:
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        s.bind(("0.0.0.0", 0))
    except OSError:
        s.close()
        raise
    return s


def prepare(sock: socket.socket) -> None:
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    sock.setsockopt(socket.IPPROTO_IP, _IP_PKTINFO, 1)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, _RCVBUF)
    except OSError:
        pass


def send_datagram(sock: socket.socket, data: bytes, dest: Tuple[str, int],
                  iface: Optional[Interface], dontroute: bool = False) -> None:
    """One datagram out of iface (None: as the routes say)."""
    anc = []
    if iface is not None:
        anc = [(socket.IPPROTO_IP, _IP_PKTINFO,
                _PKTINFO.pack(iface.index, socket.inet_aton(iface.address), bytes(4)))]
    sock.sendmsg([data], anc, socket.MSG_DONTROUTE if dontroute else 0, dest)


IfaceSpec = Optional[Sequence[Union[str, Interface]]]


def pick_interfaces(sock: socket.socket, ifaces: IfaceSpec) -> List[Interface]:
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


def _device_links(sock: socket.socket, dev: Device, ifaces: IfaceSpec) -> List[Interface]:
    """The interface a device answered on, else those asked for."""
    if dev.interface_index:
        for i in interfaces(sock, include_loopback=True):
            if i.index == dev.interface_index:
                return [i]
    return pick_interfaces(sock, ifaces)


# ---------------------------------------------------------------- search

Stop = Callable[[Device, Dict[str, Device]], bool]


def search_flow(sock: socket.socket, links: List[Interface], timeout: float, retries: int,
                port: int = PORT, dest: str = BROADCAST, msg_type: int = MSG_SEARCH,
                seq: Optional[int] = None, stop: Optional[Stop] = None,
                dontroute: bool = False) -> "Flow[List[Device]]":
    """Every device that answers, once each (the first reply of each MAC text,
    else address). `stop` sees every valid reply, repeats included, with the
    devices found so far; the search ends when it returns True."""
    if not links:
        raise CamDiscoError("no interface is up with an IPv4 address")
    prepare(sock)
    seq = new_seq() if seq is None else seq
    data = encode_search(seq, msg_type)
    names = {i.index: i.name for i in links}
    found: Dict[str, Device] = {}

    def send_all() -> None:
        sent = 0
        for iface in links:
            try:
                send_datagram(sock, data, (dest, port), iface, dontroute)
                sent += 1
            except OSError as exc:
                if exc.errno not in _SEND_SKIPPED:
                    raise
        if not sent:
            raise CamDiscoError("the search could not be sent out of any interface")

    def take(raw: bytes, source: Tuple[str, int], index: int) -> bool:
        try:
            reply = SearchReply.unpack(raw)
        except MalformedDatagram:
            return False
        if reply.header.seq != seq:
            return False
        kw = {f.name: getattr(reply, f.name) for f in dataclasses.fields(SearchReply)}
        dev = Device(interface=names.get(index, ""), interface_index=index, source=source,
                     arrival=len(found), **kw)
        found.setdefault(dev.key, dev)
        return stop is not None and stop(dev, found)

    yield Exchange(send_all, take, timeout, retries)
    return sort_devices(found.values())


def expectation(expect: Optional[int] = None, mac: Optional[str] = None) -> Optional[Stop]:
    """A stop rule: `expect` distinct devices have answered, and (when given) the
    device with this MAC is among them. None when neither is given."""
    if expect is None and mac is None:
        return None
    want = normalize_mac(mac) if mac is not None else None

    def met(_: Device, found: Dict[str, Device]) -> bool:
        if expect is not None and len(found) < expect:
            return False
        return want is None or any(_mac_or_none(d.mac) == want for d in found.values())
    return met


def search(timeout: float = 2.0, retries: int = 2, ifaces: IfaceSpec = None,
           sock: Optional[socket.socket] = None, port: int = PORT, dest: str = BROADCAST,
           msg_type: int = MSG_SEARCH, seq: Optional[int] = None, expect: Optional[int] = None,
           mac: Optional[str] = None) -> List[Device]:
    """Every device that answers, once each (by MAC text, else address), sorted
    by address. The search goes out of every interface (`ifaces`: names or
    Interface records; all up IPv4 interfaces when None), 1 + retries times
    spread over the timeout; it ends at the timeout, or as soon as `expect`
    devices have answered and (when given) the device with MAC `mac` is among
    them. `sock`: a socket to use (for instance one made in another network
    namespace); it is left open."""
    s = client_socket() if sock is None else sock
    try:
        return run_flow(search_flow(s, pick_interfaces(s, ifaces), timeout, retries, port, dest,
                                    msg_type, seq, expectation(expect, mac)), s)
    finally:
        if sock is None:
            s.close()


# ---------------------------------------------------------------- modification

@dataclass(frozen=True)
class ModifyResult:
    """A modification that took effect: the device answered it (AckFlag 0), or
    its reply was lost and a search shows the new settings. With a wait, a search
    showed the device with them `confirm_ms` milliseconds after the reply."""
    device: Device                       # the device as found before the request
    request: ModifyRequest
    reply: Optional[ModifyReply]         # None: the reply was lost, a search confirmed
    confirmed_by: str = "reply"          # "reply" or "search"
    confirm_ms: Optional[int] = None     # from the reply (or request) to the search
    seen: Optional[Device] = None        # the device as that search saw it

    result = "applied"
    reason = ""

    @property
    def command(self) -> str:
        return "set-mac" if self.request.set_mac else "modify"

    @property
    def ack_flag(self) -> Optional[int]:
        return self.reply.header.ack_flag if self.reply is not None else None

    @property
    def old(self) -> Dict[str, Union[str, int]]:
        return change_values(self.device, None, self.request.set_mac)

    @property
    def new(self) -> Dict[str, Union[str, int]]:
        return change_values(None, self.request, self.request.set_mac)

    def to_json(self) -> Dict[str, object]:
        """The object `devsearch modify --json` prints, key for key."""
        return {"result": self.result, "command": self.command, "reason": self.reason,
                "confirmed_by": self.confirmed_by, "confirm_ms": self.confirm_ms,
                "ack_flag": self.ack_flag, "device": self.device.to_json(), "old": self.old,
                "new": self.new}


def change_values(dev: Optional[Device], req: Optional[ModifyRequest],
                  set_mac: bool) -> Dict[str, Union[str, int]]:
    """The values a command changes (the `old` and `new` objects of its JSON):
    a device's current ones, or a request's."""
    if set_mac:
        return {"mac": dev.mac if dev is not None else req.mac if req is not None else ""}
    if dev is not None:
        return {"ip": dev.ip, "netmask": dev.netmask, "gateway": dev.gateway, "dns1": dev.dns1,
                "dns2": dev.dns2, "mode": dev.mode, "media_port": dev.media_port,
                "web_port": dev.web_port}
    assert req is not None
    return {"ip": req.ip, "netmask": req.netmask, "gateway": req.gateway, "dns1": req.dns1,
            "dns2": req.dns2, "mode": req.mode_name, "media_port": req.media_port,
            "web_port": req.web_port}


def _u32(text: str) -> int:
    return int(ipaddress.IPv4Address(text))


def is_unicast_host(text: str) -> bool:
    """Not 0.0.0.0, not 127/8, below 224.0.0.0 (multicast, reserved, broadcast)."""
    value = _u32(text)
    return value != 0 and value >> 24 != 127 and value < 0xE0000000


def is_netmask(text: str) -> bool:
    """Contiguous ones from the top, and not 0.0.0.0."""
    inv = ~_u32(text) & 0xFFFFFFFF
    return inv != 0xFFFFFFFF and inv & (inv + 1) == 0


def check_settings(req: ModifyRequest) -> None:
    """A static configuration must be usable: the address a unicast host that is
    neither the network nor the broadcast address of its subnet, a contiguous
    netmask, the gateway 0.0.0.0 or another host of that subnet, DNS servers
    0.0.0.0 or unicast. DHCP settings are stored but not used by the device.
    Raises FieldError saying what is wrong."""
    if req.set_mac or req.mode_name == "dhcp":
        return
    if not is_unicast_host(req.ip):
        raise FieldError("address %s is not a unicast host address" % req.ip)
    if not is_netmask(req.netmask):
        raise FieldError("netmask %s is not a contiguous netmask" % req.netmask)
    ip, mask = _u32(req.ip), _u32(req.netmask)
    host_bits = ~mask & 0xFFFFFFFF

    def edge(addr: int) -> bool:   # /31 and /32 have no network or broadcast address
        return mask < 0xFFFFFFFE and addr & host_bits in (0, host_bits)

    if edge(ip):
        raise FieldError("address %s is the network or broadcast address of its subnet" % req.ip)
    gw = _u32(req.gateway)
    if gw != 0 and (not is_unicast_host(req.gateway) or gw & mask != ip & mask or gw == ip or
                    edge(gw)):
        raise FieldError("gateway %s is not another host of %s's subnet (give the gateway, "
                         "0.0.0.0 for none)" % (req.gateway, req.ip))
    for dns in (req.dns1, req.dns2):
        if _u32(dns) != 0 and not is_unicast_host(dns):
            raise FieldError("a DNS server is not a unicast address (0.0.0.0 for none)")


def device_request(dev: Device, user: str, password: str, ip: Optional[str] = None,
                   netmask: Optional[str] = None, gateway: Optional[str] = None,
                   dns1: Optional[str] = None, dns2: Optional[str] = None,
                   media_port: Optional[int] = None, web_port: Optional[int] = None,
                   mode: Optional[Mode] = None, extended: bool = True, *,
                   check: bool = True) -> ModifyRequest:
    """A modification of dev: the values given, every other as the device reported it;
    unusable settings raise FieldError (check_settings) and never leave."""
    addrs: Dict[str, str] = {}
    for key, given_addr, reported_addr in (
            ("ip", ip, dev.ip), ("netmask", netmask, dev.netmask),
            ("gateway", gateway, dev.gateway), ("dns1", dns1, dev.dns1),
            ("dns2", dns2, dev.dns2)):
        text = reported_addr if given_addr is None else str(given_addr)
        try:
            _addr_field(text, key)
        except FieldError:
            raise FieldError("%s: not an IPv4 address: %r%s" % (
                key, text, "" if given_addr is not None else
                " (as the device reports it; give %s=)" % key)) from None
        addrs[key] = text
    ports: Dict[str, int] = {}
    for key, given, reported in (("media_port", media_port, dev.media_port),
                                 ("web_port", web_port, dev.web_port)):
        port_value = reported if given is None else given
        if not isinstance(port_value, int) or isinstance(port_value, bool) or \
                not 0 < port_value < 65536:
            raise FieldError("%s: %r is not a port 1-65535%s" % (
                key, port_value, "" if given is not None else
                " (as the device reports it; give %s=)" % key))
        ports[key] = port_value
    if mode is not None:
        code, valid = settable_mode(mode), True
    elif dev.mode_code in (MODE_DHCP, MODE_STATIC):
        code, valid = dev.mode_code, True       # keep the device's mode
    else:
        code, valid = MODE_STATIC, False        # the device stores static
    req = ModifyRequest(user=user, password=password, target=dev.ip,
                        device_type_code=dev.device_type_code, mac=dev.mac, mode=code,
                        mode_valid=valid, extended=extended, media_port=ports["media_port"],
                        web_port=ports["web_port"], ip=addrs["ip"], netmask=addrs["netmask"],
                        gateway=addrs["gateway"], dns1=addrs["dns1"], dns2=addrs["dns2"])
    if check:
        check_settings(req)
    return req


def shows_settings(req: ModifyRequest, before: Device, now: Device) -> bool:
    """Whether a search reply shows the device of `before` with the settings of
    `req` (what a search can show of them: address, netmask and mode, or the MAC)."""
    if req.set_mac:
        return _mac_or_none(now.mac) == _mac_or_none(req.mac) and now.ip == before.ip
    if now.key != before.key:
        return False
    if now.mode != req.mode_name:
        return False
    return req.mode_name == "dhcp" or (now.ip == req.ip and now.netmask == req.netmask)


def visible_change(req: ModifyRequest, before: Device) -> bool:
    """Whether req changes something a search shows: the MAC of a MAC set; else
    the mode, or under static addressing the address or netmask."""
    if req.set_mac:
        return _mac_or_none(before.mac) != _mac_or_none(req.mac)
    static = req.mode_name != "dhcp"
    return before.mode != req.mode_name or (static and (before.ip != req.ip or
                                                        before.netmask != req.netmask))


def shows_lost_reply(req: ModifyRequest, before: Device, now: Device) -> bool:
    """Whether a search reply shows an unanswered request in effect: it changed
    something a search shows, and every value a search shows equals the request's."""
    if not visible_change(req, before) or not shows_settings(req, before, now):
        return False
    return req.set_mac or ((now.media_port, now.web_port, now.dns1, now.dns2) ==
                           (req.media_port, req.web_port, req.dns1, req.dns2))


@dataclass
class Watch:
    """One device a wait looks for: `rule(now)` tells when a reply shows it; it is
    looked for `bound` seconds from the start of the search."""
    rule: Callable[[Device], bool]
    since: float                          # monotonic time the wait counts from
    bound: float
    seen: Optional[Device] = None
    seen_after: Optional[float] = None    # seconds from `since` to the reply that showed it
    on_seen: Optional[Callable[["Watch"], None]] = None   # called once, when it is seen


def watch_flow(sock: socket.socket, links: List[Interface], watches: Sequence[Watch],
               port: int = PORT, dest: str = BROADCAST,
               dontroute: bool = False) -> "Flow[None]":
    """One search, repeated every WAIT_INTERVAL_S until every watch has been seen
    or its bound has passed; fills in each watch's seen and seen_after."""
    if not watches:
        return
    timeout = max(w.bound for w in watches)
    retries = max(0, int(timeout / WAIT_INTERVAL_S) - 1)
    start = time.monotonic()

    def stop(dev: Device, _: Dict[str, Device]) -> bool:
        now = time.monotonic()
        for w in watches:
            if w.seen is None and w.rule(dev):
                w.seen, w.seen_after = dev, max(0.0, now - w.since)
                if w.on_seen is not None:
                    w.on_seen(w)
        return all(w.seen is not None or now - start >= w.bound for w in watches)

    yield from search_flow(sock, links, timeout, retries, port, dest, stop=stop,
                           dontroute=dontroute)


def _ms(seconds: Optional[float]) -> Optional[int]:
    return None if seconds is None else int(round(seconds * 1000))


def request_flow(sock: socket.socket, dev: Device, req: ModifyRequest, links: List[Interface],
                 timeout: float, retries: int, port: int, dest: str,
                 dontroute: bool) -> "Flow[Optional[ModifyReply]]":
    """Sends req (repeated identically as the retries allow) out of the interface
    dev answered on, and returns its reply, or None when none came."""
    seq = new_seq()
    data = req.pack(seq=seq)
    iface = links[0] if dev.interface_index and links else None
    got: List[ModifyReply] = []

    def send() -> None:
        send_datagram(sock, data, (dest, port), iface, dontroute=dontroute)

    def take(raw: bytes, source: Tuple[str, int], index: int) -> bool:
        try:
            got.append(ModifyReply.unpack(raw, seq=seq, msgid=req.msgid))
        except MalformedDatagram:
            return False
        return True

    answered = yield Exchange(send, take, timeout, retries)
    return got[0] if answered else None


def _no_reply_text(dev: Device, timeout: float, check: str) -> str:
    return ("no reply from %s within %.1f s, %s: refused (wrong password, locked, settings "
            "unusable, not for it) or lost; not applied" % (dev.ip, timeout, check))


def modify_flow(sock: socket.socket, dev: Device, req: ModifyRequest, timeout: float,
                retries: int, port: int, dest: str, dontroute: bool, wait: bool,
                wait_timeout: float, ifaces: IfaceSpec) -> "Flow[ModifyResult]":
    """Sends req to dev and waits for its reply; without one, a search tells
    whether it took effect; with `wait`, a search must show the device with the
    new settings within wait_timeout. The searches go where the request went."""
    prepare(sock)
    links = _device_links(sock, dev, ifaces)
    sent_at = time.monotonic()
    reply = yield from request_flow(sock, dev, req, links, timeout, retries, port, dest,
                                    dontroute)
    answered = reply is not None
    if reply is None and not visible_change(req, dev):
        raise NoReply(_no_reply_text(dev, timeout, "and a search could not show the change"),
                      req, dev)
    if reply is not None and reply.header.ack_flag != 0:
        raise Rejected(reply.header.ack_flag, req, dev)
    if reply is not None and not wait:
        return ModifyResult(device=dev, request=req, reply=reply)
    # an answered change is looked for the wait's time, an unanswered one a reply
    # wait's: a device that took it moves a moment after its reply, a refusing one never
    if answered:
        watch = Watch(lambda now: shows_settings(req, dev, now), time.monotonic(),
                      wait_timeout)
    else:
        watch = Watch(lambda now: shows_lost_reply(req, dev, now), sent_at, timeout)
    check_timeout = watch.bound
    yield from watch_flow(sock, links, [watch], port, dest, dontroute)
    if watch.seen is None:
        if answered:
            raise NotConfirmed("%s answered, but no search showed it with the new settings "
                               "within %.1f s" % (dev.ip, check_timeout),
                               ModifyResult(device=dev, request=req, reply=reply))
        raise NoReply(_no_reply_text(dev, timeout, "and a search does not show the change"),
                      req, dev)
    return ModifyResult(device=dev, request=req, reply=reply,
                        confirmed_by="search", confirm_ms=_ms(watch.seen_after),
                        seen=watch.seen)


def set_mac_request(device: Device, new_mac: str, user: str,
                    password: str) -> ModifyRequest:
    """A MAC set of a device: its current settings, and the new MAC."""
    mac = normalize_mac(new_mac)
    first = int(mac[:2], 16)
    if mac == "00-00-00-00-00-00" or first & 1:
        raise FieldError("%s is not a unicast MAC (all zero, or the group bit is set)" % mac)
    # the address fields are not applied: only the MAC text is checked
    return dataclasses.replace(device_request(device, user, password, check=False),
                               set_mac=True, mac=mac)


def modify(device: Device, user: str, password: str, ip: Optional[str] = None,
           netmask: Optional[str] = None, gateway: Optional[str] = None,
           dns1: Optional[str] = None, dns2: Optional[str] = None,
           media_port: Optional[int] = None, web_port: Optional[int] = None,
           mode: Optional[Mode] = None, extended: bool = True, timeout: float = 5.0,
           retries: int = 2, wait: bool = False, wait_timeout: float = 10.0,
           sock: Optional[socket.socket] = None, port: int = PORT, dest: str = BROADCAST,
           ifaces: IfaceSpec = None) -> ModifyResult:
    """Changes the network settings of a device found by search(). Settings not
    given stay as the device reported them; `mode` is "static", "dhcp" or the
    number (2, 0). Broadcast out of the interface the device answered on (it may
    sit in another subnet); the extended form names it by address, MAC text and
    type code, the first form (extended=False) by address alone. The reply wait
    (`timeout`) covers a device that syncs its flash before it answers. With
    `wait`, a search must then show the device with the new settings within
    `wait_timeout` (confirmed_by "search", confirm_ms). Raises NoReply, Rejected,
    NotConfirmed or FieldError."""
    req = device_request(device, user, password, ip, netmask, gateway, dns1, dns2, media_port,
                         web_port, mode, extended)
    s = client_socket() if sock is None else sock
    try:
        return run_flow(modify_flow(s, device, req, timeout, retries, port, dest, False, wait,
                                    wait_timeout, ifaces), s)
    finally:
        if sock is None:
            s.close()


def set_mac(device: Device, new_mac: str, user: str, password: str, timeout: float = 5.0,
            retries: int = 2, wait: bool = False, wait_timeout: float = 10.0,
            sock: Optional[socket.socket] = None, port: int = PORT,
            ifaces: IfaceSpec = None) -> ModifyResult:
    """Sets the MAC address of a device found by search(). Sent unicast to the
    device, straight onto its link: every device that accepts the password takes
    a MAC set, whatever address it names. `wait` as for modify()."""
    req = set_mac_request(device, new_mac, user, password)
    s = client_socket() if sock is None else sock
    try:
        # Unicast, straight onto the device's link (see above); the check too.
        return run_flow(modify_flow(s, device, req, timeout, retries, port, device.ip, True,
                                    wait, wait_timeout, ifaces), s)
    finally:
        if sock is None:
            s.close()


def move_rule(mac: str, address: Optional[str], netmask: Optional[str] = None,
              mode: Optional[Mode] = None) -> Callable[[Device], bool]:
    want_mac = normalize_mac(mac)
    want_mode = mode_text(mode_code(mode)) if mode is not None else None

    def rule(now: Device) -> bool:
        return (_mac_or_none(now.mac) == want_mac and
                (address is None or now.ip == address) and
                (netmask is None or now.netmask == netmask) and
                (want_mode is None or now.mode == want_mode))
    return rule


def wait_steps(sock: socket.socket, mac: str, address: Optional[str], timeout: float,
               netmask: Optional[str], mode: Optional[Mode], ifaces: IfaceSpec, port: int,
               dest: str) -> "Flow[Device]":
    watch = Watch(move_rule(mac, address, netmask, mode), time.monotonic(), timeout)
    yield from watch_flow(sock, pick_interfaces(sock, ifaces), [watch], port, dest)
    if watch.seen is None:
        raise NotConfirmed("no device %s answered at %s within %.1f s" %
                           (normalize_mac(mac), address or "any address", timeout))
    return watch.seen


def wait_for_move(mac: str, address: Optional[str], timeout: float = 10.0, *,
                  netmask: Optional[str] = None, mode: Optional[Mode] = None,
                  ifaces: IfaceSpec = None, sock: Optional[socket.socket] = None,
                  port: int = PORT, dest: str = BROADCAST) -> Device:
    """Searches (every WAIT_INTERVAL_S) until the device with this MAC answers at
    `address` (any address when None; and with `netmask` and `mode` when given);
    returns it as that reply shows it. Raises NotConfirmed after `timeout`."""
    s = client_socket() if sock is None else sock
    try:
        return run_flow(wait_steps(s, mac, address, timeout, netmask, mode, ifaces, port, dest),
                        s)
    finally:
        if sock is None:
            s.close()
