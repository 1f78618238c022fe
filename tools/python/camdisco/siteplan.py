# SPDX-License-Identifier: MIT
"""Site workflows: the search as CSV, plans that re-address many devices, and their
sequential assignment; the same rules and names as `devsearch search --csv`,
`devsearch assign` and `devsearch apply`.

    text = to_csv(search())                       # one header line, one row per device
    plan = parse_plan(text_edited)                # PlanError(line, reason) when malformed
    plan = assign(search(), "192.168.1.100")      # sequential, skipping held addresses
    for r in apply(plan, "admin", "1234"):         # changes, waits for each move, confirms
        print(r.line, r.mac, r.result, r.confirm_ms)

A plan names each device by its MAC and gives any of ip, netmask, gateway, dns1, dns2
and mode; an empty cell keeps the device's value, and the other columns of a search
CSV are read and ignored, so an edited search CSV is a plan.
"""

import ipaddress
import re
import socket
import time
from dataclasses import dataclass, field
from typing import Callable, Dict, Iterable, List, Optional, Sequence, Tuple

from .errors import FieldError, PlanError
from .net import (BROADCAST, DEVICE_KEYS, Device, Flow, IfaceSpec, Watch,
                  change_values, client_socket, device_request, is_netmask, is_unicast_host,
                  pick_interfaces, prepare, request_flow, run_flow, search_flow,
                  shows_lost_reply, shows_settings, visible_change, watch_flow, _mac_or_none,
                  _ms)
from .wire import PORT, ModifyRequest, normalize_mac

PLAN_COLUMNS: Tuple[str, ...] = ("mac", "ip", "netmask", "gateway", "dns1", "dns2", "mode")
# A plan is for a site, not a flood: bounds on what is read.
PLAN_MAX_BYTES = 4 * 1024 * 1024
PLAN_MAX_ROWS = 10000

# The results of an apply row.
APPLIED = "applied"                  # the device took it (confirmed_by says how we know)
UNCHANGED = "unchanged"              # the device holds these settings already: nothing sent
WOULD_CHANGE = "would_change"        # dry run: this is what would be sent
NOT_FOUND = "not_found"              # no device with this MAC answered the search
REFUSED_LOCALLY = "refused_locally"  # nothing sent: the settings or the device are unusable
NO_REPLY = "no_reply"                # sent, unanswered, and no search shows it: not applied
NOT_CONFIRMED = "not_confirmed"      # answered, but no search showed it in time
REFUSED_BY_DEVICE = "refused_by_device"   # answered with a nonzero AckFlag


# ---------------------------------------------------------------- CSV

def _csv_text(value: str) -> str:
    """A device's text as a CSV cell: bytes that are not UTF-8 as U+FFFD (as in the
    JSON), control characters as '?', so every device is one line."""
    text = value.encode("utf-8", "surrogateescape").decode("utf-8", "replace")
    return re.sub(r"[\x00-\x1f\x7f]", "?", text)


def _csv_cell(value: str) -> str:
    """RFC 4180: a cell with a comma, a quote or a line break is quoted, quotes doubled."""
    if any(c in value for c in ',"\r\n'):
        return '"' + value.replace('"', '""') + '"'
    return value


def csv_line(cells: Iterable[str]) -> str:
    return ",".join(_csv_cell(c) for c in cells) + "\r\n"


def to_csv(devices: Iterable[Device]) -> str:
    """The search as CSV: a header line with the keys of `devsearch search --json`,
    then one line per device, CRLF line ends (RFC 4180)."""
    out = [csv_line(DEVICE_KEYS)]
    for dev in devices:
        obj = dev.to_json()
        out.append(csv_line(_csv_text(str(obj[k])) if isinstance(obj[k], str) else str(obj[k])
                            for k in DEVICE_KEYS))
    return "".join(out)


