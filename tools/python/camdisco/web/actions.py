# SPDX-License-Identifier: MIT
"""What the page can do, apart from HTTP: the session's credentials, the live
table, snapshots fetched from the cameras' CGI, and changes (one camera, or a
plan) reported step by step through an `emit` callable.

The password is kept in this process's memory only. It goes to the cameras (in
modification datagrams, and in the snapshot CGI's query string, the CGI's only
way) and nowhere else: not into an answer, a log line or a file.
"""

import http.client
import re
import secrets
import socket
import sys
import threading
import time
import urllib.parse
from dataclasses import dataclass
from typing import Callable, Dict, List, Optional, Sequence, Tuple

from ..errors import (CamDiscoError, DeviceNotFound, FieldError, NoReply, NotConfirmed,
                      PlanError, Rejected)
from ..net import (BROADCAST, Device, change_values, device_request, is_unicast_host, modify,
                   search, wait_for_move)
from ..siteplan import (APPLIED, ApplyResult, PlanRow, apply, assign, parse_plan, plan_to_csv,
                        to_csv)
from ..wire import PASSWORD_SIZE, PORT, SNAPSHOT_PATH, USER_SIZE
from .live import LiveTable

Event = Dict[str, object]
Emit = Callable[[Event], None]

SNAPSHOT_MAX_BYTES = 8 * 1024 * 1024
# Pictures fetched from cameras at once, whatever the pages ask for.
SNAPSHOT_PARALLEL = 4
# The snapshot CGI's refusals: HTTP status (or the status line it wrote into a
# body) -> (error, words for the installer).
_REFUSALS = {
    403: ("wrong_password", "refused: wrong user name or password (or the camera's main "
                            "application is not running)"),
    400: ("unsupported_resolution", "refused: the camera does not support this resolution"),
    404: ("no_picture", "no picture: the camera did not deliver one in time"),
}
_EMPTY = ("no_picture", "no picture: the camera delivered an empty file")
_STATUS_LINE = re.compile(r"HTTP/1\.[01] (\d{3})")


def log(text: str) -> None:
    """One line on standard error; control and non-ASCII characters escaped, so
    a text from the LAN or a request cannot forge a line."""
    safe = "".join(c if " " <= c <= "~" else "\\x%02x" % (ord(c) & 0xFF) for c in text)
    print("camdisco web: " + safe, file=sys.stderr, flush=True)


@dataclass
class Settings:
    """How the server searches and changes (the command's options)."""
    ifaces: Optional[List[str]] = None
    search_timeout: float = 2.0
    interval: float = 3.0
    reply_timeout: float = 5.0
    wait_timeout: float = 10.0
    snapshot_timeout: float = 6.0
    port: int = PORT
    dest: str = BROADCAST


@dataclass(frozen=True)
class Change:
    """The settings a page asks one camera to take (None: keep the camera's)."""
    ip: Optional[str] = None
    netmask: Optional[str] = None
    gateway: Optional[str] = None
    dns1: Optional[str] = None
    dns2: Optional[str] = None
    mode: Optional[str] = None


@dataclass(frozen=True)
class Picture:
    """A snapshot, or why there is none (error "" means jpeg holds it)."""
    jpeg: bytes = b""
    error: str = ""
    message: str = ""
    camera_status: int = 0

    def to_json(self) -> Event:
        return {"ok": not self.error, "error": self.error, "message": self.message,
                "camera_status": self.camera_status}


def classify(status: int, content_type: str, body: bytes) -> Picture:
    """A reply of the snapshot CGI as a Picture."""
    if status == 200 and content_type.split(";")[0].strip().lower() == "image/jpeg" and \
            body.startswith(b"\xff\xd8"):
        return Picture(jpeg=body, camera_status=status)
    text = body[:256].decode("latin-1")
    found = _STATUS_LINE.match(text.strip())
    code = int(found.group(1)) if status == 200 and found else status
    if "Unsupported Resolution" in text:
        code = 400
    error, message = _EMPTY if code == 404 and "File Not Found" in text else _REFUSALS.get(
        code, ("not_jpeg" if code == 200 else "http_error",
               "the camera answered, but not with a JPEG picture" if code == 200 else
               "the camera's web server answered HTTP %d" % code))
    return Picture(error=error, message=message, camera_status=status)


