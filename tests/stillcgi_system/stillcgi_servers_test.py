# SPDX-License-Identifier: MIT
"""The snapshot CGI behind the web servers cameras ship, read by strict clients.

One sandbox: a camera host running the stand-in and three web servers on its
link address, each with a configuration written here (busybox httpd, lighttpd
with mod_cgi, mini_httpd), and a client host. From the client: curl for
status, Content-Type, Content-Length against the body and ffprobe decoding
the image; Node's http.get and Python's http.client read the image reply
with their default (strict) parsers, and keep one connection for a series of
refusals and images, the way polling clients do.
"""

import json
import os
import unittest

from campair import link_pair
from cameras import start_standin
from camsandbox import Sandbox
from webcgi import WebCgi

CAM_ADDR = "10.1.0.1"
CLI_ADDR = "10.1.0.2"
SERVERS = {"busybox": 8081, "lighttpd": 8082, "mini_httpd": 8083}

GOOD = "user=admin&psw=1234"
TEXT_403 = b"HTTP/1.1 403 Forbidden\n"
TEXT_400 = b"Unsupported Resolution\n"
# One of each reply, over and over: no password (403; names no password, so
# the guessing bound does not count it), an unsupported resolution (400), a
# resolution the stand-in answers with an empty file (404), an image.
KEPT_CYCLE = [("user=admin", 403), (GOOD + "&resolution=5", 400),
              (GOOD + "&resolution=1", 404), (GOOD, 200)]
KEPT_REQUESTS = 90

NODE_GET = r"""
const http = require('http');
http.get(process.argv[1], (res) => {
  const chunks = [];
  res.on('data', (c) => chunks.push(c));
  res.on('end', () => {
    const body = Buffer.concat(chunks);
    console.log(JSON.stringify({status: res.statusCode, type: res.headers['content-type'],
      length: res.headers['content-length'], cache: res.headers['cache-control'],
      got: body.length, soi: body.slice(0, 2).toString('hex'),
      eoi: body.slice(-2).toString('hex')}));
  });
}).on('error', (e) => { console.log(JSON.stringify({error: e.message, code: e.code})); });
"""

PY_GET = r"""
import http.client, json, sys
conn = http.client.HTTPConnection(sys.argv[1], int(sys.argv[2]), timeout=20)
conn.request("GET", sys.argv[3])
res = conn.getresponse()
body = res.read()
print(json.dumps({"status": res.status, "type": res.getheader("Content-Type"),
                  "length": res.getheader("Content-Length"), "got": len(body),
                  "defects": [str(d) for d in res.msg.defects],
                  "soi": body[:2].hex(), "eoi": body[-2:].hex()}))
"""

# One connection kept for every request (http.client opens a new one only
# when a reply said it closes); [status, body bytes, Content-Length] or
# ["error", kind, text] per request.
PY_KEPT = r"""
import http.client, json, sys
conn = http.client.HTTPConnection(sys.argv[1], int(sys.argv[2]), timeout=20)
out = []
for path in json.loads(sys.argv[3]):
    try:
        conn.request("GET", path)
        res = conn.getresponse()
        body = res.read()
        out.append([res.status, len(body), int(res.getheader("Content-Length", -1))])
    except Exception as e:
        out.append(["error", type(e).__name__, str(e)])
        conn.close()
print(json.dumps(out))
"""

# The same with Node's keep-alive agent (one socket, reused until a reply
# says it closes).
NODE_KEPT = r"""
const http = require('http');
const agent = new http.Agent({keepAlive: true, maxSockets: 1});
const paths = JSON.parse(process.argv[3]);
const out = [];
function next(i) {
  if (i >= paths.length) { console.log(JSON.stringify(out)); agent.destroy(); return; }
  const req = http.get({host: process.argv[1], port: +process.argv[2], path: paths[i], agent},
    (res) => {
      let got = 0;
      res.on('data', (c) => { got += c.length; });
      res.on('end', () => {
        out.push([res.statusCode, got, +(res.headers['content-length'] || -1)]);
        next(i + 1);
      });
    });
  req.on('error', (e) => { out.push(['error', e.code, e.message]); next(i + 1); });
}
next(0);
"""


