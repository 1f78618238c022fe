# SPDX-License-Identifier: MIT
"""devsearch against the real daemon: one camera host (stand-in zozid with one account,
devfinder) and an installer host joined by a veth link in the namespace sandbox.

The checks read what the camera really holds (network.ini, the interface's addresses,
the stand-in's reload count, the daemon's log), never the client's own opinion."""

import csv
import io
import json
import os
import time
import unittest

from campair import CameraPair
from cameras import parse_json_lines
from camsandbox import Sandbox, wait_for

CAM_IP, INSTALLER_IP, GATEWAY, PREFIX = "10.88.0.10", "10.88.0.2", "10.88.0.1", 24
MAC = "02:C5:00:00:AA:01"
DEV_MAC = "02-C5-00-00-AA-01"
USER, PASSWORD = "admin", "1234"
NO_REPLY = ("devsearch: not applied (no reply: wrong password, settings refused, or device "
            "unreachable)")
# How long devsearch collects answers per step. The device stores a change (fsync)
# before it answers, and on a loaded machine that and the search replies can take
# seconds: a step that must hear the camera waits long enough for that. Steps that
# hear nothing (absent device, refusals) wait it whole, which only costs time.
WAIT = ("--timeout", "5")
SETTLE_S = 30  # bound of a poll for a change to show


