# SPDX-License-Identifier: MIT
"""The `camdisco` command: search, modify, set-mac, assign and apply from a shell,
and `camdisco web`, the same in a browser page (camdisco.web),
with the keys and result names of `devsearch` (results on standard output,
messages on standard error starting with "camdisco: ").

Exit status: 0 success, 1 failure (nothing found, not applied, not confirmed,
a row of a plan that did not go through), 2 bad command line.
"""

import argparse
import json
import sys
from typing import Callable, Dict, List, Optional, Sequence

from . import __version__, web
from .errors import CamDiscoError, NoReply, NotConfirmed, PlanError, Rejected
from .net import Device, ModifyResult, change_values, find, modify, search, set_mac
from .siteplan import ApplyResult, apply, assign, parse_plan, plan_to_csv, to_csv


def _say(text: str) -> None:
    print("camdisco: " + text, file=sys.stderr)


def _json(obj: object) -> str:
    """One object on one line, written as devsearch writes it."""
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":"))


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number of seconds: %r" % text) from None
    if not 0.1 <= value <= 600:
        raise argparse.ArgumentTypeError("%s s is outside 0.1-600" % text)
    return value


def _count(text: str) -> int:
    if not text.isdigit() or not 0 < int(text) <= 100000:
        raise argparse.ArgumentTypeError("not a count 1-100000: %r" % text)
    return int(text)


def _password(args: argparse.Namespace) -> str:
    if args.password != "-":
        return str(args.password)
    line = sys.stdin.readline()
    if not line:
        raise SystemExit(_usage_error("--password -: no line on standard input"))
    return line.rstrip("\r\n")


def _usage_error(text: str) -> int:
    _say(text)
    return 2


def _search_args(p: argparse.ArgumentParser) -> None:
    p.add_argument("--interface", action="append", metavar="IF",
                   help="search only out of IF (repeatable; default: every up interface)")
    p.add_argument("--timeout", type=_seconds, default=2.0, metavar="SECONDS",
                   help="how long the search collects answers (default 2)")
    p.add_argument("--retries", type=int, default=2, choices=range(0, 21), metavar="N",
                   help="repeats of the search within the timeout (default 2)")


def _modify_args(p: argparse.ArgumentParser) -> None:
    p.add_argument("--user", required=True)
    p.add_argument("--password", required=True, help='"-" reads one line from standard input')
    p.add_argument("--reply-timeout", type=_seconds, default=5.0, metavar="SECONDS",
                   help="how long to wait for each reply (default 5: the device syncs its "
                        "flash before it answers)")
    p.add_argument("--wait-timeout", type=_seconds, default=10.0, metavar="SECONDS",
                   help="bound of the search that confirms a change (default 10)")
    p.add_argument("--json", action="store_true", help="one JSON object per result")


def _parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(prog="camdisco", description=(
        "Find cameras on the LAN (UDP 9333) and change their network settings."))
    ap.add_argument("--version", action="version", version="camdisco " + __version__)
    sub = ap.add_subparsers(dest="command", required=True)

    p = sub.add_parser("search", help="list the cameras that answer")
    _search_args(p)
    p.add_argument("--expect", type=_count, metavar="N",
                   help="stop as soon as N cameras answered; fail when fewer did")
    p.add_argument("--mac", help="stop as soon as this camera answered; fail when it did not")
    out = p.add_mutually_exclusive_group()
    out.add_argument("--json", action="store_true", help="one JSON object per camera")
    out.add_argument("--csv", action="store_true", help="CSV: a header line, a row per camera")

    for name, text in (("modify", "change a camera's network settings"),
                       ("set-mac", "change a camera's MAC address")):
        p = sub.add_parser(name, help=text)
        p.add_argument("device", help="the camera's MAC or address, as a search shows it")
        if name == "set-mac":
            p.add_argument("new_mac", metavar="NEW-MAC")
        else:
            for opt, dest in (("--ip", "ip"), ("--mask", "netmask"), ("--gateway", "gateway"),
                              ("--dns1", "dns1"), ("--dns2", "dns2")):
                p.add_argument(opt, dest=dest)
            p.add_argument("--media-port", type=int)
            p.add_argument("--web-port", type=int)
            p.add_argument("--mode", choices=("static", "dhcp"))
            p.add_argument("--legacy", action="store_true", help="the first, 72-byte form")
        _search_args(p)
        _modify_args(p)
        p.add_argument("--wait", action="store_true",
                       help="after the reply, search until the camera shows the change")

    p = sub.add_parser("assign", help="write a plan of sequential addresses (CSV)")
    _search_args(p)
    p.add_argument("--from", dest="start", required=True, metavar="ADDRESS")
    p.add_argument("--order", choices=("mac", "found"), default="mac")
    p.add_argument("--expect", type=_count, metavar="N",
                   help="stop the search when N answered; write nothing when fewer did")
    for opt, dest in (("--mask", "netmask"), ("--gateway", "gateway"), ("--dns1", "dns1"),
                      ("--dns2", "dns2")):
        p.add_argument(opt, dest=dest)

    p = sub.add_parser("apply", help="re-address the cameras of a plan (CSV)")
    p.add_argument("plan", metavar="PLAN.csv", help='the plan ("-": standard input)')
    _search_args(p)
    _modify_args(p)
    p.add_argument("--dry-run", action="store_true", help="print what would change; send "
                   "nothing")
    p.add_argument("--no-wait", dest="wait", action="store_false",
                   help="take each reply as the result; no confirming search")

    p = sub.add_parser("web", help="serve the installers' page (a browser on this machine)",
                       description=web.__doc__.splitlines()[0] if web.__doc__ else None)
    web.add_arguments(p)
    return ap


