# SPDX-License-Identifier: MIT
"""scripts/camlan.py takes the programs of whichever build holds them, and without one says
where it looked and how to build (no root needed: it stops before the sandbox)."""

import os
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

import cameras

LIB = os.path.dirname(os.path.abspath(cameras.__file__))
SCRIPTS = os.path.join(os.path.dirname(os.path.dirname(LIB)), "scripts")


class CamlanFindsTheBuild(unittest.TestCase):
    def setUp(self):
        self.src = tempfile.mkdtemp(prefix="camlan-")
        self.addCleanup(shutil.rmtree, self.src, ignore_errors=True)

    def make_build(self, name, programs=cameras.NEEDED_PROGRAMS):
        bin_dir = os.path.join(self.src, "build", name, "bin")
        os.makedirs(bin_dir)
        for prog in programs:
            path = os.path.join(bin_dir, prog)
            with open(path, "w") as f:
                f.write("#!/bin/sh\n")
            os.chmod(path, stat.S_IRWXU)
        return bin_dir

    def test_first_complete_build_wins(self):
        self.make_build("arm", ("devfinder",))            # no host tools there
        asan = self.make_build("asan")
        self.assertEqual((asan, None), cameras.find_bin_dir(self.src))
        demo = self.make_build("demo")
        self.assertEqual((demo, None), cameras.find_bin_dir(self.src))
        normal = self.make_build("normal")
        self.assertEqual((normal, None), cameras.find_bin_dir(self.src))

    def test_without_a_build_it_says_where_it_looked(self):
        self.make_build("arm", ("devfinder",))
        os.makedirs(os.path.join(self.src, "scripts"))
        shutil.copy(os.path.join(SCRIPTS, "camlan.py"), os.path.join(self.src, "scripts"))
        shutil.copytree(LIB, os.path.join(self.src, "tests", "lib"),
                        ignore=shutil.ignore_patterns("__pycache__"))
        env = {k: v for k, v in os.environ.items() if k != "CAM_BIN_DIR"}
        res = subprocess.run([sys.executable, os.path.join(self.src, "scripts", "camlan.py"),
                              "3"], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, timeout=60)
        self.assertEqual(1, res.returncode, res.stderr)
        for where in ("normal", "demo", "arm"):
            self.assertIn(os.path.join(self.src, "build", where, "bin"), res.stderr)
        self.assertIn("cmake -S . -B build/normal && cmake --build build/normal", res.stderr)
        self.assertNotIn("Traceback", res.stderr)


if __name__ == "__main__":
    unittest.main()
