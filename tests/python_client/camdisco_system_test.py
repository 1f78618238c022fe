# SPDX-License-Identifier: MIT
"""camdisco against the real devfinder and the stand-in main application.

    cli eth0 10.71.0.2/24 --- eth0 10.71.0.1/24 [cam]  (account admin:1234)

Search (blocking and asyncio), both modification forms, the mode by name and a
MAC set go through the package's own network code from a socket of the client
host; every outcome is read from the camera's settings file. The examples run
as programs on the client host against a camera that really moves and serves
snapshots on the web port it reports.
"""

import asyncio
import os
import socket
import sys
import unittest

import camdisco
from campair import CameraPair
from camsandbox import Sandbox, wait_for

INI = ("dhcp=0\nipaddr=10.71.0.1\nnetmask=255.255.255.0\ngateway=10.71.0.254\n"
       "macaddr=00:11:22:33:44:55\nnettype=0\nipv6addr=\nipv6prefixlength=0\nipv6gateway=\n")
EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                        "python", "examples")
PACKAGE = os.path.dirname(os.path.dirname(os.path.abspath(camdisco.__file__)))


class CamdiscoSystemTest(unittest.TestCase):
    def setUp(self):
        self.sb = Sandbox.for_test(self)

    def start_camera(self, mac, **kw):
        """The camera at 10.71.0.1 and the client host at 10.71.0.2, serving."""
        pair = CameraPair(self.sb, "10.71.0.1", "10.71.0.2", gateway="10.71.0.254", mac=mac,
                          names=("cam", "cli"), **kw).start()
        self.cam, self.cli = pair.cam_host, pair.installer
        self.ini = os.path.join(self.cam.mivor, "network.ini")
        self.sock = self.cli.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(self.sock.close)
        return pair.camera

    def start_plain_camera(self):
        # a stand-in without --iface: the address stays whatever is stored
        self.start_camera("00:11:22:33:44:55", follow=False)
        self.assertEqual(INI, self.settings())

    def search_one(self):
        found = camdisco.search(timeout=20, retries=19, sock=self.sock, expect=1)
        self.assertEqual(len(found), 1, self.cam.errors("devfinder")[-1500:])
        return found[0]

    def settings(self):
        with open(self.ini) as f:
            return f.read()

    def test_search_modify_both_forms_and_set_mac(self):
        self.start_plain_camera()
        dev = self.search_one()
        self.assertEqual((dev.ip, dev.netmask, dev.mac, dev.interface, dev.mode),
                         ("10.71.0.1", "255.255.255.0", "00-11-22-33-44-55", "eth0", "static"))
        got = asyncio.run(camdisco.async_search(timeout=20, retries=19, sock=self.sock,
                                                expect=1))
        self.assertEqual([dev.to_json()], [d.to_json() for d in got])

        res = camdisco.modify(dev, "admin", "1234", gateway="10.71.0.253", timeout=10,
                              sock=self.sock)
        self.assertEqual((res.ack_flag, res.confirmed_by), (0, "reply"))
        self.assertEqual(self.settings(), INI.replace("10.71.0.254", "10.71.0.253"))

        camdisco.modify(dev, "admin", "1234", gateway="10.71.0.252", extended=False,
                        timeout=10, sock=self.sock)
        self.assertIn("gateway=10.71.0.252\n", self.settings())

        # the mode by name; a search confirms each change
        res = camdisco.modify(dev, "admin", "1234", mode="dhcp", timeout=10, wait=True,
                              wait_timeout=20, sock=self.sock)
        self.assertEqual(("search", "dhcp"), (res.confirmed_by, res.seen.mode))
        self.assertIn("dhcp=1\n", self.settings())
        res = asyncio.run(camdisco.async_modify(res.seen, "admin", "1234", mode="static",
                                                timeout=10, wait=True, wait_timeout=20,
                                                sock=self.sock))
        self.assertEqual("static", res.seen.mode)
        self.assertIn("dhcp=0\n", self.settings())

        camdisco.set_mac(dev, "02:ab:cd:ef:01:23", "admin", "1234", timeout=10,
                         sock=self.sock)
        self.assertIn("macaddr=02:AB:CD:EF:01:23\n", self.settings())
        self.assertEqual(self.search_one().mac, "02-AB-CD-EF-01-23")

        before = self.settings()
        with self.assertRaises(camdisco.NoReply):
            camdisco.modify(self.search_one(), "admin", "wrong", gateway="10.71.0.251",
                            timeout=1.0, retries=1, sock=self.sock)
        self.assertEqual(self.settings(), before)
        self.assertTrue(wait_for(lambda: "repeat of a refused request" in
                                 self.cam.errors("devfinder"), 10))
        self.assertEqual(self.cam.errors("devfinder").count("CheckUser Failed!"), 1,
                         "the repeat of a refused request is not checked again")

    def example(self, name, *args):
        res = self.cli.run([sys.executable, os.path.join(EXAMPLES, name), *args], timeout=120,
                           env={"PYTHONPATH": PACKAGE})
        self.assertEqual(0, res.returncode, "%s: %s%s\n%s" % (
            name, res.stdout, res.stderr, self.cam.errors("devfinder")[-1500:]))
        return res.stdout

    def test_examples_against_a_camera_that_moves(self):
        # the web server serves the CGI on the port the camera reports
        cam = self.start_camera("02:C5:00:00:71:01", httpd=True)
        web_port = self.search_one().web_port
        self.assertTrue(wait_for(lambda: self.cli.port_open("10.71.0.1", web_port), 20))

        # the package's command prints the very objects devsearch prints
        mine = self.cli.run([sys.executable, "-m", "camdisco", "search", "--json", "--expect",
                             "1", "--timeout", "20"], timeout=120, env={"PYTHONPATH": PACKAGE})
        theirs = self.cli.run([self.sb.binary("devsearch"), "search", "--json", "--expect", "1",
                               "--timeout", "20"], timeout=120)
        self.assertEqual((0, 0), (mine.returncode, theirs.returncode), mine.stderr)
        self.assertEqual(theirs.stdout, mine.stdout)

        out = self.example("find_cameras.py", "--expect", "1", "--timeout", "20")
        self.assertEqual(out.split(), ["10.71.0.1", "02-C5-00-00-71-01", "static",
                                       "http://10.71.0.1:%d/" % web_port])

        out = self.example("readdress_camera.py", "02:c5:00:00:71:01", "10.71.0.9", "--user",
                           "admin", "--password", "1234")
        self.assertIn("to 10.71.0.9", out)
        self.assertEqual("10.71.0.9", cam.settings()["ipaddr"])
        self.assertIn("10.71.0.9/24", cam.live_addresses())

        snaps = os.path.join(self.cli.dir, "snaps")
        os.makedirs(snaps)
        out = self.example("snapshot_each.py", "--user", "admin", "--password", "1234",
                           "--out", snaps, "--timeout", "5")
        self.assertTrue(out.startswith("10.71.0.9 02-C5-00-00-71-01 "), out)
        with open(os.path.join(snaps, "02-C5-00-00-71-01.jpg"), "rb") as f:
            self.assertEqual(b"\xff\xd8", f.read(2))
        self.assertNotIn("1234", out)


if __name__ == "__main__":
    unittest.main()
