# SPDX-License-Identifier: MIT
"""The real devfinder in a camera namespace with two links in different subnets.

    cli1 eth0 10.1.0.2/24 --- eth0 10.1.0.1/24 [cam] eth1 10.2.0.1/24 --- eth0 10.2.0.2/24 cli2

The stand-in main application runs in the camera as ./zozid and owns
/mivor/network.ini (stored address 192.168.1.10, not the live ones). Datagrams
are packed and unpacked with the Python client module (tools/python/camdisco),
which is written from the protocol's field tables (little-endian, fixed
offsets), independent of the project's headers.
"""

import os
import re
import time
import unittest

import camdisco
from campair import link_pair, recv, udp_client
from cameras import start_standin
from camsandbox import Sandbox

PORT = 9333
DEV_TYPE = 0x5658040200080000
STORED_INI = ("dhcp=0\nipaddr=192.168.1.10\nnetmask=255.255.255.0\ngateway=192.168.1.1\n"
              "macaddr=00:11:22:33:44:55\nnettype=0\nipv6addr=\nipv6prefixlength=0\n"
              "ipv6gateway=\n")



def header(msg_type, msg_size=0, ext=0, seq=1, ack=0x0102, sub=0x0304, version=1, reserved=0x5A):
    """A header with every field set, so the echo of each one shows."""
    return camdisco.Header(msg_type, msg_size=msg_size, seq=seq, ack=ack, sub_type=sub,
                           version=version, ext_size=ext, reserved=reserved)


def head(msg_type, msg_size=0, **kw):
    return header(msg_type, msg_size=msg_size, **kw).pack()


def text(raw):
    return raw.split(b"\0", 1)[0].decode()


def parse_search(data):
    """The reply's fields by their wire names, as they travelled."""
    return camdisco.SearchReply.unpack(data).fields


def modify_request(cip="192.168.1.10", user="admin", pwd="1234", ip="192.168.1.77",
                   mask="255.255.255.0", gw="192.168.1.1", dns1="0.0.0.0", dns2="0.0.0.0",
                   mport=85, wport=85, mode=0, newflag=0, setmac=0, dev_type=DEV_TYPE,
                   mac="00-11-22-33-44-55", extended=True, msgid=b"msgid-0123456789", seq=5):
    req = camdisco.ModifyRequest(
        user=user, password=pwd, target=cip, ip=ip, netmask=mask, gateway=gw, dns1=dns1,
        dns2=dns2, media_port=mport, web_port=wport, mode=mode, mode_valid=bool(newflag),
        set_mac=setmac == 1, extended=extended, device_type_code=dev_type,
        mac=mac if extended else "", msgid=msgid)
    return req.pack(header=header(12, seq=seq))


class CameraLan:
    """The sandbox of this file: camera, two clients, stand-in, daemon."""

    def __init__(self, ini=STORED_INI):
        self.sb = Sandbox()
        try:
            self._build(ini)
        except Exception:
            self.sb.close()
            raise

    def _build(self, ini):
        sb = self.sb
        self.cam, self.cli1 = link_pair(sb, "10.1.0.1", "10.1.0.2", names=("cam", "cli1"))
        self.cli2 = sb.host("cli2")
        sb.link(self.cam, "eth1", "10.2.0.1/24", self.cli2, "eth0", "10.2.0.2/24")
        # A requester with a foreign address must not be dropped on the way in.
        for key in ("all", "default", "eth0", "eth1"):
            self.cam.run(["sysctl", "-qw", "net.ipv4.conf.%s.rp_filter=0" % key])
        with open(os.path.join(self.cam.mivor, "network.ini"), "w") as f:
            f.write(ini)
        self.zozid = start_standin(self.cam)
        self.devfinder = self.cam.start([self.sb.binary("devfinder")], name="devfinder")
        self.sockets = []
        # Ready when a unicast search is answered (bounded).
        probe = self.client(self.cli1, "10.1.0.2")
        for _ in range(50):
            probe.sendto(head(11), ("10.1.0.1", PORT))
            if self.recv(probe, 0.1):
                break
        else:
            raise RuntimeError("devfinder does not answer: " + self.cam.errors("devfinder"))

    def client(self, host, addr, device=None):
        s = udp_client(host, addr, device)
        self.sockets.append(s)
        return s

    recv = staticmethod(recv)

    def ini(self):
        with open(os.path.join(self.cam.mivor, "network.ini")) as f:
            return f.read()

    def reloads(self):
        return len(re.findall(r"^zozid: settings reloaded \d+$", self.cam.output("zozid"), re.M))

    def close(self):
        for s in self.sockets:
            s.close()
        self.sb.close()


class SearchTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.lan = CameraLan()

    @classmethod
    def tearDownClass(cls):
        cls.lan.close()

    def search(self, host, src, dst, msg_type=11, device=None, **kw):
        s = self.lan.client(host, src, device)
        req = head(msg_type, **kw)
        s.sendto(req, (dst, PORT))
        return req, self.lan.recv(s, 2.0)

    def test_broadcast_on_each_link_is_answered_from_that_link(self):
        for host, src, local in ((self.lan.cli1, "10.1.0.2", "10.1.0.1"),
                                 (self.lan.cli2, "10.2.0.2", "10.2.0.1")):
            with self.subTest(local=local):
                other = self.lan.client(self.lan.cli2 if host is self.lan.cli1 else self.lan.cli1,
                                        "10.2.0.2" if host is self.lan.cli1 else "10.1.0.2")
                req, got = self.search(host, src, "255.255.255.255", ext=5, seq=0xA1B2C3D4)
                self.assertIsNotNone(got, "no reply")
                data, source = got
                self.assertEqual(len(data), 464)
                self.assertEqual(source[0], local, "reply source is the arrival interface's address")
                # header: the request's, MsgSize 448; body still at 16 despite ExtSize 5
                self.assertEqual(data[:16], camdisco.Header.unpack(req).replace(msg_size=448).pack())
                body = parse_search(data)
                self.assertEqual(text(body["IP"]), local, "live address over the stored one")
                self.assertEqual(text(body["NetMask"]), "255.255.255.0")
                self.assertEqual(body["Port"], 85)
                self.assertEqual(body["IEPort"], 85)
                self.assertEqual(body["NetworkMode"], 2)
                self.assertEqual(body["DevTypeULL"], DEV_TYPE)
                self.assertEqual(data[16 + 156:16 + 164], DEV_TYPE.to_bytes(8, "little"))
                self.assertEqual(body["DeviceID"], 1010)
                self.assertEqual(body["ChannelNum"], 4)
                self.assertEqual(body["MacAddr"], b"00-11-22-33-44-55".ljust(36, b"\0"))
                self.assertEqual(text(body["DNS1"]), "0.0.0.0")
                self.assertEqual(body["Version"], 1)
                self.assertEqual(body["reserved"], bytes(128))
                self.assertIsNone(self.lan.recv(other, 0.2), "only the asking link hears the reply")
        errors = self.lan.cam.errors("devfinder")
        self.assertIn("ip_dst_addr=255.255.255.255\n", errors)

    def test_unicast_search_logs_the_own_address(self):
        req, got = self.search(self.lan.cli2, "10.2.0.2", "10.2.0.1")
        self.assertIsNotNone(got)
        self.assertEqual(got[1][0], "10.2.0.1")
        self.assertEqual(text(parse_search(got[0])["IP"]), "10.2.0.1")
        self.assertRegex(self.lan.cam.errors("devfinder"),
                         r"\[BCAST\]\[AcceptProcess\] line\[\d+\] index=\d+ ip_dst_addr=10\.2\.0\.1\n")

    def test_search_forms_and_other_types(self):
        for msg_type, answered in ((11, True), (620, True), (618, False), (13, False)):
            with self.subTest(msg_type=msg_type):
                _, got = self.search(self.lan.cli1, "10.1.0.2", "10.1.0.1", msg_type=msg_type)
                self.assertEqual(got is not None, answered)
                if got:
                    self.assertEqual(camdisco.Header.unpack(got[0]).msg_type, msg_type)
        self.assertIn("invlalid msg_type(13)!\n", self.lan.cam.errors("devfinder"))

    def test_requester_in_a_foreign_subnet_on_the_link_gets_its_reply(self):
        self.lan.cli1.ip("addr", "add", "172.16.5.5/32", "dev", "eth0")
        try:
            _, got = self.search(self.lan.cli1, "172.16.5.5", "255.255.255.255", device="eth0")
            self.assertIsNotNone(got, "reply must go straight to the requester")
            self.assertEqual(got[1][0], "10.1.0.1")
        finally:
            self.lan.cli1.ip("addr", "del", "172.16.5.5/32", "dev", "eth0")

    def test_gateway_follows_the_routes(self):
        cam = self.lan.cam

        def gateway(host, src, dst):
            _, got = self.search(host, src, dst)
            self.assertIsNotNone(got)
            return text(parse_search(got[0])["GateWay"])

        self.assertEqual(gateway(self.lan.cli1, "10.1.0.2", "10.1.0.1"), "0.0.0.0")
        cam.ip("route", "add", "default", "via", "10.1.0.254", "dev", "eth0")
        try:
            self.assertEqual(gateway(self.lan.cli1, "10.1.0.2", "10.1.0.1"), "10.1.0.254")
            # no gateway through eth1: the one through the other interface
            self.assertEqual(gateway(self.lan.cli2, "10.2.0.2", "10.2.0.1"), "10.1.0.254")
            cam.ip("route", "add", "198.51.100.0/24", "via", "10.2.0.254", "dev", "eth1")
            try:
                self.assertEqual(gateway(self.lan.cli2, "10.2.0.2", "10.2.0.1"), "10.2.0.254")
                self.assertEqual(gateway(self.lan.cli1, "10.1.0.2", "10.1.0.1"), "10.1.0.254")
            finally:
                cam.ip("route", "del", "198.51.100.0/24")
        finally:
            cam.ip("route", "del", "default")


