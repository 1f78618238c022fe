# SPDX-License-Identifier: MIT
"""scripts/cross-sysroot.sh against a package index that fails, with fake
dpkg, apt-get and apt-cache first in PATH (no root, no network): a failed
update is tried again, a failed update that still brought the lists needed
does not stop the root, and an index that never comes is a failure."""

import os
import stat
import subprocess
import tempfile
import unittest

SCRIPT = os.path.join(os.environ["CAM_SOURCE_DIR"], "scripts", "cross-sysroot.sh")

# $FAKE_STATE/lists exists once the armhf lists are known; $FAKE_STATE/updates
# counts the index updates. FAKE_UPDATE: hiccup (the lists arrive, the update
# still fails, as when another mirror is down), fail-once, never.
FAKES = {
    "dpkg": """#!/bin/sh
case $1 in
--print-foreign-architectures) echo armhf ;;
-x) mkdir -p "$3/usr/lib" && : >"$3/usr/lib/${2##*/}" ;;
*) exit 2 ;;
esac
""",
    "apt-cache": """#!/bin/sh
[ -e "$FAKE_STATE/lists" ] || exit 100
case $1 in
show) echo "Package: ${2%%:*}" ;;
policy) echo "  Candidate: 3.2.19-1" ;;
esac
""",
    "apt-get": """#!/bin/sh
for arg; do last=$arg; done
case " $* " in
*" update "*)
    echo x >>"$FAKE_STATE/updates"
    n=$(wc -l <"$FAKE_STATE/updates")
    case $FAKE_UPDATE in
    hiccup) : >"$FAKE_STATE/lists"; exit 100 ;;
    fail-once) [ "$n" -ge 2 ] || exit 100; : >"$FAKE_STATE/lists" ;;
    *) exit 100 ;;
    esac ;;
*" download "*)
    for arg; do
        case $arg in *:armhf=*) : >"${arg%%:*}_3.2.19-1_armhf.deb" ;; esac
    done ;;
esac
""",
    "id": "#!/bin/sh\nexit 1\n",   # no _apt user to hand the download directory to
}


class CrossSysrootIndex(unittest.TestCase):
    def run_script(self, update):
        tmp = tempfile.mkdtemp(prefix="cam-sysroot-")
        self.addCleanup(subprocess.run, ["rm", "-rf", tmp])
        bindir, state = os.path.join(tmp, "bin"), os.path.join(tmp, "state")
        os.mkdir(bindir)
        os.mkdir(state)
        for name, text in FAKES.items():
            path = os.path.join(bindir, name)
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, stat.S_IRWXU)
        env = dict(os.environ, PATH=bindir + ":" + os.environ["PATH"], FAKE_STATE=state,
                   FAKE_UPDATE=update, CROSS_SYSROOT_RETRY_PAUSE="0")
        root = os.path.join(tmp, "root")
        res = subprocess.run(["bash", SCRIPT, root], env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True, timeout=60)
        try:
            with open(os.path.join(state, "updates")) as f:
                updates = len(f.readlines())
        except FileNotFoundError:
            updates = 0
        return res, updates, root

    def test_failed_update_that_brought_the_lists_goes_on(self):
        res, updates, root = self.run_script("hiccup")
        self.assertEqual(res.returncode, 0, res.stdout)
        self.assertEqual(updates, 1)
        self.assertIn("going on", res.stdout)
        self.assertEqual(sorted(os.listdir(os.path.join(root, "usr/lib"))),
                         ["libcgicc-dev_3.2.19-1_armhf.deb", "libcgicc3_3.2.19-1_armhf.deb"])

    def test_failed_update_is_tried_again(self):
        res, updates, root = self.run_script("fail-once")
        self.assertEqual(res.returncode, 0, res.stdout)
        self.assertEqual(updates, 2)
        self.assertTrue(os.path.exists(os.path.join(root, ".packages")))

    def test_index_that_never_comes_is_a_failure(self):
        res, updates, root = self.run_script("never")
        self.assertNotEqual(res.returncode, 0, res.stdout)
        self.assertEqual(updates, 3)
        self.assertIn("failed 3 times", res.stdout)
        self.assertFalse(os.path.exists(root))


if __name__ == "__main__":
    unittest.main()
