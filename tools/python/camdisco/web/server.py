# SPDX-License-Identifier: MIT
"""The HTTP side of `camdisco web`: the page's three files and the JSON API.

Every request must name this server in its Host header (an address literal or
"localhost", with the server's port), so a foreign name that resolves to this
machine (DNS rebinding) gets nothing. Every /api/ request must carry the
session's token (X-Camdisco-Token; it is in the page, made anew at each start)
and, when it has an Origin, the page's own; a POST must have one. So another
site open in the same browser can neither read the token nor drive the API.

    GET  /api/cameras                the live table (JSON)
    GET  /api/cameras.csv            the table as a search CSV
    GET  /api/snapshot?mac=M[&resolution=N]   image/jpeg, or JSON saying why not
    POST /api/credentials {user, password}
    POST /api/modify {mac, ip, netmask, gateway, dns1, dns2, mode}   events (NDJSON)
    POST /api/assign {from, order, netmask, gateway, dns1, dns2}     a plan and its preview
    POST /api/plan {csv}                                             a plan's preview
    POST /api/apply {csv}                                            events (NDJSON)

An outcome (a refused picture, a change not applied, a malformed plan) is a 200
answer with "ok": false and the words to show; 4xx answers are for requests
that are not the page's (no token, foreign origin, malformed JSON).
"""

import hmac
import importlib.resources
import ipaddress
import json
import re
import socket
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Callable, Dict, Optional, Tuple

from .actions import Change, Event, Session, log

TOKEN_HEADER = "X-Camdisco-Token"
MAX_BODY = 5 * 1024 * 1024          # a plan is at most 4 MiB, as JSON a little more
STATIC = {"/": ("index.html", "text/html; charset=utf-8"),
          "/app.js": ("app.js", "text/javascript; charset=utf-8"),
          "/style.css": ("style.css", "text/css; charset=utf-8")}
TOKEN_MARK = b"@@TOKEN@@"
# The page loads nothing from elsewhere; pictures are blob: URLs of fetched bytes.
CSP = ("default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob: data:; "
       "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'")
_HOST = re.compile(r"(\[[0-9A-Fa-f:.]+\]|[0-9.]+|localhost)(?::([0-9]{1,5}))?", re.I)


def host_ok(host: str, port: int) -> bool:
    """The Host header names this server: an address literal or localhost, and its port."""
    m = _HOST.fullmatch(host)
    if not m:
        return False
    name, given = m.group(1), m.group(2)
    if (int(given) if given is not None else 80) != port:
        return False
    try:
        if name.startswith("["):
            ipaddress.IPv6Address(name[1:-1])
        elif name.lower() != "localhost":
            ipaddress.IPv4Address(name)
    except ValueError:
        return False
    return True


class RequestRefused(Exception):
    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


def _text(obj: Dict[str, object], key: str) -> Optional[str]:
    """A text field of a request body; None when absent, null or blank."""
    value = obj.get(key)
    if value is None:
        return None
    if not isinstance(value, str):
        raise RequestRefused(400, "%s: not a text" % key)
    value = value.strip()
    return value or None


