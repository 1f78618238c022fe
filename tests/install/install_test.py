# SPDX-License-Identifier: MIT
"""`DESTDIR=<root> cmake --install <build>`: a camera root file system fragment.

The build under test is CAM_BUILD_DIR (configured with the prefix /usr). What
it was built with comes from the environment: CAM_INSTALL_PROGRAMS (the
programs it has), CAM_INSTALL_TOOLS, CAM_CGI_DIR, CAM_INIT, CAM_INIT_NAME,
CAM_SYSTEMD_UNIT_DIR, CAM_INSTALL_MAN, CAM_CROSSCOMPILING.
"""

import filecmp
import os
import shutil
import stat
import subprocess
import tempfile
import unittest

BUILD = os.environ["CAM_BUILD_DIR"]
SOURCE = os.environ["CAM_SOURCE_DIR"]
CMAKE = os.environ.get("CAM_CMAKE", "cmake")


def flag(name, default="OFF"):
    return os.environ.get(name, default).upper() in ("ON", "1", "TRUE", "YES", "Y")


PROGRAMS = set(filter(None, os.environ.get("CAM_INSTALL_PROGRAMS", "").split(",")))
TOOLS = flag("CAM_INSTALL_TOOLS")
MAN = flag("CAM_INSTALL_MAN", "ON")
CROSS = flag("CAM_CROSSCOMPILING")
CGI_DIR = os.environ.get("CAM_CGI_DIR", "/var/www/cgi-bin").strip("/")
INIT = set(os.environ.get("CAM_INIT", "sysv").split(","))
INIT_NAME = os.environ.get("CAM_INIT_NAME", "S50devfinder")
UNIT_DIR = os.environ.get("CAM_SYSTEMD_UNIT_DIR", "/usr/lib/systemd/system").strip("/")


def expected_files():
    """Path in the root -> (mode, the file it must equal, in the build or the sources)."""
    files = {}
    if "devfinder" in PROGRAMS:
        files["usr/sbin/devfinder"] = (0o755, os.path.join(BUILD, "bin/devfinder"))
        if "sysv" in INIT:
            files["etc/init.d/" + INIT_NAME] = (0o755, os.path.join(BUILD, "init.d", INIT_NAME))
        if "systemd" in INIT:
            files[UNIT_DIR + "/devfinder.service"] = (
                0o644, os.path.join(BUILD, "systemd/devfinder.service"))
        if MAN:
            files["usr/share/man/man8/devfinder.8"] = (
                0o644, os.path.join(SOURCE, "devfinder/devfinder.8"))
    if "stillcgi" in PROGRAMS:
        files[CGI_DIR + "/stillcgi"] = (0o755, os.path.join(BUILD, "bin/stillcgi"))
        if MAN:
            files["usr/share/man/man8/stillcgi.8"] = (
                0o644, os.path.join(SOURCE, "stillcgi/stillcgi.8"))
    if TOOLS:
        files["usr/bin/devsearch"] = (0o755, os.path.join(BUILD, "bin/devsearch"))
        files["usr/bin/zozid"] = (0o755, os.path.join(BUILD, "bin/zozid"))
        if MAN:
            files["usr/share/man/man1/devsearch.1"] = (
                0o644, os.path.join(SOURCE, "tools/devsearch/devsearch.1"))
    return files


def tree(root):
    """Every entry under root: relative path -> lstat result."""
    found = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            found[os.path.relpath(path, root)] = os.lstat(path)
    return found


