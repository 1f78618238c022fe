# SPDX-License-Identifier: MIT
"""The README's commands work as written.

Every fenced sh/bash block of README.md carries a marker in the line before it
(blank lines between allowed): `<!-- ci: run -->` runs here, verbatim, in the
source directory as root, in README order; `<!-- ci: skip (why) -->` does not
(a build of its own, a cross build, the suite itself). The demo blocks use the
programs of the build under test (CAM_BIN_DIR, which the demo honours) and a
state file of this test's own. After `scripts/demo.sh --keep` the commands the
demo printed are run too, exactly as printed."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

SOURCE = os.environ.get("CAM_SOURCE_DIR",
                        os.path.dirname(os.path.dirname(os.path.dirname(
                            os.path.abspath(__file__)))))
MARKER = re.compile(r"^<!-- ci: (run|skip)\b.*-->\s*$")
FENCE = re.compile(r"^```(\S*)\s*$")


def readme_blocks(text):
    """[(line number, language, marker or None, body)] of every fenced block."""
    lines = text.splitlines()
    blocks = []
    i = 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        start, lang = i, m.group(1)
        j = start - 1
        while j >= 0 and not lines[j].strip():
            j -= 1
        mark = MARKER.match(lines[j]) if j >= 0 else None
        end = start + 1
        while end < len(lines) and not lines[end].startswith("```"):
            end += 1
        blocks.append((start + 1, lang, mark.group(1) if mark else None,
                       "\n".join(lines[start + 1:end]) + "\n"))
        i = end + 1
    return blocks


class ReadmeCommands(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(os.path.join(SOURCE, "README.md")) as f:
            cls.blocks = readme_blocks(f.read())
        cls.shell = [b for b in cls.blocks if b[1] in ("sh", "bash")]

    def test_every_shell_block_is_marked_and_needs_no_sudo(self):
        self.assertTrue(self.shell)
        for line, _, mark, body in self.shell:
            self.assertIsNotNone(mark, "README.md:%d: block without a ci marker" % line)
            for cmd in body.splitlines():
                self.assertFalse(cmd.lstrip().startswith("sudo "), "README.md:%d: %s"
                                 % (line, cmd))
        self.assertIn("bash scripts/test.sh\n", [b[3] for b in self.shell])

    def run_block(self, line, body, env):
        res = subprocess.run(["bash", "-euo", "pipefail", "-c", body], cwd=SOURCE, env=env,
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True, timeout=400)
        print("--- README.md:%d (exit %d)\n%s%s" % (line, res.returncode, body, res.stdout))
        self.assertEqual(0, res.returncode, "README.md:%d:\n%s%s" % (line, body, res.stdout))
        return res.stdout

    def run_printed(self, out, env):
        """The hand commands a kept demo printed, as printed (tshark only when installed
        along with the dissector)."""
        hand = out[out.index("demo: run these"):]
        cmds = [ln[2:] for ln in hand.splitlines() if re.match(r"^  \S", ln)]
        self.assertTrue(any("devsearch search" in c for c in cmds), out)
        self.assertTrue(any(c.startswith("ip netns exec") and " curl " in c for c in cmds), out)
        plain = [c for c in cmds if "tshark" not in c and not c.endswith("; wait")]
        capture = [c for c in cmds if c not in plain]
        for cmd in plain:
            if "/devsearch " in cmd:
                # as printed, with a longer wait for answers: on a loaded machine the
                # camera's answer (a stored change, fsync'ed) can take seconds
                cmd += " --timeout 8"
            text = self.run_block(0, cmd + "\n", env)
            if " curl " in cmd:
                self.assertTrue(text.startswith("200 "), text)
            if " modify " in cmd:
                self.assertIn('"result":"applied"', text)
        lua = os.path.join(SOURCE, "tools", "wireshark", "devfinder.lua")
        if shutil.which("tshark") and os.path.exists(lua):
            self.assertEqual(3, len(capture), capture)
            capture = [c.replace("/devsearch search;", "/devsearch search --timeout 8;")
                       for c in capture]
            self.run_block(0, "\n".join(capture) + "\n", env)

    def test_runnable_blocks(self):
        runnable = [b for b in self.shell if b[2] == "run"]
        self.assertTrue(any("demo.sh --keep" in b[3] for b in runnable))
        tmp = tempfile.mkdtemp(prefix="readme-")
        env = dict(os.environ)
        env["CAM_DEMO_STATE"] = os.path.join(tmp, "demo.json")
        env["PATH"] = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
        try:
            for line, _, _, body in runnable:
                out = self.run_block(line, body, env)
                if "demo.sh --keep" in body:
                    self.run_printed(out, env)
            self.assertFalse(os.path.exists(env["CAM_DEMO_STATE"]), "the kept demo is gone")
        finally:
            if os.path.exists(env["CAM_DEMO_STATE"]):
                subprocess.run(["python3", os.path.join(SOURCE, "scripts", "demo.py"), "--down"],
                               env=env, timeout=120, check=False)
            shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
