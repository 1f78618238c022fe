# SPDX-License-Identifier: MIT
"""camdisco web without a browser (no root): the API's refusals with plain HTTP
requests, the live table's rounds, the snapshot CGI's answers in words, and a
change and a plan through the API against fake devices on loopback, with the
password in no answer and no log line."""

import contextlib
import http.client
import io
import json
import threading
import unittest

import camdisco
from camdisco.web.actions import Session, Settings, classify, fetch_snapshot
from camdisco.web.live import LiveTable
from camdisco.web.server import WebServer, serve
from camdisco_test import FakeLan, reply_for, SEARCH_REQ

PASSWORD = "Zq7#k&w p+%"
MACS = ["02-00-00-00-00-02", "02-00-00-00-00-03"]


def device(ip, mac):
    return camdisco.Device(**{f: getattr(camdisco.SearchReply.unpack(reply_for(
        SEARCH_REQ, ip, mac)), f) for f in camdisco.SearchReply.__dataclass_fields__})


class WebApiTest(unittest.TestCase):
    def setUp(self):
        self.lan = FakeLan(MACS, password=PASSWORD)
        settings = Settings(ifaces=["lo"], dest="127.0.0.1", port=self.lan.port,
                            search_timeout=0.3, reply_timeout=5, wait_timeout=20)
        self.session = Session(settings)
        self.server = WebServer(("127.0.0.1", 0), self.session)
        self.origin = "http://127.0.0.1:%d" % self.server.port
        self.stop = threading.Event()
        self.log = io.StringIO()        # the server's log lines, all of them
        self.redirect = contextlib.redirect_stderr(self.log)
        self.redirect.__enter__()
        self.thread = threading.Thread(target=serve, args=(self.server, self.stop))
        self.thread.start()

    def tearDown(self):
        self.stop.set()
        self.thread.join(20)
        self.redirect.__exit__(None, None, None)
        self.lan.close()

    def request(self, method, path, body=None, token=True, origin=True, host=None,
                headers=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=60)
        h = {"Host": host or self.origin[7:]}
        if token:
            h["X-Camdisco-Token"] = self.session.token
        if origin:
            h["Origin"] = self.origin
        data = None
        if body is not None:
            data = json.dumps(body).encode()
            h["Content-Type"] = "application/json"
        h.update(headers or {})
        conn.request(method, path, body=data, headers=h)
        rsp = conn.getresponse()
        out = rsp.status, rsp.getheader("Content-Type", ""), rsp.read()
        conn.close()
        return out

    def events(self, path, body):
        status, kind, data = self.request("POST", path, body)
        self.assertEqual((200, "application/x-ndjson; charset=utf-8"), (status, kind), data)
        return [json.loads(line) for line in data.decode().splitlines()]

    def test_refuses_requests_that_are_not_the_pages(self):
        status, kind, page = self.request("GET", "/", token=False, origin=False)
        self.assertEqual((200, "text/html; charset=utf-8"), (status, kind))
        self.assertIn(('content="%s"' % self.session.token).encode(), page)
        refused = [
            ("GET", "/api/cameras", None, dict(token=False)),
            ("GET", "/api/cameras", None, dict(headers={"X-Camdisco-Token": "x" * 43})),
            ("GET", "/api/cameras", None, dict(headers={"Origin": "http://evil.example"})),
            ("GET", "/api/cameras.csv", None, dict(headers={"Origin": "null"})),
            ("POST", "/api/credentials", {"user": "a", "password": "b"}, dict(origin=False)),
            ("POST", "/api/credentials", {"user": "a", "password": "b"},
             dict(headers={"Origin": "http://127.0.0.1:1"})),
            # a name of the attacker's that resolves here (DNS rebinding) gets nothing
            ("GET", "/", None, dict(host="evil.example:%d" % self.server.port)),
            ("GET", "/api/cameras", None, dict(host="127.0.0.1:1")),
        ]
        for method, path, body, kw in refused:
            status, _, data = self.request(method, path, body, **kw)
            self.assertEqual(403, status, (method, path, kw, data))
            self.assertNotIn(self.session.token.encode(), data)
        for headers, want in (({"Content-Type": "text/plain"}, 415),
                              ({"Content-Length": "9999999"}, 413)):
            self.assertEqual(want, self.request("POST", "/api/credentials", {"user": "a"},
                                                headers=headers)[0])
        self.assertEqual(400, self.request("POST", "/api/plan", {"csv": 5})[0])
        self.assertEqual(self.session.credentials(), {"user": "", "password_set": False},
                         "no refused request changed anything")
        status, _, data = self.request("GET", "/api/cameras")
        self.assertEqual((200, 0), (status, json.loads(data)["round"]))
        self.assertIn("refused POST /api/credentials from 127.0.0.1: a change needs the "
                      "page's Origin", self.log.getvalue())

    def test_a_change_and_a_plan_stream_their_steps_and_never_show_the_password(self):
        self.session.table.run_round()
        answer = json.loads(self.request("POST", "/api/credentials",
                                         {"user": "admin", "password": PASSWORD})[2])
        self.assertEqual({"user": "admin", "password_set": True, "ok": True, "message": ""},
                         answer)
        seen = []
        evs = self.events("/api/modify", {"mac": MACS[0], "ip": "10.9.0.7", "gateway": ""})
        seen += evs
        self.assertEqual(["sending", "answered", "confirmed", "done"], [e["event"] for e in evs])
        self.assertEqual(("10.9.0.2", "10.9.0.7"), (evs[0]["old"]["ip"], evs[0]["new"]["ip"]))
        self.assertEqual((True, "applied"), (evs[-1]["ok"], evs[-1]["result"]))
        self.assertEqual("10.9.0.7", self.session.table.find(MACS[0]).ip, "the row moved")
        evs = self.events("/api/modify", {"mac": MACS[0], "ip": "10.9.0.255"})
        self.assertEqual([("done", False, "refused_locally")],
                         [(e["event"], e["ok"], e["result"]) for e in evs])
        self.assertIn("broadcast", evs[0]["message"])

        status, _, data = self.request("POST", "/api/assign", {"from": "10.9.0.40"})
        plan = json.loads(data)
        self.assertEqual(["would_change", "would_change"], [r["result"] for r in plan["rows"]])
        self.assertEqual("mac,ip\r\n%s,10.9.0.40\r\n%s,10.9.0.41\r\n" % tuple(MACS), plan["csv"])
        bad = json.loads(self.request("POST", "/api/plan", {"csv": "mac,ip\nxx,1.2.3.4\n"})[2])
        self.assertEqual((False, 2), (bad["ok"], bad["line"]))
        evs = self.events("/api/apply", {"csv": plan["csv"]})
        seen += evs
        kinds = [e["event"] for e in evs]
        self.assertEqual((["start", "sent", "sent", "done"], 2),
                         ([k for k in kinds if k != "row"], kinds.count("row")))
        self.assertEqual((True, 2, "2 rows: 2 confirmed"),
                         (evs[-1]["ok"], evs[-1]["confirmed"], evs[-1]["message"]))
        self.assertEqual(["10.9.0.40", "10.9.0.41"],
                         sorted(r.ip for r in self.lan.modifications()[-2:]))
        csv_text = self.request("GET", "/api/cameras.csv")[2].decode()
        self.assertTrue(csv_text.startswith("ip,netmask,gateway"))
        everything = json.dumps(seen) + self.log.getvalue() + csv_text
        for secret in (PASSWORD, json.dumps(PASSWORD)[1:-1]):
            self.assertNotIn(secret, everything)
        self.assertEqual(PASSWORD, self.lan.modifications()[0].password, "sent to the device")


