# SPDX-License-Identifier: MIT
"""A root file system of the camera's own for one host of the sandbox: BusyBox
alone, as on a camera, for programs that must not see the build machine's
/etc, /var/run or tools (the init script).

    root = BusyBoxRoot(cam)                       # <cam.dir>/root, mounted in cam
    root.run(["/etc/init.d/S50devfinder", "start"])
    root.start(["syslogd", "-n"], name="syslogd")  # ended with the sandbox
"""

import os
import shutil

from camsandbox import BUSYBOX, SYSTEM_PATH, host_run


class BusyBoxRoot:
    """BusyBox is /bin/sh and every command (links in /bin, one per applet);
    /etc, /var/run, /var/log and /tmp are empty directories, /dev holds only
    null, /proc is the host's PID namespace and /mivor the host's own. The
    build machine's library directories are mounted read-only, so dynamically
    linked programs (BusyBox, the project's builds) run; none of them is on
    PATH. The mounts live in the host's mount namespace only and end with it."""

    PATH = "/bin:/sbin:/usr/bin:/usr/sbin"

    def __init__(self, host, name="root"):
        self.host = host
        self.path = os.path.join(host.dir, name)
        self._build()

    def _build(self):
        root = self.path
        for d in ("bin", "sbin", "usr/bin", "usr/sbin", "etc", "var/run", "var/log", "tmp",
                  "dev", "proc", "mivor"):
            os.makedirs(os.path.join(root, d), exist_ok=True)
        os.chmod(os.path.join(root, "tmp"), 0o1777)
        shutil.copy2(os.path.realpath(BUSYBOX), os.path.join(root, "bin", "busybox"))
        for applet in host_run([BUSYBOX, "--list"]).stdout.split():
            link = os.path.join(root, "bin", applet)
            if applet != "busybox" and not os.path.lexists(link):
                os.symlink("busybox", link)
        open(os.path.join(root, "dev", "null"), "w").close()
        mounts = []
        # Library directories as the build machine has them: a symlink stays a
        # symlink (merged /usr), a directory is bound read-only.
        for d in ("lib", "lib32", "lib64", "libx32", "usr/lib", "usr/lib32", "usr/lib64",
                  "usr/libx32"):
            host_path = "/" + d
            inside = os.path.join(root, d)
            if os.path.islink(host_path):
                os.symlink(os.readlink(host_path), inside)
            elif os.path.isdir(host_path):
                os.makedirs(inside, exist_ok=True)
                mounts.append("mount --bind '%s' '%s' && mount -o remount,bind,ro '%s'"
                              % (host_path, inside, inside))
        mounts.append("mount -t proc proc '%s/proc'" % root)
        mounts.append("mount --bind /dev/null '%s/dev/null'" % root)
        mounts.append("mount --bind '%s' '%s/mivor'" % (self.host.mivor, root))
        res = self.host.run(["sh", "-c", " && ".join(mounts)])
        if res.returncode != 0:
            raise RuntimeError("host %s: root %s not mounted: %s"
                               % (self.host.name, root, res.stderr))

    def argv(self, argv):
        """The command line that runs argv inside this root."""
        chroot = shutil.which("chroot", path=SYSTEM_PATH) or "/usr/sbin/chroot"
        return [chroot, self.path] + list(argv)

    def _env(self, env):
        full_env = {"PATH": self.PATH, "HOME": "/"}
        full_env.update(env or {})
        return full_env

    def run(self, argv, timeout=30, env=None):
        """Runs argv inside the root (PATH: the root's own directories only)."""
        return self.host.run(self.argv(argv), timeout=timeout, env=self._env(env))

    def start(self, argv, name=None, env=None):
        """Starts argv inside the root, like Host.start() (chroot execs the program)."""
        return self.host.start(self.argv(argv), name=name or os.path.basename(argv[0]),
                               env=self._env(env))