class InstallLayout(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="cam-install-")
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)

    def install(self, root, *args):
        env = dict(os.environ, DESTDIR=root)
        return subprocess.run([CMAKE, "--install", BUILD] + list(args), env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              timeout=60)

    def test_staging_root_holds_exactly_the_camera_files(self):
        root = os.path.join(self.tmp, "root with space")
        res = self.install(root)
        self.assertEqual(res.returncode, 0, res.stdout)
        want = expected_files()
        self.assertTrue(want, "nothing to install: no program in this build")
        got = tree(root)
        files = {p: st for p, st in got.items() if not stat.S_ISDIR(st.st_mode)}
        self.assertEqual(sorted(files), sorted(want))
        for path, (mode, built) in want.items():
            st = files[path]
            self.assertTrue(stat.S_ISREG(st.st_mode), path)
            self.assertEqual(oct(stat.S_IMODE(st.st_mode)), oct(mode), path)
            self.assertTrue(filecmp.cmp(os.path.join(root, path), built, shallow=False),
                            path + " differs from " + built)
        # No directory that holds nothing installed.
        parents = {os.path.dirname(p) for p in want}
        on_the_way = set()
        for p in parents:
            while p:
                on_the_way.add(p)
                p = os.path.dirname(p)
        self.assertEqual(sorted(p for p, st in got.items() if stat.S_ISDIR(st.st_mode)),
                         sorted(on_the_way))

    @unittest.skipUnless("devfinder" in PROGRAMS and "sysv" in INIT, "no init script here")
    def test_init_script_names_the_installed_daemon(self):
        res = self.install(self.tmp)
        self.assertEqual(res.returncode, 0, res.stdout)
        script = os.path.join(self.tmp, "etc/init.d", INIT_NAME)
        with open(script) as f:
            lines = f.read().splitlines()
        self.assertEqual(lines[0], "#!/bin/sh")
        self.assertIn("DAEMON=/usr/sbin/devfinder", lines)
        busybox = shutil.which("busybox")
        if busybox:   # parses under BusyBox ash
            res = subprocess.run([busybox, "sh", "-n", script], stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, text=True, timeout=30)
            self.assertEqual(res.returncode, 0, res.stdout)

    def test_reinstall_over_an_existing_root_keeps_the_layout(self):
        for _ in range(2):
            res = self.install(self.tmp)
            self.assertEqual(res.returncode, 0, res.stdout)
        got = {p for p, st in tree(self.tmp).items() if not stat.S_ISDIR(st.st_mode)}
        self.assertEqual(sorted(got), sorted(expected_files()))


class InstallGuard(unittest.TestCase):
    """An install without DESTDIR would put the init files and the CGI on the
    build machine when --prefix differs from the configured one, and every
    program of a cross build; the install stops first. The guard runs on its
    own here, so a broken guard cannot write outside the test's files. A
    native build's guard is asked as a cross build's would be
    (CAM_GUARD_CROSSCOMPILING); a cross build's is run as configured."""

    GUARD = os.path.join(BUILD, "cam_install_guard.cmake")

    def guard(self, prefix, destdir, cross=None, allow=None):
        env = dict(os.environ)
        env.pop("DESTDIR", None)
        if destdir is not None:
            env["DESTDIR"] = destdir
        args = [CMAKE, "-DCMAKE_INSTALL_PREFIX=" + prefix]
        if cross is not None:
            args.append("-DCAM_GUARD_CROSSCOMPILING=" + cross)
        if allow is not None:
            args.append("-DCAM_GUARD_WITHOUT_DESTDIR=" + allow)
        return subprocess.run(args + ["-P", self.GUARD], env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, timeout=60)

    def test_other_prefix_without_destdir_is_refused(self):
        with tempfile.TemporaryDirectory() as tmp:
            res = self.guard(tmp, None, cross="FALSE")
            self.assertNotEqual(res.returncode, 0, res.stdout)
            self.assertIn("DESTDIR=", res.stdout)
            self.assertEqual(os.listdir(tmp), [])

    def test_cross_build_without_destdir_is_refused(self):
        res = self.guard("/usr", None, cross=None if CROSS else "TRUE")
        self.assertNotEqual(res.returncode, 0, res.stdout)
        self.assertIn("cross build", res.stdout)
        self.assertIn("DESTDIR=<root> cmake --install", res.stdout)
        for empty in ("", None):   # DESTDIR= counts as none
            with self.subTest(destdir=empty):
                self.assertNotEqual(self.guard("/usr", empty, cross="TRUE").returncode, 0)

    def test_staging_root_configured_prefix_or_explicit_consent_pass(self):
        with tempfile.TemporaryDirectory() as tmp:
            cases = [("/usr", tmp, None), (tmp, tmp, None), ("/usr", tmp, "TRUE"),
                     ("/usr", None, "FALSE")]
            for prefix, destdir, cross in cases:
                with self.subTest(prefix=prefix, destdir=destdir, cross=cross):
                    res = self.guard(prefix, destdir, cross=cross)
                    self.assertEqual(res.returncode, 0, res.stdout)
            res = self.guard("/usr", None, cross="TRUE", allow="ON")
            self.assertEqual(res.returncode, 0, res.stdout)

    def test_install_runs_the_guard_before_anything_else(self):
        # Checked in the generated install script: running the install with a
        # refused --prefix for real could write to this machine if it failed.
        with open(os.path.join(BUILD, "cmake_install.cmake")) as f:
            steps = [line.strip() for line in f
                     if line.strip().startswith(("include(", "file(INSTALL"))]
        self.assertTrue(steps, "the install does nothing")
        self.assertIn("cam_install_guard.cmake", steps[0])

if __name__ == "__main__":
    unittest.main()
