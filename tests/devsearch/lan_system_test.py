# SPDX-License-Identifier: MIT
"""Fifty simulated cameras on one bridge with an installer host: one search finds every
camera at its own address, and an extended-form modification (a broadcast that every
camera receives) changes only the camera it names."""

import time
import unittest

from camsandbox import Sandbox, wait_for
from camlan import CameraLan, parse_json_lines

CAMERAS = 50
# Fifty daemons share the machine's CPUs with whatever else runs on it: a camera may
# answer seconds late. The waits are bounds, not expectations; a quick LAN ends the
# modification at its reply, and only searches wait their whole time.
SEARCH_S, MODIFY_S, SETTLE_S = "10", "20", 30
# Bound of one devsearch run as a process. Once, in a loaded run, a 10 s search
# had not ended after 60 s; the bound is wide so that a stall shows as one.
RUN_S = 180


class LanOfCameras(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sb = Sandbox()
        try:
            cls.lan = CameraLan(cls.sb, CAMERAS)
            cls.lan.start(timeout=60)
        except Exception:
            cls.sb.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.sb.close()

    def search(self):
        res = self.lan.devsearch("search", "--json", "--timeout", SEARCH_S, timeout=RUN_S)
        self.assertEqual(0, res.returncode, res.stderr)
        return parse_json_lines(res.stdout)

    def test_one_search_finds_every_camera_at_its_address(self):
        devs = self.search()
        by_mac = self.lan.by_mac()
        self.assertEqual(sorted(by_mac), sorted(d["mac"] for d in devs))
        for d in devs:
            cam = by_mac[d["mac"]]
            self.assertEqual(cam.settings()["ipaddr"], d["ip"], d["mac"])
            self.assertEqual("255.255.0.0", d["netmask"])
            self.assertEqual("eth0", d["interface"])

    def test_broadcast_modification_changes_only_its_camera(self):
        target = self.lan.cameras[17]
        others = [c for c in self.lan.cameras if c is not target]
        before = {c.host.name: (c.settings_text(), c.reloads()) for c in others}
        new_ip = "10.60.7.17"
        dev_mac = target.mac.replace(":", "-")
        res = self.lan.devsearch("modify", dev_mac, "--user", "admin", "--password", "1234",
                                 "--ip", new_ip, "--timeout", MODIFY_S, timeout=RUN_S)
        self.assertEqual(0, res.returncode, res.stderr)
        self.assertTrue(wait_for(lambda: target.settings()["ipaddr"] == new_ip, SETTLE_S))
        self.assertTrue(wait_for(lambda: "%s/16" % new_ip in target.live_addresses(), SETTLE_S))
        time.sleep(0.3)
        changed = [c.host.name for c in others
                   if (c.settings_text(), c.reloads()) != before[c.host.name]]
        self.assertEqual([], changed)
        # every camera saw the broadcast; the others logged that it was not for them
        saw = sum("MSG_TYPE_MDEVINFO" in c.discovery_log() for c in others)
        self.assertEqual(len(others), saw)
        devs = {d["mac"]: d["ip"] for d in self.search()}
        self.assertEqual(CAMERAS, len(devs))
        self.assertEqual(new_ip, devs[dev_mac])


if __name__ == "__main__":
    unittest.main()