class Servers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sb = Sandbox.for_test(cls)
        cls.cam, cls.cli = link_pair(cls.sb, CAM_ADDR, CLI_ADDR)
        cls.zozid = start_standin(cls.cam, ["--caps", "0x0000", "--jpeg-size", "60000",
                                            "--empty-file-at", "1"])
        cls.web = WebCgi(cls.cam, CAM_ADDR)
        for name, port in SERVERS.items():
            cls.web.serve(name, port)
        cls.web.wait()

    def curl(self, name, query):
        """Status, headers (lower-case names) and body as curl received them."""
        head = os.path.join(self.cli.dir, name + ".head")
        body = os.path.join(self.cli.dir, name + ".body")
        r = self.cli.run(["curl", "-s", "-S", "-m", "20", "-D", head, "-o", body,
                          "-w", "%{http_code}", self.web.url(SERVERS[name], query)], timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        headers = {}
        with open(head, "rb") as f:
            for line in f.read().split(b"\r\n")[1:]:
                if b":" in line:
                    key, _, value = line.partition(b":")
                    headers[key.strip().lower().decode()] = value.strip().decode()
        with open(body, "rb") as f:
            return int(r.stdout), headers, f.read(), body

    def test_image_reaches_curl_and_decodes(self):
        for name in SERVERS:
            with self.subTest(server=name):
                status, headers, body, path = self.curl(name, GOOD)
                self.assertEqual(status, 200)
                self.assertEqual(headers.get("content-type"), "image/jpeg")
                self.assertEqual(headers.get("cache-control"), "no-store")
                self.assertEqual(int(headers.get("content-length", -1)), len(body))
                probe = self.cli.run(["ffprobe", "-v", "error", "-count_frames",
                                      "-select_streams", "v:0", "-show_entries",
                                      "stream=codec_name,width,height,nb_read_frames",
                                      "-of", "csv=p=0", path], timeout=60)
                self.assertEqual(probe.returncode, 0, probe.stderr)
                self.assertEqual(probe.stderr, "")
                self.assertEqual(probe.stdout.strip(), "mjpeg,1280,720,1")

    def test_refusals_reach_curl(self):
        # with the guessing bound's state file unusable, so every wrong
        # password makes the CGI write a line for the server's log: that line
        # must not reach the client (mini_httpd passes a CGI's standard error
        # to the client's connection)
        guard = os.path.join(self.cam.run_dir, "stillcgi.guard")
        os.mkdir(guard)
        self.addCleanup(os.rmdir, guard)
        cases = [("user=admin&psw=wrong", 403, TEXT_403),
                 (GOOD + "&resolution=5", 400, TEXT_400)]  # no capability bits
        for name in SERVERS:
            for query, code, text in cases:
                with self.subTest(server=name, status=code):
                    status, headers, body, _ = self.curl(name, query)
                    self.assertEqual(status, code)
                    self.assertEqual(headers.get("content-type"), "text/html")
                    self.assertEqual(headers.get("connection"), "close")
                    self.assertEqual(int(headers.get("content-length", -1)), len(body))
                    self.assertEqual(body, text)
                    self.assertNotIn("stillcgi", headers)
        self.assertIn("stillcgi.guard", self.cam.errors("busybox"))  # where it belongs

    def test_kept_connection(self):
        # 90 requests on one kept connection, refusals and images in turn:
        # every one answered, none sent into a connection the server closed
        paths = ["/cgi-bin/stillcgi?" + KEPT_CYCLE[i % 4][0] for i in range(KEPT_REQUESTS)]
        want = [KEPT_CYCLE[i % 4][1] for i in range(KEPT_REQUESTS)]
        for client, argv in (("python", ["python3", "-c", PY_KEPT]),
                             ("node", ["node", "-e", NODE_KEPT])):
            for name, port in SERVERS.items():
                with self.subTest(client=client, server=name):
                    r = self.cli.run(argv + [CAM_ADDR, str(port), json.dumps(paths)], timeout=180)
                    self.assertEqual(r.returncode, 0, r.stderr)
                    got = json.loads(r.stdout)
                    self.assertEqual([g for g in got if g[0] == "error"], [])
                    self.assertEqual([g[0] for g in got], want)
                    self.assertEqual([g[1] for g in got], [g[2] for g in got])  # whole bodies

    def check_client_view(self, seen):
        self.assertNotIn("error", seen)
        self.assertEqual(seen["status"], 200)
        self.assertEqual(seen["type"], "image/jpeg")
        self.assertEqual(int(seen["length"]), seen["got"])
        self.assertEqual((seen["soi"], seen["eoi"]), ("ffd8", "ffd9"))

    def test_node_http_get(self):
        for name, port in SERVERS.items():
            with self.subTest(server=name):
                r = self.cli.run(["node", "-e", NODE_GET, self.web.url(port, GOOD)], timeout=60)
                self.assertEqual(r.returncode, 0, r.stderr)
                seen = json.loads(r.stdout)
                self.check_client_view(seen)
                self.assertEqual(seen["cache"], "no-store")

    def test_python_http_client(self):
        for name, port in SERVERS.items():
            with self.subTest(server=name):
                r = self.cli.run(["python3", "-c", PY_GET, CAM_ADDR, str(port),
                                  "/cgi-bin/stillcgi?" + GOOD], timeout=60)
                self.assertEqual(r.returncode, 0, r.stderr)
                seen = json.loads(r.stdout)
                self.check_client_view(seen)
                self.assertEqual(seen["defects"], [])


if __name__ == "__main__":
    unittest.main()
