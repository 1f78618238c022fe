# SPDX-License-Identifier: MIT
"""The installers' page: the cameras on the LAN in a browser, served from this machine.

    camdisco web [--listen 127.0.0.1:8080] [--interface IF] [--open]
    python3 -m camdisco.web ...

A live table of the cameras on the LAN (searched again every few seconds while
the page is open), a snapshot of each through this server, a form that gives
one camera new settings and confirms the move by a search, and a site plan
(sequential addresses, or a CSV) applied camera by camera with a report. The
cameras' password is typed once in the page and kept in this process's memory
only. Standard library only; the page is three static files in this package.
"""

import argparse
import ipaddress
import signal
import threading
import webbrowser
from typing import Any, List, Optional, Sequence, Tuple

DEFAULT_LISTEN = "127.0.0.1:8080"


def listen_address(text: str) -> Tuple[str, int]:
    """ADDRESS:PORT (an IPv4 address, [IPv6] or localhost; port 0: any free one)."""
    host, sep, port = text.rpartition(":")
    if not sep or not port.isdigit() or int(port) > 65535:
        raise argparse.ArgumentTypeError("not ADDRESS:PORT: %r" % text)
    if host.lower() == "localhost":
        host = "127.0.0.1"
    elif host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    try:
        ipaddress.ip_address(host)
    except ValueError:
        raise argparse.ArgumentTypeError("not an IP address: %r" % host) from None
    return host, int(port)


def add_arguments(p: argparse.ArgumentParser) -> None:
    from ..cli import _seconds      # here: the command line imports this module
    p.add_argument("--listen", type=listen_address, default=listen_address(DEFAULT_LISTEN),
                   metavar="ADDR:PORT", help="where the page is served (default %s: this "
                   "machine only; port 0 picks a free one)" % DEFAULT_LISTEN)
    p.add_argument("--interface", action="append", metavar="IF",
                   help="search only out of IF (repeatable; default: every up interface)")
    p.add_argument("--interval", type=_seconds, default=3.0, metavar="SECONDS",
                   help="time from one search of the live table to the next (default 3)")
    p.add_argument("--timeout", type=_seconds, default=2.0, metavar="SECONDS",
                   help="how long each search collects answers (default 2)")
    p.add_argument("--reply-timeout", type=_seconds, default=5.0, metavar="SECONDS",
                   help="how long to wait for a camera's reply to a change (default 5)")
    p.add_argument("--wait-timeout", type=_seconds, default=10.0, metavar="SECONDS",
                   help="bound of the search that confirms a change (default 10)")
    p.add_argument("--open", action="store_true",
                   help="open the page in this desktop's web browser")


def parser(prog: str = "camdisco web") -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog=prog, description=__doc__.splitlines()[0])
    add_arguments(p)
    return p


def run(args: argparse.Namespace) -> int:
    """Serves the page until SIGINT or SIGTERM; 1 when it cannot listen."""
    from .actions import Session, Settings, log
    from .server import WebServer, serve

    settings = Settings(ifaces=args.interface, search_timeout=args.timeout,
                        interval=max(args.interval, args.timeout),
                        reply_timeout=args.reply_timeout, wait_timeout=args.wait_timeout)
    try:
        server = WebServer(args.listen, Session(settings))
    except OSError as exc:
        log("cannot listen on %s:%d: %s" % (args.listen[0], args.listen[1], exc.strerror))
        return 1
    stop = threading.Event()

    def end(*_: Any) -> None:
        stop.set()
    signal.signal(signal.SIGTERM, end)
    signal.signal(signal.SIGINT, end)
    url = server.url()
    print(url, flush=True)
    log("the page is at %s (Ctrl-C ends it)" % url)
    if not ipaddress.ip_address(args.listen[0]).is_loopback:
        log("listening beyond this machine: whoever reaches %s can open the page" % url)
    if args.open:
        webbrowser.open(url)
    serve(server, stop)
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    return run(parser("python3 -m camdisco.web").parse_args(argv))


__all__: List[str] = ["add_arguments", "parser", "run", "main", "listen_address"]