def _print_devices(devs: Sequence[Device], as_json: bool, as_csv: bool) -> None:
    if as_csv:
        sys.stdout.write(to_csv(devs))
    elif as_json:
        for d in devs:
            print(_json(d.to_json()))
    elif devs:
        row = "%-15s %-15s %-15s %-17s %-6s %5s  %s"
        print(row % ("ADDRESS", "NETMASK", "GATEWAY", "MAC", "MODE", "WEB", "URL"))
        for d in devs:
            print(row % (d.ip, d.netmask, d.gateway, d.mac, d.mode, d.web_port, d.url))


def _search(args: argparse.Namespace, expect: Optional[int] = None,
            mac: Optional[str] = None) -> List[Device]:
    return search(timeout=args.timeout, retries=args.retries, ifaces=args.interface,
                  expect=expect, mac=mac)


def _cmd_search(args: argparse.Namespace) -> int:
    devs = _search(args, args.expect, args.mac)
    _print_devices(devs, args.json, args.csv)
    if args.expect is not None and len(devs) < args.expect:
        _say("only %d of %d expected cameras answered" % (len(devs), args.expect))
        return 1
    if args.mac is not None and not any(d.mac.upper().replace(":", "-") ==
                                        args.mac.upper().replace(":", "-") for d in devs):
        _say("%s did not answer (%d cameras did)" % (args.mac, len(devs)))
        return 1
    if not devs:
        _say("no camera answered")
        return 1
    _say("%d camera%s found" % (len(devs), "" if len(devs) == 1 else "s"))
    return 0


def _target(args: argparse.Namespace) -> Device:
    devs = _search(args)
    if ":" in args.device or "-" in args.device:
        return find(devs, mac=args.device)
    return find(devs, ip=args.device)


def _report(res: ModifyResult, as_json: bool) -> int:
    if as_json:
        print(_json(res.to_json()))
    elif res.confirm_ms is not None:
        print("applied: %s now %s, confirmed by a search after %.1f s" % (
            res.device.mac, ", ".join("%s %s" % kv for kv in res.new.items()),
            res.confirm_ms / 1000.0))
    else:
        print("applied: %s now %s" % (res.device.mac, ", ".join("%s %s" % kv
                                                                 for kv in res.new.items())))
    return 0


def _failure(args: argparse.Namespace, exc: CamDiscoError, dev: Optional[Device]) -> int:
    """A modify or set-mac that did not take effect: the message, and with --json the
    object devsearch prints for it."""
    _say(str(exc))
    if args.json:
        res = getattr(exc, "result", None)
        req = getattr(exc, "request", None) or (res.request if res is not None else None)
        set_mac = args.command == "set-mac"
        result = {NotConfirmed: "not_confirmed", NoReply: "no_reply",
                  Rejected: "refused_by_device"}.get(type(exc), "refused_locally")
        print(_json({"result": result, "command": args.command, "reason": str(exc),
                     "confirmed_by": "", "confirm_ms": None,
                     "ack_flag": getattr(exc, "ack_flag", 0 if res is not None else None),
                     "device": dev.to_json() if dev is not None else None,
                     "old": change_values(dev, None, set_mac) if dev is not None else None,
                     "new": change_values(None, req, set_mac) if req is not None else None}))
    return 1