class DevsearchAgainstDaemon(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sb = Sandbox.for_test(cls)
        cls.pair = CameraPair(cls.sb, CAM_IP, INSTALLER_IP, PREFIX, GATEWAY, MAC, USER, PASSWORD,
                              default_route=True).start()
        cls.cam_host, cls.inst, cls.cam = cls.pair.cam_host, cls.pair.installer, cls.pair.camera

    # -- helpers -------------------------------------------------------------------
    def ds(self, *args, input=None):
        return self.pair.devsearch(*args, input=input)

    def search(self):
        # one camera on this link: the search ends when it answered
        res = self.ds("search", "--json", "--expect", "1", "--timeout", "30")
        self.assertEqual(0, res.returncode, res.stderr)
        return parse_json_lines(res.stdout)

    def modify_requests(self):
        return self.cam.discovery_log().count("MSG_TYPE_MDEVINFO")

    def default_route(self):
        return self.cam_host.ip("-4", "route", "show", "default").strip()

    def assert_camera_at(self, ip):
        # a move to the address the camera already has (DHCP back to static) changes
        # nothing that can be seen until the stand-in re-applies it, flushing the route
        self.assertTrue(wait_for(self.cam.network_settled, SETTLE_S),
                        self.cam_host.output("zozid")[-2000:])
        self.assertTrue(wait_for(lambda: "%s/%d" % (ip, PREFIX) in self.cam.live_addresses(),
                                 SETTLE_S),
                        self.cam.live_addresses())
        # the stand-in puts the address on first and the default route after it: a search
        # in between would see no gateway, so the move is over only when both are back
        self.assertTrue(wait_for(lambda: ("via %s " % GATEWAY) in self.default_route() + " ",
                                 SETTLE_S), self.default_route())
        self.assertEqual(ip, self.cam.settings()["ipaddr"])
        self.assertEqual([ip], [d["ip"] for d in self.search()])

    def move(self, target, ip, *extra):
        reloads = self.cam.reloads()
        res = self.ds("modify", target, "--user", USER, "--password", PASSWORD, "--ip", ip,
                      *extra, *WAIT)
        self.assertEqual(0, res.returncode, res.stderr + self.cam.discovery_log()[-1500:])
        self.assertIn("applied", res.stdout)
        self.assertTrue(wait_for(lambda: self.cam.reloads() == reloads + 1, SETTLE_S))
        self.assert_camera_at(ip)

    # -- search --------------------------------------------------------------------
    def test_search_reports_what_the_camera_holds(self):
        devs = self.search()
        self.assertEqual(1, len(devs), devs)
        d = devs[0]
        self.assertEqual(self.cam.settings()["ipaddr"], d["ip"])
        self.assertEqual("255.255.255.0", d["netmask"])
        self.assertEqual(GATEWAY, d["gateway"])
        self.assertEqual(DEV_MAC, d["mac"])
        self.assertEqual("static", d["mode"])
        self.assertEqual(85, d["media_port"])
        self.assertEqual(85, d["web_port"])
        self.assertEqual("0x5658040200080000", d["device_type_code"])
        self.assertEqual(4, d["channels"])
        self.assertEqual(1010, d["device_id"])
        self.assertEqual("eth0", d["interface"])

    def test_search_table_and_exit_status(self):
        res = self.ds("search", "--interface", "eth0", "--retries", "0", *WAIT)
        self.assertEqual(0, res.returncode, res.stderr)
        lines = res.stdout.splitlines()
        self.assertEqual(2, len(lines), res.stdout)
        self.assertTrue(lines[0].startswith("ADDRESS"))
        self.assertIn(DEV_MAC, lines[1])
        # nobody answers on loopback: failure, said so
        res = self.ds("search", "--interface", "lo", *WAIT)
        self.assertEqual(1, res.returncode)
        self.assertIn("no device answered", res.stderr)
        res = self.ds("search", "--interface", "nosuch0", *WAIT)
        self.assertEqual(1, res.returncode)
        self.assertIn("no such interface", res.stderr)

    def test_search_ends_when_the_expected_devices_answered(self):
        ended = "the search ended when the expected devices had answered"
        for args in (("--expect", "1"), ("--mac", DEV_MAC.lower().replace("-", ":"))):
            with self.subTest(args=args):
                res = self.ds("search", "--json", "--timeout", "60", *args)
                self.assertEqual(0, res.returncode, res.stderr)
                self.assertIn(ended, res.stderr)
                devs = parse_json_lines(res.stdout)
                self.assertEqual([DEV_MAC], [d["mac"] for d in devs])
        # every result carries the URLs of the camera, without credentials
        self.assertEqual(("http://%s:85/" % CAM_IP, "http://%s:85/cgi-bin/stillcgi" % CAM_IP),
                         (devs[0]["url"], devs[0]["snapshot_url"]))
        # an expectation not met fails, and says so, after printing what was found
        res = self.ds("search", "--expect", "2", "--timeout", "1")
        self.assertEqual(1, res.returncode)
        self.assertIn("only 1 of 2 expected devices answered", res.stderr)
        self.assertIn(DEV_MAC, res.stdout)
        # the CSV holds the JSON's fields under the JSON's names (RFC 4180, CRLF)
        res = self.inst.run_bytes([self.sb.binary("devsearch"), "search", "--csv", "--expect", "1",
                                   "--timeout", "60"], timeout=120)
        self.assertEqual(0, res.returncode, res.stderr)
        self.assertTrue(res.stdout.endswith(b"\r\n"))
        rows = list(csv.DictReader(io.StringIO(res.stdout.decode(), newline="")))
        self.assertEqual([{k: str(v) for k, v in devs[0].items()}], rows)

    def test_malformed_plans_are_refused_before_anything_is_sent(self):
        before = self.modify_requests()
        head = "mac,ip\n%s,10.88.0.70\n" % DEV_MAC
        cases = [("mac,ip,speed\n%s,10.88.0.70,fast\n" % DEV_MAC, 1, 'unknown column "speed"'),
                 (head + "02-C5-00-00-AA-02,10.88.0.300\n", 3, "ip: not an IPv4 address"),
                 (head + DEV_MAC.lower() + ",10.88.0.71\n", 3,
                  "mac %s is also on line 2" % DEV_MAC),
                 (head + "02-C5-00-00-AA-02,10.88.0.70\n", 3, "ip 10.88.0.70 is also on line 2")]
        path = os.path.join(self.inst.dir, "plan.csv")
        for text, line, why in cases:
            with self.subTest(why=why):
                with open(path, "w") as f:
                    f.write(text)
                res = self.assert_nothing_changed(lambda: self.ds(
                    "apply", path, "--user", USER, "--password", PASSWORD, *WAIT))
                self.assertEqual(1, res.returncode)
                self.assertEqual("", res.stdout)
                self.assertIn("devsearch: %s: line %d: %s" % (path, line, why), res.stderr)
                self.assertIn("nothing was sent", res.stderr)
        self.assertEqual(before, self.modify_requests())

    # -- modify ----------------------------------------------------------------------
    def test_modify_wait_confirms_the_move_by_a_search(self):
        reloads = self.cam.reloads()
        res, obj = self.ds_json("modify", DEV_MAC, "--user", USER, "--password", PASSWORD,
                                "--ip", "10.88.0.65", "--wait", "--wait-timeout", "30")
        self.assertEqual(0, res.returncode, res.stderr)
        self.assertEqual(("applied", "search", 0), (obj["result"], obj["confirmed_by"],
                                                    obj["ack_flag"]))
        self.assertIsInstance(obj["confirm_ms"], int)
        self.assertTrue(wait_for(lambda: self.cam.reloads() == reloads + 1, SETTLE_S))
        self.assert_camera_at("10.88.0.65")
        res = self.ds("modify", DEV_MAC, "--user", USER, "--password", PASSWORD, "--ip", CAM_IP,
                      "--wait", "--wait-timeout", "30", *WAIT)
        self.assertEqual(0, res.returncode, res.stderr)
        self.assertIn("; a search showed it after ", res.stdout)
        self.assert_camera_at(CAM_IP)

    def test_modify_extended_form_moves_the_camera_and_back(self):
        self.move(DEV_MAC, "10.88.0.20")
        # the request named the device by MAC text and type; back by address, MAC in any case
        self.move("10.88.0.20", CAM_IP)
        self.move(DEV_MAC.lower().replace("-", ":"), "10.88.0.21")
        self.move(DEV_MAC, CAM_IP)

    def test_modify_first_form_moves_the_camera_and_back(self):
        self.move(DEV_MAC, "10.88.0.30", "--legacy")
        self.move("10.88.0.30", CAM_IP, "--legacy")

    def test_modify_dhcp_is_stored_without_moving(self):
        reloads = self.cam.reloads()
        res = self.ds("modify", DEV_MAC, "--user", USER, "--password", PASSWORD, "--dhcp", *WAIT)
        self.assertEqual(0, res.returncode, res.stderr)
        self.assertTrue(wait_for(lambda: self.cam.reloads() == reloads + 1, SETTLE_S))
        self.assertEqual("1", self.cam.settings()["dhcp"])
        self.assertEqual("dhcp", self.search()[0]["mode"])
        self.move(DEV_MAC, CAM_IP, "--static")
        self.assertEqual("0", self.cam.settings()["dhcp"])

    def test_set_mac_changes_only_the_mac(self):
        before = self.cam.settings()
        res = self.ds("set-mac", CAM_IP, "02:c5:00:00:be:ef", "--user", USER, "--password",
                      PASSWORD, *WAIT)
        self.assertEqual(0, res.returncode, res.stderr + self.cam.discovery_log()[-1500:])
        self.assertTrue(wait_for(lambda: self.cam.settings()["macaddr"] == "02:C5:00:00:BE:EF",
                                 SETTLE_S), self.cam.settings())
        after = self.cam.settings()
        for key in ("dhcp", "ipaddr", "netmask", "gateway"):
            self.assertEqual(before[key], after[key], key)
        self.assertEqual(["02-C5-00-00-BE-EF"], [d["mac"] for d in self.search()])
        res = self.ds("set-mac", "02-C5-00-00-BE-EF", MAC, "--user", USER, "--password",
                      PASSWORD, *WAIT)
        self.assertEqual(0, res.returncode, res.stderr)
        self.assertTrue(wait_for(lambda: self.cam.settings()["macaddr"] == MAC, SETTLE_S))

    # -- for scripts: one JSON object per modify / set-mac -------------------------------
    def ds_json(self, *args):
        """Runs a modify or set-mac with --json; returns (exit status, the one object)."""
        res = self.ds(*args, "--json", *WAIT)
        lines = [ln for ln in res.stdout.splitlines() if ln.strip()]
        self.assertEqual(1, len(lines), res.stdout + res.stderr)
        return res, json.loads(lines[0])

    def test_json_results_of_modify_and_set_mac(self):
        keys = ["result", "command", "reason", "confirmed_by", "confirm_ms", "ack_flag", "device",
                "old", "new"]
        reloads = self.cam.reloads()
        res, obj = self.ds_json("modify", DEV_MAC, "--user", USER, "--password", PASSWORD,
                                "--ip", "10.88.0.60")
        self.assertEqual(0, res.returncode, res.stderr)
        self.assertEqual(keys, list(obj))
        self.assertEqual(("applied", "modify", "", "reply", None, 0),
                         (obj["result"], obj["command"], obj["reason"], obj["confirmed_by"],
                          obj["confirm_ms"], obj["ack_flag"]))
        self.assertEqual((DEV_MAC, CAM_IP, "eth0"),
                         (obj["device"]["mac"], obj["device"]["ip"], obj["device"]["interface"]))
        self.assertEqual((CAM_IP, "10.88.0.60"), (obj["old"]["ip"], obj["new"]["ip"]))
        for key in ("netmask", "gateway", "mode", "media_port", "web_port"):
            self.assertEqual(obj["old"][key], obj["new"][key], key)
        self.assertEqual("", res.stderr)
        self.assertTrue(wait_for(lambda: self.cam.reloads() == reloads + 1, SETTLE_S))
        self.assert_camera_at("10.88.0.60")
        self.move(DEV_MAC, CAM_IP)

        res, obj = self.assert_nothing_changed(lambda: self.ds_json(
            "modify", DEV_MAC, "--user", USER, "--password", "wrong", "--ip", "10.88.0.61"))
        self.assertEqual(1, res.returncode)
        self.assertEqual(("no_reply", "", None), (obj["result"], obj["confirmed_by"],
                                                  obj["ack_flag"]))
        self.assertEqual(NO_REPLY, "devsearch: " + obj["reason"])
        self.assertEqual("10.88.0.61", obj["new"]["ip"])
        self.assertEqual(NO_REPLY + "\n", res.stderr)

        before = self.modify_requests()
        res, obj = self.ds_json("modify", "02-C5-00-00-00-99", "--user", USER, "--password",
                                PASSWORD, "--ip", "10.88.0.62")
        self.assertEqual(1, res.returncode)
        self.assertEqual(("refused_locally", None, None, None),
                         (obj["result"], obj["device"], obj["old"], obj["new"]))
        self.assertIn("not found", obj["reason"])
        res, obj = self.ds_json("modify", DEV_MAC, "--user", USER, "--password", PASSWORD,
                                "--ip", "10.88.0.255")  # the subnet's broadcast address
        self.assertEqual(1, res.returncode)
        self.assertEqual(("refused_locally", DEV_MAC, None),
                         (obj["result"], obj["device"]["mac"], obj["new"]))
        self.assertEqual(before, self.modify_requests())

        res, obj = self.ds_json("set-mac", CAM_IP, "02:c5:00:00:be:e0", "--user", USER,
                                "--password", PASSWORD)
        self.assertEqual(0, res.returncode, res.stderr)
        self.assertEqual(("applied", "set-mac", {"mac": DEV_MAC}, {"mac": "02-C5-00-00-BE-E0"}),
                         (obj["result"], obj["command"], obj["old"], obj["new"]))
        self.assertTrue(wait_for(lambda: self.cam.settings()["macaddr"] == "02:C5:00:00:BE:E0",
                                 SETTLE_S), self.cam.settings())
        res = self.ds("set-mac", "02-C5-00-00-BE-E0", MAC, "--user", USER, "--password",
                      PASSWORD, *WAIT)
        self.assertEqual(0, res.returncode, res.stderr)
        self.assertTrue(wait_for(lambda: self.cam.settings()["macaddr"] == MAC, SETTLE_S))

    def test_every_message_carries_the_program_name(self):
        runs = [
            ("search", "--interface", "lo", *WAIT),
            ("modify", "02-C5-00-00-00-98", "--user", USER, "--password", PASSWORD, "--ip",
             "10.88.0.63", *WAIT),
            ("modify", DEV_MAC, "--bogus"),
            ("frobnicate",),
        ]
        for args in runs:
            with self.subTest(args=args):
                res = self.ds(*args)
                self.assertNotEqual(0, res.returncode)
                lines = res.stderr.splitlines()
                self.assertTrue(lines)
                for line in lines:
                    self.assertTrue(line.startswith("devsearch: "), line)
        res = self.ds("--version")
        self.assertEqual((0, ""), (res.returncode, res.stderr))
        self.assertRegex(res.stdout, r"^devsearch \d+\.\d+\.\d+\n$")

    # -- refusals -------------------------------------------------------------------
    def assert_nothing_changed(self, run):
        text, reloads = self.cam.settings_text(), self.cam.reloads()
        res = run()
        time.sleep(0.2)
        self.assertEqual(text, self.cam.settings_text())
        self.assertEqual(reloads, self.cam.reloads())
        self.assertIn("%s/%d" % (CAM_IP, PREFIX), self.cam.live_addresses())
        return res

    def test_wrong_password_changes_nothing(self):
        for pwd in ("wrong", "", "12345"):
            res = self.assert_nothing_changed(lambda: self.ds(
                "modify", DEV_MAC, "--user", USER, "--password", pwd, "--ip", "10.88.0.40",
                *WAIT))
            self.assertEqual(1, res.returncode, pwd)
            self.assertEqual(NO_REPLY + "\n", res.stderr.splitlines(True)[-1])
        res = self.assert_nothing_changed(lambda: self.ds(
            "set-mac", DEV_MAC, "02:c5:00:00:00:77", "--user", "nobody", "--password",
            PASSWORD, *WAIT))
        self.assertEqual(1, res.returncode)
        self.assertIn(NO_REPLY, res.stderr)

    def test_password_from_standard_input(self):
        res = self.assert_nothing_changed(lambda: self.ds(
            "modify", DEV_MAC, "--user", USER, "--password", "-", "--ip", "10.88.0.41", *WAIT,
            input="wrong\n"))
        self.assertEqual(1, res.returncode)
        self.move(DEV_MAC, "10.88.0.42")
        reloads = self.cam.reloads()
        res = self.ds("modify", DEV_MAC, "--user", USER, "--password", "-", "--ip", CAM_IP,
                      *WAIT, input=PASSWORD + "\n")
        self.assertEqual(0, res.returncode, res.stderr + self.cam.discovery_log()[-3000:])
        self.assertTrue(wait_for(lambda: self.cam.reloads() == reloads + 1, SETTLE_S))
        self.assert_camera_at(CAM_IP)

    def test_unreachable_or_absent_device(self):
        res = self.ds("modify", "02-C5-00-00-00-99", "--user", USER, "--password", PASSWORD,
                      "--ip", "10.88.0.50", *WAIT)
        self.assertEqual(1, res.returncode)
        self.assertIn("not found", res.stderr)
        # The camera answers searches with its live address, but its stored address
        # differs, so no request for the live one matches: no reply, nothing applied.
        good = self.cam.settings_text()
        with open(os.path.join(self.cam_host.mivor, "network.ini"), "w") as f:
            f.write(good.replace("ipaddr=" + CAM_IP, "ipaddr=10.88.0.99"))
        try:
            reloads = self.cam.reloads()
            res = self.ds("modify", DEV_MAC, "--user", USER, "--password", PASSWORD, "--ip",
                          "10.88.0.51", *WAIT)
            self.assertEqual(1, res.returncode, res.stdout)
            self.assertIn(NO_REPLY, res.stderr)
            self.assertEqual(reloads, self.cam.reloads())
        finally:
            with open(os.path.join(self.cam_host.mivor, "network.ini"), "w") as f:
                f.write(good)

    def test_invalid_values_never_leave_the_tool(self):
        before = self.modify_requests()
        cases = [
            ("modify", DEV_MAC, "--ip", "10.88.0.255"),      # broadcast of its subnet
            ("modify", DEV_MAC, "--ip", "10.88.1.5"),        # gateway left in the old subnet
            ("modify", DEV_MAC, "--ip", "127.0.0.1", "--mask", "255.0.0.0"),
            ("modify", DEV_MAC, "--ip", "10.88.0.300"),
            ("modify", DEV_MAC, "--mask", "255.0.255.0"),
            ("set-mac", DEV_MAC, "01:00:5e:00:00:01"),
            ("set-mac", DEV_MAC, "00:00:00:00:00:00"),
            ("modify", DEV_MAC, "--web-port", "0"),
        ]
        for case in cases:
            with self.subTest(case=case):
                res = self.assert_nothing_changed(lambda: self.ds(
                    *case, "--user", USER, "--password", PASSWORD, *WAIT))
                self.assertNotEqual(0, res.returncode)
                self.assertTrue(res.stderr.strip(), "a refusal says why")
        self.assertEqual(before, self.modify_requests())


if __name__ == "__main__":
    unittest.main()
