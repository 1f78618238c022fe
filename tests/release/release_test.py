# SPDX-License-Identifier: MIT
"""What goes out with a release, checked against the build and the sources:

- the man pages render without warnings (groff -ww), and every option a
  program's --help names is in its page (read from --help at test time, so a
  new option without its page fails here);
- devfinder's --help/--version/usage and exit statuses; the version is the
  CMake project's (CAM_VERSION) and is the newest in CHANGELOG.md;
- the recipes in contrib/ name this version and the checksums of LICENSE.
"""

import hashlib
import os
import re
import shutil
import subprocess
import unittest

SRC = os.environ["CAM_SOURCE_DIR"]
BIN = os.environ["CAM_BIN_DIR"]
VERSION = os.environ["CAM_VERSION"]

PAGES = {"devfinder": "devfinder/devfinder.8", "stillcgi": "stillcgi/stillcgi.8",
         "devsearch": "tools/devsearch/devsearch.1"}
OPTION = re.compile(r"(?<![\w-])--[a-z0-9][a-z0-9-]*")


def run(args, timeout=20):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          timeout=timeout)


def page_text(path):
    """The page's source with hyphen escapes and font changes undone."""
    with open(os.path.join(SRC, path)) as f:
        text = f.read()
    text = re.sub(r"\\f(\[[^]]*\]|\(..|.)", "", text)
    return text.replace("\\-", "-").replace("\\c", "")


class ManPages(unittest.TestCase):
    def test_pages_render_without_warnings(self):
        groff = shutil.which("groff")
        self.assertIsNotNone(groff, "groff is missing (scripts/install-deps.sh installs it)")
        for program, path in PAGES.items():
            with self.subTest(page=path):
                res = run([groff, "-ww", "-z", "-man", "-Tutf8", os.path.join(SRC, path)])
                self.assertEqual((res.returncode, res.stderr), (0, ""))

    def test_every_option_of_help_is_in_the_page(self):
        checked = 0
        for program in ("devfinder", "devsearch"):
            binary = os.path.join(BIN, program)
            if not os.path.exists(binary):
                continue   # devsearch comes with CAM_TOOLS only
            with self.subTest(program=program):
                res = run([binary, "--help"])
                self.assertEqual(res.returncode, 0, res.stderr)
                options = set(OPTION.findall(res.stdout))
                self.assertIn("--help", options)
                text = page_text(PAGES[program])
                missing = sorted(o for o in options
                                 if not re.search(r"(?<![\w-])%s(?![\w-])" % re.escape(o), text))
                self.assertEqual(missing, [], "options of %s --help missing from %s"
                                 % (program, PAGES[program]))
                checked += 1
        self.assertGreater(checked, 0, "no program in " + BIN)


class Version(unittest.TestCase):
    DEVFINDER = os.path.join(BIN, "devfinder")

    @unittest.skipUnless(os.path.exists(DEVFINDER), "no devfinder in this build")
    def test_devfinder_arguments(self):
        # A daemon that started instead would not end: the bound catches it.
        res = run([self.DEVFINDER, "--version"])
        self.assertEqual((res.returncode, res.stdout, res.stderr),
                         (0, "devfinder %s\n" % VERSION, ""))
        res = run([self.DEVFINDER, "--help"])
        self.assertEqual((res.returncode, res.stderr), (0, ""))
        self.assertTrue(res.stdout.startswith("usage: devfinder"), res.stdout)
        for args in (["-h"], ["--help", "x"], ["--version", "--help"], ["help"], [""]):
            with self.subTest(args=args):
                res = run([self.DEVFINDER] + args)
                self.assertEqual((res.returncode, res.stdout), (2, ""))
                self.assertIn("usage: devfinder", res.stderr)

    def test_changelog_starts_with_this_version(self):
        with open(os.path.join(SRC, "CHANGELOG.md")) as f:
            versions = re.findall(r"^## (\S+)", f.read(), re.M)
        self.assertTrue(versions, "no version in CHANGELOG.md")
        self.assertEqual(versions[0], VERSION)


class Recipes(unittest.TestCase):
    def read(self, path):
        with open(os.path.join(SRC, path), "rb") as f:
            return f.read()

    def test_recipes_name_this_version_and_the_license(self):
        license_text = self.read("LICENSE")
        mk = self.read("contrib/buildroot/package/devfinder/devfinder.mk").decode()
        self.assertRegex(mk, r"(?m)^DEVFINDER_VERSION = %s$" % re.escape(VERSION))
        digest = self.read("contrib/buildroot/package/devfinder/devfinder.hash").decode()
        self.assertRegex(digest, r"(?m)^sha256  %s  LICENSE$"
                         % hashlib.sha256(license_text).hexdigest())
        bb = "contrib/yocto/recipes-connectivity/devfinder/devfinder_%s.bb" % VERSION
        self.assertTrue(os.path.exists(os.path.join(SRC, bb)), bb + " is missing")
        self.assertIn("file://LICENSE;md5=%s" % hashlib.md5(license_text).hexdigest(),
                      self.read(bb).decode())


if __name__ == "__main__":
    unittest.main()
