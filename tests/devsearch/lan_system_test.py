# SPDX-License-Identifier: MIT
"""Fifty simulated cameras on one bridge with an installer host: one search finds every
camera at its own address and ends when the fiftieth answered, an extended-form
modification (a broadcast that every camera receives) changes only the camera it names,
and a site is re-addressed by a plan: assign, a dry run, apply (a row for a camera that is
missing and a camera with another password among them), the same plan with that camera's
password, then an edited search CSV."""

import csv
import io
import os
import sys
import time
import unittest

from camsandbox import Sandbox, wait_for
from cameras import CameraLan, camera_mac, parse_json_lines

CAMERAS = 50
OTHER_PASSWORD = 5            # this camera's account has another password
MISSING_MAC = "02-C5-99-99-99-99"
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
        cls.sb = Sandbox.for_test(cls)
        cls.lan = CameraLan(cls.sb, CAMERAS)
        cls.lan.cameras[OTHER_PASSWORD].password = "other"
        cls.lan.start(timeout=60)

    def search(self):
        # ends when the fiftieth camera answered (the wide timeout is only a bound)
        res = self.lan.devsearch("search", "--json", "--expect", str(CAMERAS), "--timeout", "60",
                                 timeout=RUN_S)
        self.assertEqual(0, res.returncode, res.stderr)
        self.assertIn("the search ended when the expected devices had answered", res.stderr)
        return parse_json_lines(res.stdout)

    def state(self):
        """Every camera's settings file and reload count."""
        return [(c.settings_text(), c.reloads()) for c in self.lan.cameras]

    def apply(self, path, *args):
        res = self.lan.devsearch("apply", path, "--json", "--timeout", SEARCH_S, *args,
                                 timeout=RUN_S)
        rows = parse_json_lines(res.stdout)
        return res, {r["mac"]: r for r in rows}, rows

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


    def test_site_readdressed_by_a_plan(self):
        before = {d["mac"]: d["ip"] for d in self.search()}
        # assign: sequential from .50, past the addresses cameras answer from already
        res = self.lan.devsearch("assign", "--from", "10.60.1.50", "--expect", str(CAMERAS),
                                 "--timeout", "60", timeout=RUN_S)
        self.assertEqual(0, res.returncode, res.stderr)
        plan = list(csv.reader(io.StringIO(res.stdout)))
        self.assertEqual(["mac", "ip"], plan[0])
        held, addr, want = set(before.values()), [10, 60, 1, 50], []
        for _ in sorted(before):
            while ".".join(map(str, addr)) in held:
                addr[3] += 1
            want.append(".".join(map(str, addr)))
            addr[3] += 1
        self.assertEqual(list(zip(sorted(before), want)), [tuple(r) for r in plan[1:]])
        path = os.path.join(self.lan.installer.dir, "site.csv")
        with open(path, "w") as f:
            f.write(res.stdout + MISSING_MAC + ",10.60.9.99\r\n")

        # a dry run sends nothing and changes nothing
        state, asked = self.state(), self.modify_requests()
        res, by_mac, _ = self.apply(path, "--dry-run")
        self.assertEqual(1, res.returncode, res.stderr)
        self.assertEqual("not_found", by_mac.pop(MISSING_MAC)["result"])
        self.assertEqual({"would_change"}, {r["result"] for r in by_mac.values()})
        self.assertEqual(state, self.state())
        self.assertEqual(asked, self.modify_requests())

        # apply: every camera changed and confirmed by a search, but the two it cannot
        wrong = self.lan.cameras[OTHER_PASSWORD]
        wrong_mac = camera_mac(OTHER_PASSWORD + 1).replace(":", "-")
        wrong_before = wrong.settings_text()
        started = time.monotonic()
        res, by_mac, rows = self.apply(path, "--user", "admin", "--password", "1234",
                                       "--wait-timeout", "30")
        print("apply of %d rows: %.1f s" % (len(rows), time.monotonic() - started),
              file=sys.stderr)
        self.assertEqual(1, res.returncode, res.stderr)
        self.assertEqual(CAMERAS + 1, len(rows), res.stdout)
        self.assertEqual("not_found", by_mac.pop(MISSING_MAC)["result"])
        self.assertEqual("no_reply", by_mac.pop(wrong_mac)["result"])
        self.assertEqual({("applied", "search")},
                         {(r["result"], r["confirmed_by"]) for r in by_mac.values()}, res.stdout)
        for cam in self.lan.cameras:
            mac = cam.mac.replace(":", "-")
            if mac in by_mac:
                self.assertEqual(by_mac[mac]["new"]["ip"], cam.settings()["ipaddr"], mac)
                self.assertIn(by_mac[mac]["new"]["ip"] + "/16", cam.live_addresses(), mac)
        self.assertEqual(wrong_before, wrong.settings_text())
        self.assertIn("%d applied, 1 no_reply, 1 not_found" % (CAMERAS - 1), res.stderr)
        # the same plan with that camera's password: it moves, the others are done already
        res, by_mac, _ = self.apply(path, "--user", "admin", "--password", "other",
                                    "--wait-timeout", "30")
        self.assertEqual(("applied", "search"), (by_mac[wrong_mac]["result"],
                                                 by_mac[wrong_mac]["confirmed_by"]), res.stdout)
        self.assertIn("1 applied, 1 not_found, %d unchanged" % (CAMERAS - 1), res.stderr)
        self.assertEqual(by_mac[wrong_mac]["new"]["ip"], wrong.settings()["ipaddr"])

        # an edited search CSV is a plan: one camera moves, the others hold their settings
        res = self.lan.installer.run_bytes([self.sb.binary("devsearch"), "search", "--csv",
                                            "--expect", str(CAMERAS), "--timeout", "60"],
                                           timeout=RUN_S)
        self.assertEqual(0, res.returncode, res.stderr)
        table = list(csv.DictReader(io.StringIO(res.stdout.decode(), newline="")))
        mover = table[3]
        text = res.stdout.decode().replace(mover["mac"] + ",static,", mover["mac"] + ",dhcp,")
        with open(path, "w", newline="") as f:
            f.write(text)
        res, by_mac, rows = self.apply(path, "--user", "admin", "--password", "1234",
                                       "--wait-timeout", "30")
        self.assertEqual(0, res.returncode, res.stderr + res.stdout)
        self.assertEqual(("applied", "search", "dhcp"),
                         (by_mac[mover["mac"]]["result"], by_mac[mover["mac"]]["confirmed_by"],
                          by_mac[mover["mac"]]["new"]["mode"]))
        del by_mac[mover["mac"]]
        self.assertEqual({"unchanged"}, {r["result"] for r in by_mac.values()})

    def modify_requests(self):
        return sum(c.discovery_log().count("MSG_TYPE_MDEVINFO") for c in self.lan.cameras)


if __name__ == "__main__":
    unittest.main()
