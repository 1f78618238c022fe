# SPDX-License-Identifier: MIT
"""Every source, script and build file of the project starts with its license
line, "SPDX-License-Identifier: MIT" in the file's comment syntax: on the
first line, or on the second after a "#!" line. Data (fuzz corpora), docs and
the build directories are not looked at."""

import os
import unittest

SRC = os.environ["CAM_SOURCE_DIR"]
TAG = "SPDX-License-Identifier: MIT"
SUFFIXES = (".cpp", ".h", ".c", ".py", ".sh", ".lua", ".cmake", ".in", ".mk", ".bb",
            ".bbappend", ".conf", ".desc", ".1", ".8")
NAMES = ("CMakeLists.txt", "Config.in")


def project_files():
    for dirpath, dirnames, filenames in os.walk(SRC):
        rel = os.path.relpath(dirpath, SRC)
        dirnames[:] = [d for d in dirnames
                       if not (d == ".git" or d == "__pycache__" or "corpus" in d
                               or (rel == "." and d.startswith("build")))]
        for name in filenames:
            path = os.path.join(dirpath, name)
            if name.endswith(SUFFIXES) or name in NAMES:
                yield path
                continue
            try:
                with open(path, "rb") as f:
                    if f.read(2) == b"#!":
                        yield path   # a script without a suffix (.ci/run)
            except OSError:
                pass


class LicenseLines(unittest.TestCase):
    def test_every_project_file_starts_with_its_license_line(self):
        missing, seen = [], 0
        for path in project_files():
            seen += 1
            with open(path, errors="replace") as f:
                head = [f.readline() for _ in range(2)]
            line = head[1] if head[0].startswith("#!") else head[0]
            if TAG not in line:
                missing.append(os.path.relpath(path, SRC))
        self.assertGreater(seen, 100, "the walk found almost nothing in " + SRC)
        self.assertEqual(sorted(missing), [])


if __name__ == "__main__":
    unittest.main()