def fetch_snapshot(dev: Device, user: str, password: str, resolution: Optional[int],
                   timeout: float) -> Picture:
    """One picture from a camera's CGI, over the web port it reports."""
    if not is_address(dev.ip) or not 0 < dev.web_port < 65536:
        return Picture(error="no_address", message="the camera reports no usable address "
                                                   "and web port")
    query = {"user": user, "psw": password}
    if resolution is not None:
        query["resolution"] = str(resolution)
    where = "%s:%d" % (dev.ip, dev.web_port)
    conn = http.client.HTTPConnection(dev.ip, dev.web_port, timeout=timeout)
    deadline = time.monotonic() + 2 * timeout      # a camera that trickles is cut off too
    try:
        conn.request("GET", SNAPSHOT_PATH + "?" + urllib.parse.urlencode(query),
                     headers={"Accept": "image/jpeg"})
        rsp = conn.getresponse()
        body = b""
        while len(body) <= SNAPSHOT_MAX_BYTES:
            if time.monotonic() > deadline:
                raise socket.timeout()
            chunk = rsp.read(65536)
            if not chunk:
                break
            body += chunk
        if len(body) > SNAPSHOT_MAX_BYTES:
            return Picture(error="too_large", message="the picture is larger than %d bytes" %
                           SNAPSHOT_MAX_BYTES, camera_status=rsp.status)
        return classify(rsp.status, rsp.getheader("Content-Type") or "", body)
    except ConnectionRefusedError:
        return Picture(error="no_web_server", message="no web server answered at " + where)
    except socket.timeout:
        return Picture(error="timeout", message="%s did not send a picture within %.0f s" %
                       (where, 2 * timeout))
    except (OSError, http.client.HTTPException) as exc:
        # the system's words, never the exception's text: some carry the request line,
        # credentials included
        why = exc.strerror if isinstance(exc, OSError) and exc.strerror else \
            type(exc).__name__
        return Picture(error="unreachable", message="could not fetch a picture from %s: %s" %
                       (where, why))
    finally:
        conn.close()


def is_address(text: str) -> bool:
    """A dotted quad of a unicast host, not loopback: a search reply is LAN text,
    and the server sends the password only to a camera's address."""
    try:
        return socket.inet_ntoa(socket.inet_aton(text)) == text and is_unicast_host(text)
    except OSError:
        return False


def _counts(results: Sequence[ApplyResult]) -> Dict[str, int]:
    counts: Dict[str, int] = {}
    for r in results:
        counts[r.result] = counts.get(r.result, 0) + 1
    return counts


def _summary(results: Sequence[ApplyResult]) -> str:
    parts = []
    confirmed = sum(1 for r in results if r.result == APPLIED and r.confirmed_by == "search")
    if confirmed:
        parts.append("%d confirmed" % confirmed)
    for name, n in sorted(_counts(results).items()):
        if name != APPLIED:
            parts.append("%d %s" % (n, name.replace("_", " ")))
        elif n > confirmed:
            parts.append("%d applied" % (n - confirmed))
    return "%d row%s: %s" % (len(results), "" if len(results) == 1 else "s", ", ".join(parts))