class Handler(BaseHTTPRequestHandler):
    server_version = "camdisco-web"
    sys_version = ""
    timeout = 30                        # a client that stops sending is dropped
    server: "WebServer"

    # ------------------------------------------------------------ dispatch

    def do_GET(self) -> None:
        self._serve(self._get)

    def do_POST(self) -> None:
        self._serve(self._post)

    def _serve(self, route: Callable[[str, Dict[str, str]], None]) -> None:
        url = urllib.parse.urlsplit(self.path)
        try:
            self._check(url.path)
            query = dict(urllib.parse.parse_qsl(url.query, max_num_fields=8))
            route(url.path, query)
        except RequestRefused as exc:
            log("refused %s %s from %s: %s" % (self.command, url.path, self.client_address[0],
                                               exc))
            self._json({"ok": False, "message": str(exc)}, exc.status)
        except ValueError:              # too many query fields
            self._json({"ok": False, "message": "malformed query"}, 400)
        except OSError as exc:          # the client went away, or stopped sending
            log("%s %s from %s: connection dropped (%s)" % (
                self.command, url.path, self.client_address[0], exc.strerror or "timeout"))
            self.close_connection = True

    def _check(self, path: str) -> None:
        host = self.headers.get("Host", "")
        if not host_ok(host, self.server.port):
            raise RequestRefused(403, "the Host header does not name this server")
        if not path.startswith("/api/"):
            return
        token = self.headers.get(TOKEN_HEADER, "")
        if not hmac.compare_digest(token.encode("utf-8", "replace"),
                                   self.server.session.token.encode()):
            raise RequestRefused(403, "no valid session token")
        origin = self.headers.get("Origin")
        if origin is None and self.command == "POST":
            raise RequestRefused(403, "a change needs the page's Origin")
        if origin is not None and origin.lower() != "http://" + host.lower():
            raise RequestRefused(403, "another origin")

    def _get(self, path: str, query: Dict[str, str]) -> None:
        session = self.server.session
        if path in STATIC:
            name, kind = STATIC[path]
            self._send(200, kind, self.server.files[name])
        elif path == "/api/cameras":
            self._json(session.cameras())
        elif path == "/api/cameras.csv":
            self._send(200, "text/csv; charset=utf-8", session.cameras_csv().encode("utf-8"))
        elif path == "/api/snapshot":
            resolution = query.get("resolution")
            if resolution is not None and not (resolution.isdigit() and len(resolution) < 3):
                raise RequestRefused(400, "resolution: not an index 0-99")
            pic = session.snapshot(query.get("mac", ""),
                                   int(resolution) if resolution is not None else None)
            if pic.jpeg:
                self._send(200, "image/jpeg", pic.jpeg)
            else:
                self._json(pic.to_json())
        else:
            raise RequestRefused(404, "no such page")

    def _post(self, path: str, _: Dict[str, str]) -> None:
        session = self.server.session
        body = self._body()
        if path == "/api/credentials":
            self._json(session.set_credentials(_text(body, "user") or "",
                                               _text(body, "password") or ""))
        elif path == "/api/modify":
            change = Change(**{k: _text(body, k) for k in ("ip", "netmask", "gateway", "dns1",
                                                           "dns2", "mode")})
            mac = _text(body, "mac") or ""
            self._events(lambda emit: session.modify(mac, change, emit))
        elif path == "/api/assign":
            self._json(session.assign(_text(body, "from") or "", _text(body, "order") or "mac",
                                      _text(body, "netmask"), _text(body, "gateway"),
                                      _text(body, "dns1"), _text(body, "dns2")))
        elif path in ("/api/plan", "/api/apply"):
            value = body.get("csv")
            if not isinstance(value, str):
                raise RequestRefused(400, "csv: not a text")
            text: str = value
            if path == "/api/plan":
                self._json(session.preview(text))
            else:
                self._events(lambda emit: session.apply(text, emit))
        else:
            raise RequestRefused(404, "no such call")

    # ------------------------------------------------------------ reading and writing

    def _body(self) -> Dict[str, object]:
        length = self.headers.get("Content-Length")
        if length is None or not length.isdigit():
            raise RequestRefused(411, "a body with a Content-Length is needed")
        if int(length) > MAX_BODY:
            raise RequestRefused(413, "the body is larger than %d bytes" % MAX_BODY)
        if (self.headers.get("Content-Type") or "").split(";")[0].strip() != \
                "application/json":
            raise RequestRefused(415, "the body must be application/json")
        raw = self.rfile.read(int(length))
        try:
            obj = json.loads(raw.decode("utf-8"))
        except (UnicodeDecodeError, ValueError):
            raise RequestRefused(400, "the body is not JSON") from None
        if not isinstance(obj, dict):
            raise RequestRefused(400, "the body is not a JSON object")
        return obj

    def _headers(self, status: int, kind: str, extra: Optional[Dict[str, str]] = None) -> None:
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Referrer-Policy", "no-referrer")
        self.send_header("X-Frame-Options", "DENY")
        if kind.startswith("text/html"):
            self.send_header("Content-Security-Policy", CSP)
        for key, value in (extra or {}).items():
            self.send_header(key, value)

    def _send(self, status: int, kind: str, data: bytes,
              extra: Optional[Dict[str, str]] = None) -> None:
        self._headers(status, kind, extra)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def _json(self, obj: Event, status: int = 200) -> None:
        self._send(status, "application/json; charset=utf-8",
                   json.dumps(obj, ensure_ascii=False).encode("utf-8"))

    def _events(self, run: Callable[[Callable[[Event], None]], None]) -> None:
        """Runs a change, writing each event as one JSON line when it happens. A
        client that goes away does not stop the change: it runs to its end."""
        self._headers(200, "application/x-ndjson; charset=utf-8")
        self.end_headers()
        self.close_connection = True
        gone = [False]

        def emit(event: Event) -> None:
            if gone[0]:
                return
            try:
                self.wfile.write(json.dumps(event, ensure_ascii=False).encode("utf-8") + b"\n")
                self.wfile.flush()
            except OSError:
                gone[0] = True
        run(emit)

    def version_string(self) -> str:
        return self.server_version

    def log_request(self, code: object = "-", size: object = "-") -> None:
        """Changes only (a refusal is logged with its reason where it is made)."""
        if self.command == "POST" and isinstance(code, int) and code < 400:
            log("%s %s %s" % (self.command, urllib.parse.urlsplit(self.path).path, code))

    def log_message(self, format: str, *args: object) -> None:
        log(format % args)


class WebServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address: Tuple[str, int], session: Session) -> None:
        self.address_family = socket.AF_INET6 if ":" in address[0] else socket.AF_INET
        super().__init__(address, Handler)
        self.session = session
        self.port = int(self.server_address[1])
        base = importlib.resources.files("camdisco.web") / "static"
        self.files = {name: (base / name).read_bytes() for name, _ in STATIC.values()}
        self.files["index.html"] = self.files["index.html"].replace(
            TOKEN_MARK, session.token.encode())

    def url(self) -> str:
        host = str(self.server_address[0])
        return "http://%s:%d/" % ("[%s]" % host if ":" in host else host, self.port)


def serve(server: WebServer, stop: threading.Event) -> None:
    """Serves until stop is set (from another thread or a signal handler)."""
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2},
                              daemon=True)
    thread.start()
    try:
        while not stop.wait(1.0):
            pass
    finally:
        server.shutdown()
        server.server_close()
        server.session.table.stop()
        thread.join(10)