def read_csv(text: str) -> List[Tuple[int, List[str]]]:
    """The records of an RFC 4180 text, each with the line it starts on. Lines end
    with CRLF or LF; blank lines are skipped. Raises PlanError for a quote inside
    an unquoted cell, text after a closing quote, a stray CR or an open quote."""
    records: List[Tuple[int, List[str]]] = []
    cells: List[str] = []
    cell: List[str] = []
    quoted = False                      # the cell being read was quoted
    line = start = 1
    i, n = 0, len(text)

    def finish() -> None:
        cells.append("".join(cell))
        if cells != [""] or quoted:     # a blank line is no record
            records.append((start, list(cells)))

    while i < n:
        c = text[i]
        i += 1
        if c == '"':
            if cell or quoted:
                raise PlanError(line, "a quote inside an unquoted cell" if cell else
                                "text after the closing quote of a cell")
            quoted, opened = True, line
            while True:
                if i >= n:
                    raise PlanError(opened, "a quoted cell is not closed")
                c = text[i]
                i += 1
                if c == '"' and i < n and text[i] == '"':
                    i += 1
                elif c == '"':
                    break
                elif c == "\n":
                    line += 1
                cell.append(c)
            if i < n and text[i] not in ",\r\n":
                raise PlanError(line, "text after the closing quote of a cell")
        elif c == ",":
            cells.append("".join(cell))
            cell, quoted = [], False
        elif c == "\r" and (i >= n or text[i] != "\n"):
            raise PlanError(line, "a carriage return that does not end a line")
        elif c == "\r":
            continue                    # the LF that follows ends the line
        elif c == "\n":
            finish()
            cells, cell, quoted = [], [], False
            line += 1
            start = line
        else:
            cell.append(c)
    if cells or cell or quoted:
        finish()
    return records


# ---------------------------------------------------------------- plans

@dataclass(frozen=True)
class PlanRow:
    """One device of a plan: its MAC and the settings to give it (None: keep)."""
    mac: str                          # normalised: "AA-BB-CC-DD-EE-FF"
    ip: Optional[str] = None
    netmask: Optional[str] = None
    gateway: Optional[str] = None
    dns1: Optional[str] = None
    dns2: Optional[str] = None
    mode: Optional[str] = None        # "static" or "dhcp"
    line: int = 0                     # the line of the plan file it came from


_QUAD = re.compile(r"(0|[1-9][0-9]{0,2})(\.(0|[1-9][0-9]{0,2})){3}")


def _quad(text: str) -> bool:
    """Strict dotted decimal, as devsearch reads it (no leading zeros, no spaces)."""
    return bool(_QUAD.fullmatch(text)) and all(int(p) < 256 for p in text.split("."))


def _plan_value(column: str, text: str) -> Optional[str]:
    """One cell of a plan's settings, checked; None when empty. Raises ValueError."""
    text = text.strip(" \t")
    if not text:
        return None
    if column == "mode":
        word = text.lower()
        if word in ("static", "2"):
            return "static"
        if word in ("dhcp", "0"):
            return "dhcp"
        if word == "none":          # a device that reports no mode: keep what it has
            return None
        raise ValueError('mode: "%s" is neither static nor dhcp' % text)
    if not _quad(text):
        raise ValueError('%s: not an IPv4 address: "%s"' % (column, text))
    if column == "ip" and not is_unicast_host(text):
        raise ValueError("ip: %s is not a unicast host address" % text)
    if column == "netmask" and not is_netmask(text):
        raise ValueError("netmask: %s is not a contiguous netmask" % text)
    return text


def parse_plan(text: str) -> List[PlanRow]:
    """The rows of a plan (CSV text), each checked; raises PlanError with the line
    and the reason for the first fault: an unknown or repeated column, no mac
    column, a row with another number of cells than the header, a bad MAC or
    address, a MAC or an address given twice, no rows at all."""
    if len(text) > PLAN_MAX_BYTES:
        raise PlanError(1, "larger than %d bytes" % PLAN_MAX_BYTES)
    if text.startswith("\ufeff"):
        text = text[1:]             # a spreadsheet's byte order mark
    records = read_csv(text)
    if not records:
        raise PlanError(1, "the plan is empty (a header line and one row per device)")
    header = [name.strip(" \t") for name in records[0][1]]
    for name in header:
        if name not in DEVICE_KEYS:
            raise PlanError(records[0][0], 'unknown column "%s" (a plan has mac and any of %s; '
                            'the other columns of a search CSV are ignored)'
                            % (name, ", ".join(PLAN_COLUMNS[1:])))
        if header.count(name) > 1:
            raise PlanError(records[0][0], 'column "%s" appears twice' % name)
    if "mac" not in header:
        raise PlanError(records[0][0], 'no "mac" column')
    rows: List[PlanRow] = []
    macs: Dict[str, int] = {}
    ips: Dict[str, int] = {}
    for line, cells in records[1:]:
        if len(rows) >= PLAN_MAX_ROWS:
            raise PlanError(line, "more than %d rows" % PLAN_MAX_ROWS)
        if len(cells) != len(header):
            raise PlanError(line, "%d cells, the header has %d" % (len(cells), len(header)))
        values = dict(zip(header, cells))
        try:
            mac = normalize_mac(values["mac"].strip(" \t"))
        except FieldError:
            raise PlanError(line, 'mac: not a MAC address: "%s"' % values["mac"]) from None
        try:
            settings = {c: _plan_value(c, values[c]) for c in PLAN_COLUMNS[1:] if c in values}
        except ValueError as exc:
            raise PlanError(line, str(exc)) from None
        if mac in macs:
            raise PlanError(line, "mac %s is also on line %d" % (mac, macs[mac]))
        macs[mac] = line
        ip = settings.get("ip")
        if ip is not None and settings.get("mode") != "dhcp":
            if ip in ips:
                raise PlanError(line, "ip %s is also on line %d" % (ip, ips[ip]))
            ips[ip] = line
        rows.append(PlanRow(mac=mac, line=line, **settings))
    if not rows:
        raise PlanError(records[0][0], "the plan has no rows")
    return rows