class Session:
    """One server start: its token, the credentials typed in the page, the table,
    and one change at a time."""

    def __init__(self, settings: Settings,
                 search_fn: Optional[Callable[[], List[Device]]] = None) -> None:
        self.settings = settings
        self.token = secrets.token_urlsafe(32)
        self.table = LiveTable(search_fn or self._search, settings.interval)
        self._lock = threading.Lock()
        self._user = ""
        self._password = ""
        self._busy = threading.Lock()
        self._pictures = threading.BoundedSemaphore(SNAPSHOT_PARALLEL)

    def _search(self) -> List[Device]:
        s = self.settings
        return search(timeout=s.search_timeout, ifaces=s.ifaces, port=s.port, dest=s.dest)

    # ------------------------------------------------------------ credentials

    def set_credentials(self, user: str, password: str) -> Event:
        """Keeps them for this server's life (memory only); "" forgets them."""
        for name, value, size in (("user", user, USER_SIZE), ("password", password,
                                                               PASSWORD_SIZE)):
            if len(value.encode("utf-8")) > size:
                return dict(self.credentials(), ok=False,
                            message="the %s has more than %d bytes" % (name, size))
        with self._lock:
            self._user, self._password = user, password
        log("credentials %s" % ("set for user " + user if user else "forgotten"))
        return dict(self.credentials(), ok=True, message="")

    def credentials(self) -> Event:
        with self._lock:
            return {"user": self._user, "password_set": bool(self._password)}

    def _login(self) -> Optional[Tuple[str, str]]:
        with self._lock:
            return (self._user, self._password) if self._user else None

    # ------------------------------------------------------------ reading

    def cameras(self) -> Event:
        self.table.start()
        self.table.touch()
        out = self.table.snapshot()
        out.update(self.credentials())
        out["busy"] = self._busy.locked()
        return out

    def cameras_csv(self) -> str:
        return to_csv(self.table.devices())

    def snapshot(self, mac: str, resolution: Optional[int]) -> Picture:
        try:
            dev = self.table.find(mac)
        except (DeviceNotFound, FieldError) as exc:
            return Picture(error="unknown_camera", message=str(exc))
        login = self._login()
        if login is None:
            return Picture(error="no_credentials", message="type the cameras' user name and "
                                                           "password first")
        with self._pictures:
            return fetch_snapshot(dev, login[0], login[1], resolution,
                                  self.settings.snapshot_timeout)

    # ------------------------------------------------------------ plans

    def preview(self, csv_text: str) -> Event:
        """A plan checked, and what each row would change on the table's cameras."""
        try:
            plan = parse_plan(csv_text)
        except PlanError as exc:
            return {"ok": False, "line": exc.line, "reason": exc.reason,
                    "message": "the plan is refused at line %d: %s" % (exc.line, exc.reason)}
        return self._preview(plan)

    def _preview(self, plan: List[PlanRow]) -> Event:
        s = self.settings
        rows = apply(plan, "-", "-", dry_run=True, devices=self.table.devices(),
                     ifaces=s.ifaces, port=s.port, dest=s.dest)
        return {"ok": True, "csv": plan_to_csv(plan), "rows": [r.to_json() for r in rows],
                "counts": _counts(rows), "message": _summary(rows)}

    def assign(self, start: str, order: str, netmask: Optional[str], gateway: Optional[str],
               dns1: Optional[str], dns2: Optional[str]) -> Event:
        try:
            plan = assign(self.table.devices(), start, order, netmask, gateway, dns1, dns2)
        except FieldError as exc:
            return {"ok": False, "message": str(exc)}
        if not plan:
            return {"ok": False, "message": "no camera with a MAC address is in the table"}
        return self._preview(plan)

    # ------------------------------------------------------------ changes

    def _begin(self, emit: Emit) -> Optional[Tuple[str, str]]:
        """The credentials, with the change lock taken; None (and a final event)
        when a change runs already or there are no credentials."""
        login = self._login()
        if login is None:
            emit({"event": "done", "ok": False, "result": "refused_locally",
                  "message": "type the cameras' user name and password first"})
            return None
        if not self._busy.acquire(blocking=False):
            emit({"event": "done", "ok": False, "result": "busy",
                  "message": "another change is running; wait for its report"})
            return None
        return login

    def modify(self, mac: str, change: Change, emit: Emit) -> None:
        """Changes one camera: events "sending", "answered", "confirmed", then "done"."""
        login = self._begin(emit)
        if login is None:
            return
        try:
            self._modify(mac, change, login[0], login[1], emit)
        finally:
            self._busy.release()

    def _modify(self, mac: str, c: Change, user: str, password: str, emit: Emit) -> None:
        def done(ok: bool, result: str, message: str) -> None:
            log("modify %s: %s%s" % (mac, result, ": " + message if message else ""))
            emit({"event": "done", "ok": ok, "result": result, "message": message})

        try:
            dev = self.table.find(mac)
            req = device_request(dev, user, password, ip=c.ip, netmask=c.netmask,
                                 gateway=c.gateway, dns1=c.dns1, dns2=c.dns2, mode=c.mode)
        except (DeviceNotFound, FieldError) as exc:
            return done(False, "refused_locally", str(exc))
        old, new = change_values(dev, None, False), change_values(None, req, False)
        if old == new:
            return done(True, "unchanged", "the camera has these settings already")
        emit({"event": "sending", "mac": dev.mac, "old": old, "new": new})
        s = self.settings
        static = req.mode_name != "dhcp"
        try:
            res = modify(dev, user, password, ip=c.ip, netmask=c.netmask, gateway=c.gateway,
                         dns1=c.dns1, dns2=c.dns2, mode=c.mode, timeout=s.reply_timeout,
                         ifaces=s.ifaces, port=s.port, dest=s.dest)
            seen = res.seen
            if res.confirmed_by == "reply":
                emit({"event": "answered", "ack_flag": res.ack_flag})
                since = time.monotonic()
                seen = wait_for_move(dev.mac, req.ip if static else None, s.wait_timeout,
                                     netmask=req.netmask if static else None,
                                     mode=req.mode_name, ifaces=s.ifaces, port=s.port,
                                     dest=s.dest)
                ms = int(round((time.monotonic() - since) * 1000))
            else:
                ms = res.confirm_ms or 0
        except NotConfirmed as exc:
            return done(False, "not_confirmed", str(exc))
        except NoReply as exc:
            return done(False, "no_reply", str(exc))
        except Rejected as exc:
            return done(False, "refused_by_device", str(exc))
        except (CamDiscoError, OSError) as exc:
            return done(False, "refused_locally", str(exc))
        assert seen is not None
        self.table.update(seen)
        emit({"event": "confirmed", "confirmed_by": "search", "confirm_ms": ms,
              "device": seen.to_json()})
        done(True, "applied", "confirmed by a search after %.1f s" % (ms / 1000.0))

    def apply(self, csv_text: str, emit: Emit) -> None:
        """Applies a plan: "start", then per row "sent" and "row" (its result as
        soon as it is known), then "done" with the report."""
        try:
            plan = parse_plan(csv_text)
        except PlanError as exc:
            emit({"event": "done", "ok": False, "line": exc.line, "reason": exc.reason,
                  "message": "the plan is refused at line %d: %s; nothing was sent" %
                  (exc.line, exc.reason)})
            return
        login = self._begin(emit)
        if login is None:
            return
        try:
            emit({"event": "start", "rows": [{"line": r.line, "mac": r.mac} for r in plan]})
            s = self.settings
            results = apply(
                plan, login[0], login[1], timeout=s.search_timeout,
                reply_timeout=s.reply_timeout, wait_timeout=s.wait_timeout, ifaces=s.ifaces,
                port=s.port, dest=s.dest,
                progress=lambda r: emit(dict(r.to_json(), event="row")),
                sent=lambda row, ack: emit({"event": "sent", "line": row.line, "mac": row.mac,
                                            "answered": ack is not None, "ack_flag": ack}))
        except (CamDiscoError, OSError) as exc:
            log("apply: %s" % exc)
            emit({"event": "done", "ok": False, "message": str(exc)})
            return
        finally:
            self._busy.release()
        summary = _summary(results)
        log("apply: " + summary)
        emit({"event": "done", "ok": all(r.ok for r in results), "counts": _counts(results),
              "confirmed": sum(1 for r in results
                               if r.result == APPLIED and r.confirmed_by == "search"),
              "message": summary})