class ModifyTest(unittest.TestCase):
    def setUp(self):
        self.lan = CameraLan()
        self.cli = self.lan.client(self.lan.cli1, "10.1.0.2")

    def tearDown(self):
        self.lan.close()

    def send(self, req, timeout=3.0, dst="255.255.255.255"):
        """A request from cli1, as a broadcast unless dst says otherwise (a MAC
        set goes to the camera's own address, 10.1.0.1)."""
        self.cli.sendto(req, (dst, PORT))
        return self.lan.recv(self.cli, timeout)

    def assert_one_reload(self):
        self.assertTrue(self.lan.cam.wait_for(lambda: self.lan.reloads() >= 1, 5),
                        "zozid got no SIGUSR1: " + self.lan.cam.output("devfinder"))
        time.sleep(0.3)
        self.assertEqual(self.lan.reloads(), 1)

    def assert_reply(self, got, req):
        self.assertIsNotNone(got, "no reply")
        data = got[0]
        self.assertEqual(len(data), 32)
        self.assertEqual(data[:16], camdisco.Header.unpack(req).replace(ack=0, msg_size=16).pack())
        self.assertEqual(data[16:32], req[16:32], "msgid echoed")

    def assert_nothing_changed(self, got):
        self.assertIsNone(got, "a refused request gets no reply")
        time.sleep(0.3)
        self.assertEqual(self.lan.ini(), STORED_INI)
        self.assertEqual(self.lan.reloads(), 0)

    def test_first_form_rewrites_the_settings(self):
        req = modify_request(extended=False, mac="xx", dev_type=1)
        self.assertEqual(len(req), 88)
        self.assert_reply(self.send(req), req)
        self.assert_one_reload()
        self.assertEqual(self.lan.ini(), STORED_INI.replace("192.168.1.10", "192.168.1.77"))
        self.assertEqual(self.lan.cam.reboot_calls(), [])

    def test_extended_form_rewrites_the_settings(self):
        req = modify_request(ip="10.9.8.7", mask="255.255.0.0", gw="10.9.0.1", newflag=1, mode=0)
        self.assertEqual(len(req), 132)
        self.assert_reply(self.send(req), req)
        self.assert_one_reload()
        self.assertEqual(self.lan.ini(),
                         "dhcp=1\nipaddr=10.9.8.7\nnetmask=255.255.0.0\ngateway=10.9.0.1\n"
                         "macaddr=00:11:22:33:44:55\nnettype=0\nipv6addr=\nipv6prefixlength=0\n"
                         "ipv6gateway=\n")

    def test_mac_set_rewrites_only_the_mac(self):
        req = modify_request(cip="10.10.10.10", setmac=1, mac="02-AB-CD-EF-01-23")
        self.assert_reply(self.send(req, dst="10.1.0.1"), req)
        self.assert_one_reload()
        self.assertEqual(self.lan.ini(), STORED_INI.replace("00:11:22:33:44:55", "02:AB:CD:EF:01:23"))

    def test_requests_not_for_this_device_or_user_change_nothing(self):
        cases = {
            "wrong password": modify_request(pwd="pw-X9q"),
            "unknown user": modify_request(user="guest"),
            "wrong cip": modify_request(cip="192.168.1.11"),
            "other MAC": modify_request(mac="00-11-22-33-44-56"),
            "wrong device type": modify_request(dev_type=DEV_TYPE + 1),
        }
        for name, req in cases.items():
            with self.subTest(name):
                self.assert_nothing_changed(self.send(req, 0.7))
        errors = self.lan.cam.errors("devfinder")
        self.assertIn("CheckUser Failed!(admin:***)", errors)
        self.assertNotIn("pw-X9q", errors)

    def test_lower_case_mac_text_does_not_match(self):
        ini = STORED_INI.replace("00:11:22:33:44:55", "00:1a:2b:3c:4d:5e")
        self.lan.close()
        self.lan = CameraLan(ini)
        self.cli = self.lan.client(self.lan.cli1, "10.1.0.2")
        got = self.send(modify_request(mac="00-1a-2b-3c-4d-5e"), 0.7)
        self.assertIsNone(got)
        got = self.send(modify_request(mac="00-1A-2B-3C-4D-5E"))
        self.assertIsNotNone(got, "the device's text is upper case")

    def test_unusable_settings_are_refused(self):
        cases = {
            "zero address": modify_request(ip="0.0.0.0"),
            "multicast address": modify_request(ip="239.1.1.1"),
            "holey netmask": modify_request(mask="255.0.255.0"),
            "network address": modify_request(ip="192.168.1.0", gw="192.168.1.1"),
            "subnet broadcast": modify_request(ip="192.168.1.255"),
            "/31": modify_request(mask="255.255.255.254", gw="0.0.0.0"),
            "/32": modify_request(mask="255.255.255.255", gw="0.0.0.0"),
            "gateway outside": modify_request(gw="192.168.2.1"),
            "gateway is the address": modify_request(gw="192.168.1.77"),
            "gateway is the network": modify_request(gw="192.168.1.0"),
            "gateway is the broadcast": modify_request(gw="192.168.1.255"),
            "group MAC": modify_request(setmac=1, mac="01-00-5E-00-00-01"),
            "short MAC": modify_request(setmac=1, mac="00-11-22"),
        }
        for name, req in cases.items():
            with self.subTest(name):
                dst = "10.1.0.1" if "MAC" in name else "255.255.255.255"
                self.assert_nothing_changed(self.send(req, 0.7, dst))
        self.assertEqual(self.lan.cam.errors("devfinder").count("refused network settings: "),
                         len(cases))

    def test_edge_settings_that_work_are_applied(self):
        cases = (  # stored address first, then the new address, netmask, gateway
            ("192.168.1.10", "192.168.1.77", "255.255.255.252", "192.168.1.78"),  # /30, last host
            ("192.168.1.77", "192.168.1.78", "255.255.255.252", "192.168.1.77"),  # first host
            ("192.168.1.78", "192.168.1.78", "255.255.255.0", "192.168.1.1"),
            ("192.168.1.78", "192.168.1.78", "255.255.255.0", "192.168.1.254"),
            ("192.168.1.78", "192.168.1.78", "255.255.255.0", "0.0.0.0"),
        )
        for n, (cip, ip, mask, gw) in enumerate(cases, 1):
            with self.subTest(ip=ip, mask=mask, gw=gw):
                req = modify_request(cip=cip, ip=ip, mask=mask, gw=gw, msgid=b"edge-%011d" % n)
                self.assert_reply(self.send(req), req)
                self.assertTrue(self.lan.cam.wait_for(lambda: self.lan.reloads() >= n, 20))
                self.assertIn("ipaddr=%s\nnetmask=%s\ngateway=%s\n" % (ip, mask, gw),
                              self.lan.ini())
        self.assertNotIn("refused network settings", self.lan.cam.errors("devfinder"))


if __name__ == "__main__":
    unittest.main()