def _cmd_modify(args: argparse.Namespace) -> int:
    pwd = _password(args)
    dev: Optional[Device] = None
    try:
        dev = _target(args)
        return _report(_change(args, dev, pwd), args.json)
    except CamDiscoError as exc:
        return _failure(args, exc, dev)


def _change(args: argparse.Namespace, dev: Device, pwd: str) -> ModifyResult:
    if args.command == "set-mac":
        res = set_mac(dev, args.new_mac, args.user, pwd, timeout=args.reply_timeout,
                      retries=args.retries, wait=args.wait, wait_timeout=args.wait_timeout)
    else:
        res = modify(dev, args.user, pwd, ip=args.ip, netmask=args.netmask,
                     gateway=args.gateway, dns1=args.dns1, dns2=args.dns2,
                     media_port=args.media_port, web_port=args.web_port, mode=args.mode,
                     extended=not args.legacy, timeout=args.reply_timeout,
                     retries=args.retries, wait=args.wait, wait_timeout=args.wait_timeout)
    return res


def _cmd_assign(args: argparse.Namespace) -> int:
    devs = _search(args, args.expect)
    if args.expect is not None and len(devs) < args.expect:
        _say("only %d of %d expected cameras answered; no plan written" %
             (len(devs), args.expect))
        return 1
    if not devs:
        _say("no camera answered")
        return 1
    rows = assign(devs, args.start, args.order, args.netmask, args.gateway, args.dns1,
                  args.dns2)
    sys.stdout.write(plan_to_csv(rows))
    _say("a plan for %d camera%s" % (len(rows), "" if len(rows) == 1 else "s"))
    return 0


def _cmd_apply(args: argparse.Namespace) -> int:
    if args.plan == "-" and args.password == "-":
        return _usage_error("the plan and the password cannot both come from standard input")
    pwd = _password(args)
    if args.plan == "-":
        text = sys.stdin.read()
    else:
        with open(args.plan, encoding="utf-8", errors="strict") as f:
            text = f.read()
    try:
        plan = parse_plan(text)
    except PlanError as exc:
        _say("%s: %s; nothing was sent" % (args.plan, exc))
        return 1

    def show(r: ApplyResult) -> None:
        if args.json:
            print(_json(r.to_json()), flush=True)
        else:
            new = r.request.ip if r.request is not None else "-"
            old = r.device.ip if r.device is not None else "-"
            ms = "%.1f s" % (r.confirm_ms / 1000.0) if r.confirm_ms is not None else "-"
            print("%-5d %-17s %-17s %-15s %-15s %-7s %s" % (
                r.line, r.mac, r.result, old, new, ms, r.reason), flush=True)

    if not args.json:
        print("%-5s %-17s %-17s %-15s %-15s %-7s %s" % ("LINE", "MAC", "RESULT", "ADDRESS",
                                                        "NEW", "CONFIRM", "REASON"))
    results = apply(plan, args.user, pwd, dry_run=args.dry_run, wait=args.wait,
                    timeout=args.timeout, reply_timeout=args.reply_timeout,
                    retries=args.retries, wait_timeout=args.wait_timeout,
                    ifaces=args.interface, progress=show)
    counts: Dict[str, int] = {}
    for r in results:
        counts[r.result] = counts.get(r.result, 0) + 1
    _say("%d rows: %s" % (len(results), ", ".join("%d %s" % (n, k)
                                                    for k, n in sorted(counts.items()))))
    return 0 if all(r.ok for r in results) else 1


_COMMANDS: Dict[str, Callable[[argparse.Namespace], int]] = {
    "search": _cmd_search, "modify": _cmd_modify, "set-mac": _cmd_modify,
    "assign": _cmd_assign, "apply": _cmd_apply, "web": web.run}


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = _parser().parse_args(argv)
    try:
        return _COMMANDS[str(args.command)](args)
    except (CamDiscoError, OSError) as exc:
        _say(str(exc))
        return 1
