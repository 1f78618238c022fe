# SPDX-License-Identifier: MIT
"""Every search is answered from the device as it is when the search comes: a
changed address, netmask, default route or settings file shows in the very next
reply. The real devfinder in the camera namespace of devfinder_system_test
(two links), the stand-in main application beside it; bytes unpacked with the
Python client module, independent of the project's headers."""

import os
import unittest

from devfinder_system_test import PORT, STORED_INI, CameraLan, head, parse_search, text


def fd_count(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


class LiveStateTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.lan = CameraLan()
        cls.sock = cls.lan.client(cls.lan.cli1, "10.1.0.2")

    @classmethod
    def tearDownClass(cls):
        cls.lan.close()

    def search(self):
        """One broadcast search from cli1 (eth0 of the camera): the reply body."""
        self.sock.sendto(head(11), ("255.255.255.255", PORT))
        got = self.lan.recv(self.sock, 2.0)
        self.assertIsNotNone(got, "no reply: " + self.lan.cam.errors("devfinder")[-400:])
        self.assertEqual(len(got[0]), 464)
        return parse_search(got[0]), got[1][0]

    def write_ini(self, content):
        """Replaces the settings file as a whole, as its owner would."""
        path = os.path.join(self.lan.cam.mivor, "network.ini")
        with open(path + ".tmp", "w") as f:
            f.write(content)
        os.rename(path + ".tmp", path)

    def test_changed_address_and_netmask_show_in_the_next_reply(self):
        cam = self.lan.cam
        body, _ = self.search()
        self.assertEqual((text(body["IP"]), text(body["NetMask"])), ("10.1.0.1", "255.255.255.0"))
        cam.ip("addr", "add", "10.1.77.7/16", "dev", "eth0")
        cam.ip("addr", "del", "10.1.0.1/24", "dev", "eth0")
        try:
            body, source = self.search()
            self.assertEqual((text(body["IP"]), text(body["NetMask"])), ("10.1.77.7", "255.255.0.0"))
            self.assertEqual(source, "10.1.77.7")
        finally:
            cam.ip("addr", "add", "10.1.0.1/24", "dev", "eth0")
            cam.ip("addr", "del", "10.1.77.7/16", "dev", "eth0")
        body, _ = self.search()
        self.assertEqual((text(body["IP"]), text(body["NetMask"])), ("10.1.0.1", "255.255.255.0"))

    def test_changed_default_route_shows_in_the_next_reply(self):
        cam = self.lan.cam
        seen = [text(self.search()[0]["GateWay"])]
        cam.ip("route", "add", "default", "via", "10.1.0.254", "dev", "eth0")
        try:
            seen.append(text(self.search()[0]["GateWay"]))
            cam.ip("route", "replace", "default", "via", "10.1.0.253", "dev", "eth0")
            seen.append(text(self.search()[0]["GateWay"]))
            # Only a route through the other link is left: its gateway is the one.
            cam.ip("route", "replace", "default", "via", "10.2.0.254", "dev", "eth1")
            seen.append(text(self.search()[0]["GateWay"]))
        finally:
            cam.ip("route", "del", "default")
        seen.append(text(self.search()[0]["GateWay"]))
        self.assertEqual(seen, ["0.0.0.0", "10.1.0.254", "10.1.0.253", "10.2.0.254", "0.0.0.0"])

    def test_changed_settings_file_shows_in_the_next_reply(self):
        try:
            self.write_ini(STORED_INI.replace("dhcp=0", "dhcp=1")
                           .replace("00:11:22:33:44:55", "02:aa:bb:cc:dd:0e"))
            body, _ = self.search()
            self.assertEqual(body["NetworkMode"], 0)
            self.assertEqual(text(body["MacAddr"]), "02-AA-BB-CC-DD-0E")
            self.write_ini(STORED_INI)
            body, _ = self.search()
            self.assertEqual(body["NetworkMode"], 2)
            self.assertEqual(text(body["MacAddr"]), "00-11-22-33-44-55")
        finally:
            self.write_ini(STORED_INI)

    def test_searches_hold_no_more_descriptors_as_they_go(self):
        pid = self.lan.devfinder.program_pid
        self.search()
        before = fd_count(pid)
        for _ in range(200):
            self.search()
        self.assertEqual(fd_count(pid), before)


if __name__ == "__main__":
    unittest.main()