def plan_to_csv(rows: Sequence[PlanRow]) -> str:
    """A plan as CSV: mac, then each settings column that any row fills."""
    used = [c for c in PLAN_COLUMNS[1:] if any(getattr(r, c) is not None for r in rows)]
    out = [csv_line(["mac"] + used)]
    for r in rows:
        cells = [r.mac] + [getattr(r, c) or "" for c in used]
        out.append(csv_line(cells))
    return "".join(out)


# ---------------------------------------------------------------- assign

def assign(devices: Sequence[Device], start: str, order: str = "mac",
           netmask: Optional[str] = None, gateway: Optional[str] = None,
           dns1: Optional[str] = None, dns2: Optional[str] = None) -> List[PlanRow]:
    """A plan giving the devices sequential addresses from `start`, in MAC order
    ("mac") or in the order their replies came ("found"), skipping every address
    a device answers from already, the gateway, the network and broadcast addresses; the
    addresses stay in start's subnet (with `netmask`, else each device's own).
    Every row is checked as apply checks it. Devices without a MAC are left out
    (a plan names devices by MAC). Raises FieldError when no plan can be made."""
    if not _quad(start) or not is_unicast_host(start):
        raise FieldError("start: %s is not a unicast host address" % start)
    if order not in ("mac", "found"):
        raise FieldError('order: "%s" is neither mac nor found' % order)
    for name, value in (("netmask", netmask), ("gateway", gateway), ("dns1", dns1),
                        ("dns2", dns2)):
        if value is not None and not _quad(value):
            raise FieldError("%s: not an IPv4 address: %r" % (name, value))
    if netmask is not None and not is_netmask(netmask):
        raise FieldError("netmask: %s is not a contiguous netmask" % netmask)
    named = [d for d in devices if _mac_or_none(d.mac) is not None]
    named.sort(key=lambda d: str(_mac_or_none(d.mac)) if order == "mac" else "%09d" % d.arrival)
    held = {d.ip for d in devices}
    base = int(ipaddress.IPv4Address(start))
    candidate = base
    rows: List[PlanRow] = []
    for dev in named:
        mask_text = netmask if netmask is not None else dev.netmask
        if not _quad(mask_text) or not is_netmask(mask_text):
            raise FieldError("the device %s reports no usable netmask; give one" % dev.mac)
        mask = int(ipaddress.IPv4Address(mask_text))
        host_bits = ~mask & 0xFFFFFFFF
        while True:
            if candidate & mask != base & mask:
                raise FieldError("%s/%s has no address left for %d devices" %
                                 (start, mask_text, len(named)))
            edge = mask < 0xFFFFFFFE and candidate & host_bits in (0, host_bits)
            text = str(ipaddress.IPv4Address(candidate))
            if not edge and text not in held and text != (gateway or dev.gateway):
                break
            candidate += 1
        row = PlanRow(mac=normalize_mac(dev.mac), ip=text, netmask=netmask, gateway=gateway,
                      dns1=dns1, dns2=dns2, line=len(rows) + 2)
        try:
            _row_request(row, dev, "-", "-")
        except FieldError as exc:
            raise FieldError("the device %s: %s" % (row.mac, exc)) from None
        rows.append(row)
        candidate += 1
    return rows


# ---------------------------------------------------------------- apply