class LiveTableTest(unittest.TestCase):
    def test_rounds_mark_new_cameras_keep_moved_ones_and_grey_silent_ones(self):
        a, b, c = "02-00-00-00-00-0A", "02-00-00-00-00-0B", "02-00-00-00-00-0C"
        rounds = [[device("10.9.0.2", a), device("10.9.0.3", b)],
                  [device("10.9.0.2", a), device("10.9.0.3", b), device("10.9.0.4", c)],
                  OSError("network is down"),
                  [device("10.9.0.20", a), device("10.9.0.4", c)],
                  [device("10.9.0.20", a), device("10.9.0.4", c)],
                  [device("10.9.0.20", a)], [device("10.9.0.20", a)]]

        def search():
            step = rounds.pop(0)
            if isinstance(step, Exception):
                raise step
            return step
        table = LiveTable(search)
        states = []
        for _ in range(7):
            table.run_round()
            snap = table.snapshot()
            states.append((snap["round"], bool(snap["error"]), ["%s %s%s%s" % (
                cam["device"]["ip"], cam["device"]["mac"][-1], " new" * cam["new"],
                " silent" * cam["silent"]) for cam in snap["cameras"]]))
        self.assertEqual(states, [
            (1, False, ["10.9.0.2 A", "10.9.0.3 B"]),
            (2, False, ["10.9.0.2 A", "10.9.0.3 B", "10.9.0.4 C new"]),
            (2, True, ["10.9.0.2 A", "10.9.0.3 B", "10.9.0.4 C new"]),   # not a round
            (3, False, ["10.9.0.3 B", "10.9.0.4 C new", "10.9.0.20 A"]),
            (4, False, ["10.9.0.3 B", "10.9.0.4 C new", "10.9.0.20 A"]),
            (5, False, ["10.9.0.3 B silent", "10.9.0.4 C", "10.9.0.20 A"]),
            (6, False, ["10.9.0.3 B silent", "10.9.0.4 C", "10.9.0.20 A"]),
        ])
        self.assertEqual(["10.9.0.4", "10.9.0.20"], [d.ip for d in table.devices()])


class SnapshotWordsTest(unittest.TestCase):
    def test_the_cgis_answers_in_words(self):
        jpeg = b"\xff\xd8\xff\xe0rest"
        cases = [
            ((200, "image/jpeg", jpeg), ""),
            ((403, "text/html", b"HTTP/1.1 403 Forbidden\n"), "wrong_password"),
            ((400, "text/html", b"Unsupported Resolution\n"), "unsupported_resolution"),
            ((404, "text/html", b"HTTP/1.1 404 Not Found\n"), "no_picture"),
            ((404, "text/html", b"HTTP/1.1 404 File Not Found\n"), "no_picture"),
            # a server that passes the CGI's own status line on as the body of a 200
            ((200, "text/html", b"HTTP/1.1 403 Forbidden\n"), "wrong_password"),
            ((200, "text/html", b"snap ok\n"), "not_jpeg"),
            ((200, "image/jpeg", b"<html>"), "not_jpeg"),
            ((500, "text/plain", b"oops"), "http_error"),
        ]
        for (status, kind, body), error in cases:
            pic = classify(status, kind, body)
            self.assertEqual(error, pic.error, (status, body))
            self.assertEqual(pic.jpeg, jpeg if not error else b"")
            self.assertTrue(error == "" or pic.message, error)
        self.assertIn("empty", classify(404, "text/html", b"HTTP/1.1 404 File Not Found\n")
                      .message)
        # the password goes to a camera's LAN address only, never to this machine
        for ip in ("127.0.0.1", "0.0.0.0", "255.255.255.255", "10.1.2.3 ", "host.example"):
            self.assertEqual("no_address",
                             fetch_snapshot(device(ip, MACS[0]), "u", "p", None, 1).error)


if __name__ == "__main__":
    unittest.main()
