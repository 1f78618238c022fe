# SPDX-License-Identifier: MIT
"""tools/python as a distribution: it installs offline into a fresh virtual
environment (Debian's setuptools, no index), gives `import camdisco` and the
`camdisco` command there, and the package and its examples pass `mypy --strict`
for the oldest Python it supports. Needs python3-venv and mypy (install-deps)."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                      "python")
# The system's interpreter: its site packages hold Debian's setuptools and wheel.
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable


def run(argv, **kw):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          timeout=300, **kw)


class PackageTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="camdisco-pkg-")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_installs_offline_into_a_fresh_environment(self):
        # a copy: building writes build/ and egg-info beside the sources
        src = os.path.join(self.tmp, "src")
        shutil.copytree(SOURCE, src, ignore=shutil.ignore_patterns("__pycache__"))
        venv = os.path.join(self.tmp, "venv")
        res = run([PYTHON, "-m", "venv", "--system-site-packages", venv])
        self.assertEqual(0, res.returncode, res.stdout)
        res = run([os.path.join(venv, "bin", "pip"), "install", "--no-build-isolation",
                   "--no-index", "--no-cache-dir", "--disable-pip-version-check", src])
        self.assertEqual(0, res.returncode, res.stdout)
        env = {"PATH": "/usr/bin:/bin", "HOME": self.tmp}   # no PYTHONPATH: the installed copy
        res = run([os.path.join(venv, "bin", "python"), "-c",
                   "import camdisco, os; print(os.path.dirname(camdisco.__file__)); "
                   "print(camdisco.__version__, len(camdisco.search.__annotations__))"],
                  cwd=self.tmp, env=env)
        self.assertEqual(0, res.returncode, res.stdout)
        where, facts = res.stdout.splitlines()
        self.assertTrue(where.startswith(venv), where)
        self.assertTrue(os.path.exists(os.path.join(where, "py.typed")))
        res = run([os.path.join(venv, "bin", "camdisco"), "--version"], env=env)
        self.assertEqual((0, "camdisco %s\n" % facts.split()[0]), (res.returncode, res.stdout))
        res = run([os.path.join(venv, "bin", "camdisco"), "apply", "--help"], env=env)
        self.assertEqual(0, res.returncode, res.stdout)
        self.assertIn("--dry-run", res.stdout)
        # the installers' page: its command, and its files shipped inside the package
        res = run([os.path.join(venv, "bin", "camdisco"), "web", "--help"], env=env)
        self.assertEqual(0, res.returncode, res.stdout)
        self.assertIn("--listen ADDR:PORT", res.stdout)
        static = os.path.join(where, "web", "static")
        self.assertEqual(["app.js", "index.html", "style.css"], sorted(os.listdir(static)))

    def test_typed_for_mypy_strict(self):
        mypy = shutil.which("mypy")
        self.assertIsNotNone(mypy, "mypy is not installed (bash scripts/install-deps.sh)")
        res = run([mypy, "--strict", "--python-version", "3.9", "--no-error-summary",
                   "--cache-dir", os.path.join(self.tmp, "cache"), "camdisco", "examples"],
                  cwd=SOURCE)
        self.assertEqual((0, ""), (res.returncode, res.stdout))


if __name__ == "__main__":
    unittest.main()