@dataclass(frozen=True)
class ApplyResult:
    """How one row of a plan ended (the result names above)."""
    line: int
    mac: str
    result: str
    reason: str = ""
    confirmed_by: str = ""              # "search", "reply" (without a wait) or ""
    confirm_ms: Optional[int] = None
    ack_flag: Optional[int] = None
    device: Optional[Device] = None     # as the search found it before the change
    request: Optional[ModifyRequest] = field(default=None, repr=False)

    @property
    def ok(self) -> bool:
        """Applied (and, with a wait, confirmed by a search), or nothing to change;
        for a dry run, also what would change."""
        return self.result in (APPLIED, UNCHANGED, WOULD_CHANGE)

    def to_json(self) -> Dict[str, object]:
        """The object `devsearch apply --json` prints for this row, key for key."""
        old = change_values(self.device, None, False) if self.device is not None else None
        new = change_values(None, self.request, False) if self.request is not None else None
        return {"line": self.line, "mac": self.mac, "result": self.result,
                "reason": self.reason, "confirmed_by": self.confirmed_by,
                "confirm_ms": self.confirm_ms, "ack_flag": self.ack_flag,
                "device": self.device.to_json() if self.device is not None else None,
                "old": old, "new": new}


def _row_request(row: PlanRow, dev: Device, user: str, password: str) -> ModifyRequest:
    return device_request(dev, user, password, ip=row.ip, netmask=row.netmask,
                          gateway=row.gateway, dns1=row.dns1, dns2=row.dns2, mode=row.mode)


def _unchanged(req: ModifyRequest, dev: Device) -> bool:
    return (req.ip, req.netmask, req.gateway, req.dns1, req.dns2, req.mode_name,
            req.media_port, req.web_port) == (dev.ip, dev.netmask, dev.gateway, dev.dns1,
                                              dev.dns2, dev.mode, dev.media_port, dev.web_port)


Progress = Callable[[ApplyResult], None]
# Called when a row's request has had its reply wait: the row, and the reply's
# AckFlag (None: unanswered so far; a search may still show it applied).
Sent = Callable[[PlanRow, Optional[int]], None]


def _rule(shows: Callable[[ModifyRequest, Device, Device], bool], req: ModifyRequest,
          dev: Device) -> Callable[[Device], bool]:
    return lambda now: shows(req, dev, now)


