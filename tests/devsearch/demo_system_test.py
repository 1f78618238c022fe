# SPDX-License-Identifier: MIT
"""The demo driver as CI runs it: every step must pass, with the programs of this build."""

import os
import subprocess
import sys
import unittest


class Demo(unittest.TestCase):
    def test_demo_passes_every_step(self):
        script = os.path.join(os.environ["CAM_SOURCE_DIR"], "scripts", "demo.py")
        res = subprocess.run([sys.executable, script], stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True, timeout=240)
        sys.stdout.write(res.stdout)
        self.assertEqual(0, res.returncode, res.stdout)
        self.assertIn("all 8 steps passed", res.stdout)
        self.assertNotIn("FAILED", res.stdout)


if __name__ == "__main__":
    unittest.main()
