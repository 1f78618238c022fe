# SPDX-License-Identifier: MIT
"""camdisco against the real devfinder and the stand-in main application.

    cli eth0 10.71.0.2/24 --- eth0 10.71.0.1/24 [cam]  (account admin:1234)

Search, both modification forms and a MAC set go through the module's own
network code from a socket of the client host; every outcome is read from the
camera's settings file.
"""

import os
import socket
import unittest

import camdisco
from camsandbox import Sandbox, wait_for

INI = ("dhcp=0\nipaddr=10.71.0.1\nnetmask=255.255.255.0\ngateway=10.71.0.254\n"
       "macaddr=00:11:22:33:44:55\nnettype=0\nipv6addr=\nipv6prefixlength=0\nipv6gateway=\n")


class CamdiscoSystemTest(unittest.TestCase):
    def setUp(self):
        self.sb = Sandbox()
        try:
            self.cam, cli = self.sb.host("cam"), self.sb.host("cli")
            self.sb.link(self.cam, "eth0", "10.71.0.1/24", cli, "eth0", "10.71.0.2/24")
            self.ini = os.path.join(self.cam.mivor, "network.ini")
            with open(self.ini, "w") as f:
                f.write(INI)
            self.cam.start(["./zozid", "--user", "admin:1234"], name="zozid")
            if not wait_for(lambda: "zozid: ready" in self.cam.output("zozid"), 10):
                raise RuntimeError("stand-in not ready: " + self.cam.errors("zozid"))
            self.cam.start([self.sb.binary("devfinder")], name="devfinder")
            self.sock = cli.socket(socket.AF_INET, socket.SOCK_DGRAM)
        except Exception:
            self.sb.close()
            raise

    def tearDown(self):
        self.sock.close()
        self.sb.close()

    def search_one(self):
        found = camdisco.search(timeout=20, retries=19, sock=self.sock, want=1)
        self.assertEqual(len(found), 1, self.cam.errors("devfinder")[-1500:])
        return found[0]

    def settings(self):
        with open(self.ini) as f:
            return f.read()

    def test_search_modify_both_forms_and_set_mac(self):
        dev = self.search_one()
        self.assertEqual((dev.ip, dev.netmask, dev.mac, dev.interface, dev.network_mode),
                         ("10.71.0.1", "255.255.255.0", "00-11-22-33-44-55", "eth0",
                          camdisco.MODE_STATIC))

        res = camdisco.modify(dev, "admin", "1234", gateway="10.71.0.253", timeout=10,
                              sock=self.sock)
        self.assertEqual(res.reply.header.ack, 0)
        self.assertEqual(self.settings(), INI.replace("10.71.0.254", "10.71.0.253"))

        camdisco.modify(dev, "admin", "1234", gateway="10.71.0.252", extended=False,
                        timeout=10, sock=self.sock)
        self.assertIn("gateway=10.71.0.252\n", self.settings())

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


if __name__ == "__main__":
    unittest.main()