def apply_flow(sock: socket.socket, plan: Sequence[PlanRow], user: str, password: str,
               dry_run: bool, wait: bool, timeout: float, reply_timeout: float, retries: int,
               wait_timeout: float, ifaces: IfaceSpec, port: int, dest: str,
               devices: Optional[Sequence[Device]], progress: Optional[Progress],
               sent: Optional[Sent] = None) -> "Flow[List[ApplyResult]]":
    prepare(sock)
    links = pick_interfaces(sock, ifaces)
    if devices is None:
        wanted = {r.mac for r in plan}

        def all_found(_: Device, found: Dict[str, Device]) -> bool:
            return wanted <= {_mac_or_none(d.mac) for d in found.values()}
        devices = yield from search_flow(sock, links, timeout, retries, port, dest,
                                         stop=all_found)
    by_mac: Dict[Optional[str], List[Device]] = {}
    for d in devices:
        by_mac.setdefault(_mac_or_none(d.mac), []).append(d)
    new_ip = {r.mac: r.ip for r in plan if r.mode != "dhcp" and r.ip is not None}
    results: Dict[int, ApplyResult] = {}
    pending: List[Tuple[PlanRow, Device, ModifyRequest, Optional[int], Watch]] = []

    def done(res: ApplyResult) -> None:
        results[res.line] = res
        if progress is not None:
            progress(res)

    def confirmed(row: PlanRow, dev: Device, req: ModifyRequest,
                  ack: Optional[int]) -> Callable[[Watch], None]:
        return lambda watch: done(ApplyResult(
            row.line, row.mac, APPLIED, confirmed_by="search", confirm_ms=_ms(watch.seen_after),
            ack_flag=ack, device=dev, request=req))

    for row in plan:
        hits = by_mac.get(row.mac, [])
        if not hits:
            done(ApplyResult(row.line, row.mac, NOT_FOUND, "no device with this MAC answered "
                             "the search"))
            continue
        dev = hits[0]
        if len(hits) > 1:
            done(ApplyResult(row.line, row.mac, REFUSED_LOCALLY, "several devices report this "
                             "MAC", device=dev))
            continue
        try:
            req = _row_request(row, dev, user, password)
        except FieldError as exc:
            done(ApplyResult(row.line, row.mac, REFUSED_LOCALLY, str(exc), device=dev))
            continue
        if _unchanged(req, dev):
            done(ApplyResult(row.line, row.mac, UNCHANGED, device=dev, request=req))
            continue
        holder = next((d for d in devices if d.ip == req.ip and d is not dev), None)
        if (req.mode_name != "dhcp" and holder is not None and
                new_ip.get(_mac_or_none(holder.mac) or "", holder.ip) == holder.ip):
            done(ApplyResult(row.line, row.mac, REFUSED_LOCALLY, "address %s is held by the "
                             "device %s, which this plan does not move" %
                             (req.ip, holder.mac or holder.ip), device=dev, request=req))
            continue
        if dry_run:
            done(ApplyResult(row.line, row.mac, WOULD_CHANGE, device=dev, request=req))
            continue
        dev_links = [i for i in links if i.index == dev.interface_index] or links
        sent_at = time.monotonic()
        reply = yield from request_flow(sock, dev, req, dev_links, reply_timeout, retries, port,
                                        dest, False)
        if sent is not None:
            sent(row, reply.header.ack_flag if reply is not None else None)
        if reply is not None and reply.header.ack_flag != 0:
            done(ApplyResult(row.line, row.mac, REFUSED_BY_DEVICE, "the device answered with "
                             "AckFlag %d" % reply.header.ack_flag,
                             ack_flag=reply.header.ack_flag, device=dev, request=req))
        elif reply is not None and not wait:
            done(ApplyResult(row.line, row.mac, APPLIED, confirmed_by="reply", ack_flag=0,
                             device=dev, request=req))
        elif reply is None and not visible_change(req, dev):
            done(ApplyResult(row.line, row.mac, NO_REPLY, _NO_REPLY, device=dev, request=req))
        elif reply is not None:
            pending.append((row, dev, req, 0, Watch(_rule(shows_settings, req, dev),
                                                    time.monotonic(), wait_timeout,
                                                    on_seen=confirmed(row, dev, req, 0))))
        else:   # looked for a search's time: a device that took it moves at once
            pending.append((row, dev, req, None, Watch(_rule(shows_lost_reply, req, dev),
                                                       sent_at, timeout,
                                                       on_seen=confirmed(row, dev, req, None))))
    if pending:
        yield from watch_flow(sock, links, [p[4] for p in pending], port, dest)
    for row, dev, req, ack, watch in pending:
        if watch.seen is not None:
            continue                    # reported when the search showed it
        if ack is not None:
            done(ApplyResult(row.line, row.mac, NOT_CONFIRMED, "answered, but no search showed "
                             "the new settings within %.1f s" % wait_timeout, ack_flag=ack,
                             device=dev, request=req))
        else:
            done(ApplyResult(row.line, row.mac, NO_REPLY, _NO_REPLY, device=dev, request=req))
    return [results[r.line] for r in plan]


_NO_REPLY = ("not applied (no reply: wrong password, settings refused, or device unreachable)")


def apply(plan: Sequence[PlanRow], user: str, password: str, *, dry_run: bool = False,
          wait: bool = True, timeout: float = 2.0, reply_timeout: float = 5.0,
          retries: int = 2, wait_timeout: float = 10.0, ifaces: IfaceSpec = None,
          sock: Optional[socket.socket] = None, port: int = PORT, dest: str = BROADCAST,
          devices: Optional[Sequence[Device]] = None,
          progress: Optional[Progress] = None, sent: Optional[Sent] = None) -> List[ApplyResult]:
    """Applies a plan: one search finds the devices (it ends when every row's MAC
    has answered, else after `timeout`; `devices` skips it), then each row is
    sent to its device in turn (a reply wait of `reply_timeout` each), and with
    `wait` one search repeated every half second confirms every change, looking
    for an answered one up to `wait_timeout` and for an unanswered one (a reply
    may be lost while the device moves) up to `timeout`; without `wait` only the
    unanswered ones are looked for. Rows that are not found, refused or not confirmed are
    reported and the others go on. `progress` is called with each row's result
    as soon as it is known (a confirmed row when the search shows it), `sent`
    after each row's reply wait. Returns one ApplyResult per row, in plan order."""
    s = client_socket() if sock is None else sock
    try:
        return run_flow(apply_flow(s, plan, user, password, dry_run, wait, timeout,
                                   reply_timeout, retries, wait_timeout, ifaces, port, dest,
                                   devices, progress, sent), s)
    finally:
        if sock is None:
            s.close()

