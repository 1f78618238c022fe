# SPDX-License-Identifier: MIT
"""The recipes in contrib/ replayed the way Buildroot and Yocto run them.

Neither tool runs offline, so each replay does what the tool would do with
the recipe: a staging root shaped like theirs (non-multiarch usr/lib, cgicc as
a shared library only, no libcgicc.a), a toolchain file in their style, the
options the recipe asks for (Buildroot's devfinder.mk evaluated by make with
Config.in's defaults, Yocto's recipe expanded with both sysvinit and systemd
in DISTRO_FEATURES), their configure, build and DESTDIR install commands.
Then the image: exactly the expected files and modes, ARM programs without
RPATH whose NEEDED libraries the image has, stillcgi against libcgicc.so.3;
no compiler warning under the tools' flags (Yocto's _FORTIFY_SOURCE=2 and
-Werror=format-security, Buildroot's 64-bit file offsets); the systemd unit
passes systemd-analyze verify; CAM_STILLCGI_STATIC=ON is refused at configure
time in such a root. The target's cgicc comes from Debian's armhf packages,
unpacked (scripts/cross-sysroot.sh), never installed.
"""

import glob
import os
import re
import shlex
import shutil
import stat
import subprocess
import tempfile
import types
import unittest

SRC = os.environ["CAM_SOURCE_DIR"]
BUILD = os.environ["CAM_BUILD_DIR"]
CMAKE = os.environ.get("CAM_CMAKE", "cmake")
CROSS = "arm-linux-gnueabihf"
TOOLCHAIN_LIBS = "/usr/%s/lib" % CROSS
JOBS = "2"
BR_MK = os.path.join(SRC, "contrib/buildroot/package/devfinder/devfinder.mk")
BR_CONFIG = os.path.join(SRC, "contrib/buildroot/package/devfinder/Config.in")


def sh(args, timeout, env=None, cwd=None):
    """Runs a command (a list, or a shell line as the tools run theirs)."""
    res = subprocess.run(args, shell=isinstance(args, str), env=env, cwd=cwd,
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                         timeout=timeout)
    if res.returncode != 0:
        raise AssertionError("%s: status %d\n%s" % (args, res.returncode, res.stdout[-6000:]))
    return res.stdout


def staging_root(root, debs):
    """A target root as the tools lay it out: the C and C++ runtime in lib/,
    cgicc's headers and shared library (no archive) in usr/include and usr/lib."""
    os.makedirs(os.path.join(root, "lib"))
    os.makedirs(os.path.join(root, "usr/lib"))
    for path in glob.glob(os.path.join(TOOLCHAIN_LIBS, "*.so.*")):
        os.symlink(path, os.path.join(root, "lib", os.path.basename(path)))
    shutil.copytree(os.path.join(debs, "usr/include/cgicc"),
                    os.path.join(root, "usr/include/cgicc"))
    for path in glob.glob(os.path.join(debs, "usr/lib", CROSS, "libcgicc.so*")):
        dst = os.path.join(root, "usr/lib", os.path.basename(path))
        if os.path.islink(path):
            os.symlink(os.readlink(path), dst)
        else:
            shutil.copy2(path, dst)


def kconfig_defaults(path):
    """Symbol -> value of every option of Config.in that is on by default."""
    values, current = {}, None
    with open(path) as f:
        for line in f:
            m = re.match(r"^config (\w+)", line)
            if m:
                current = m.group(1)
                continue
            m = re.match(r'^\s+default (y|"[^"]*")\s*$', line)
            if m and current:
                values[current] = m.group(1)
    return values


def buildroot_options(symbols):
    """DEVFINDER_CONF_OPTS and _DEPENDENCIES, as make evaluates devfinder.mk."""
    makefile = "qstrip = $(strip $(subst \",,$(1)))\ncmake-package =\n"
    makefile += "".join("%s = %s\n" % kv for kv in sorted(symbols.items()))
    makefile += "include %s\nprint:\n\t@echo '$(DEVFINDER_CONF_OPTS)'\n" \
                "\t@echo '$(DEVFINDER_DEPENDENCIES)'\n" % BR_MK
    out = subprocess.run(["make", "-s", "-f", "-", "print"], input=makefile, text=True,
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60,
                         check=True).stdout.splitlines()
    return shlex.split(out[0]), out[1].split()


class BitbakeData:
    """Just enough of bitbake's datastore to expand a recipe's variables:
    =, ?=, ??=, +=, flags, ${VAR} and ${@python} with bb.utils.contains."""

    def __init__(self, values):
        self.vars = dict(values)
        self.flags = {}

    def parse(self, path):
        with open(path) as f:
            text = re.sub(r"\\\n", " ", f.read())
        for line in text.splitlines():
            m = re.match(r'^([A-Za-z0-9_]+)(?:\[(\w+)\])?\s*(\?\?=|\?=|\+=|=)\s*"(.*)"\s*$', line)
            if not m:
                continue   # inherit, comments, overrides such as FILES:${PN}
            name, flag, op, value = m.groups()
            if flag:
                self.flags.setdefault(name, {})[flag] = value
            elif op in ("?=", "??="):
                self.vars.setdefault(name, value)
            elif op == "+=":
                self.vars[name] = self.vars.get(name, "") + " " + value
            else:
                self.vars[name] = value

    def getVar(self, name, expand=True):  # noqa: N802 (bitbake's name)
        value = self.vars.get(name)
        return self.expand(value) if value is not None and expand else value

    def expand(self, text):
        out, i = "", 0
        while i < len(text):
            if text.startswith("${@", i):
                depth, j = 1, i + 3
                while depth:
                    depth += {"{": 1, "}": -1}.get(text[j], 0)
                    j += 1
                code = text[i + 3:j - 1]
                bb = types.SimpleNamespace(utils=types.SimpleNamespace(contains=self._contains))
                out += str(eval(code, {"bb": bb, "d": self, "os": os}))
                i = j
            elif text.startswith("${", i):
                j = text.index("}", i)
                out += self.getVar(text[i + 2:j]) or ""
                i = j + 1
            else:
                out += text[i]
                i += 1
        return out

    @staticmethod
    def _contains(var, items, yes, no, d):
        have = set((d.getVar(var) or "").split())
        return yes if set(items.split()) <= have else no

    def packageconfig(self):
        """PACKAGECONFIG_CONFARGS and the DEPENDS it adds."""
        chosen = set(self.getVar("PACKAGECONFIG").split())
        args, depends = [], []
        for name, value in sorted(self.flags.get("PACKAGECONFIG", {}).items()):
            on, off, deps = (self.expand(value).split(",") + ["", ""])[:3]
            args.append(on if name in chosen else off)
            if name in chosen:
                depends += deps.split()
        return " ".join(args), depends


def elf(path):
    """(machine, NEEDED, RPATH/RUNPATH entries) of a program."""
    head = sh(["readelf", "-h", path], 60)
    dyn = sh(["readelf", "-d", "-W", path], 60)
    machine = re.search(r"Machine:\s+(.*)", head).group(1).strip()
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^]]+)\]", dyn)
    paths = re.findall(r"\((?:RPATH|RUNPATH)\)\s+\S+: \[([^]]*)\]", dyn)
    return machine, needed, paths


def our_warnings(log):
    return [line for line in log.splitlines() if "warning:" in line and SRC in line]


class RecipeReplay(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.debs = os.path.join(BUILD, "recipe-debs")
        sh(["bash", os.path.join(SRC, "scripts/cross-sysroot.sh"), cls.debs], 900)
        cls.tmp = tempfile.mkdtemp(prefix="cam-recipes-")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def check_image(self, image, sysroot, want):
        """want: path in the image -> mode. Returns NEEDED of each program."""
        found = {}
        for dirpath, _, files in os.walk(image):
            for name in files:
                path = os.path.join(dirpath, name)
                found[os.path.relpath(path, image)] = stat.S_IMODE(os.lstat(path).st_mode)
        self.assertEqual(sorted(found), sorted(want))
        self.assertEqual({p: oct(m) for p, m in found.items()},
                         {p: oct(m) for p, m in want.items()})
        needed = {}
        for path in want:
            with open(os.path.join(image, path), "rb") as f:
                if f.read(4) != b"\x7fELF":
                    continue
            machine, libs, rpaths = elf(os.path.join(image, path))
            self.assertEqual(machine, "ARM", path)
            self.assertEqual(rpaths, [], path + " carries a search path of the build machine")
            for lib in libs:
                self.assertTrue(any(os.path.exists(os.path.join(sysroot, d, lib))
                                    for d in ("lib", "usr/lib")), "%s needs %s" % (path, lib))
            needed[os.path.basename(path)] = libs
        # AUTO chose the image's shared libraries; the snapshot CGI reads no cookies, so
        # no part of cgicc (only the cgic layer's cookie readers use it) is linked in.
        self.assertIn("libc.so.6", needed["stillcgi"])
        self.assertNotIn("libcgicc.so.3", needed["stillcgi"])
        self.assertNotIn("libcgicc.so.3", needed["devfinder"])
        return needed

    def test_buildroot_package(self):
        top = os.path.join(self.tmp, "buildroot")
        host = os.path.join(top, "host")
        sysroot = os.path.join(host, CROSS, "sysroot")
        target, build = os.path.join(top, "target"), os.path.join(top, "build")
        staging_root(sysroot, self.debs)
        # Buildroot's toolchainfile.cmake with its Platform/Buildroot.cmake.
        share = os.path.join(host, "share/buildroot")
        os.makedirs(os.path.join(share, "Platform"))
        with open(os.path.join(share, "Platform/Buildroot.cmake"), "w") as f:
            f.write("include(Platform/Linux)\n")
        flags = "-D_LARGEFILE_SOURCE -D_LARGEFILE64_SOURCE -D_FILE_OFFSET_BITS=64 -Os -g0"
        with open(os.path.join(share, "toolchainfile.cmake"), "w") as f:
            f.write(f"""list(APPEND CMAKE_MODULE_PATH ${{CMAKE_CURRENT_LIST_DIR}})
set(CMAKE_SYSTEM_NAME Buildroot)
set(CMAKE_SYSTEM_VERSION 1)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_C_FLAGS_RELEASE " -DNDEBUG" CACHE STRING "Release CFLAGS")
set(CMAKE_CXX_FLAGS_RELEASE " -DNDEBUG" CACHE STRING "Release CXXFLAGS")
set(CMAKE_BUILD_TYPE Release CACHE STRING "Buildroot build configuration")
set(CMAKE_C_FLAGS "{flags}" CACHE STRING "Buildroot CFLAGS")
set(CMAKE_CXX_FLAGS "{flags}" CACHE STRING "Buildroot CXXFLAGS")
set(CMAKE_EXE_LINKER_FLAGS "" CACHE STRING "Buildroot LDFLAGS for executables")
set(CMAKE_INSTALL_SO_NO_EXE 0)
set(CMAKE_SYSROOT "{sysroot}")
set(CMAKE_FIND_ROOT_PATH "{sysroot}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_C_COMPILER "{shutil.which(CROSS + '-gcc')}")
set(CMAKE_CXX_COMPILER "{shutil.which(CROSS + '-g++')}")
""")
        symbols = kconfig_defaults(BR_CONFIG)
        symbols.update(BR2_PACKAGE_DEVFINDER="y", BR2_INIT_BUSYBOX="y",
                       BR2_EXTERNAL_CAMSVC_PATH=os.path.join(SRC, "contrib/buildroot"))
        options, depends = buildroot_options(symbols)
        self.assertIn("libcgicc", depends)
        # pkg-cmake.mk: configure, build, install into the target directory.
        os.makedirs(build)
        log = sh([CMAKE, SRC, "-GUnix Makefiles", "-DCMAKE_MAKE_PROGRAM=make",
                  "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(share, "toolchainfile.cmake"),
                  "-DCMAKE_INSTALL_PREFIX=/usr", "-DCMAKE_INSTALL_RUNSTATEDIR=/run",
                  "-DCMAKE_COLOR_MAKEFILE=OFF", "-DBUILD_DOC=OFF", "-DBUILD_DOCS=OFF",
                  "-DBUILD_EXAMPLE=OFF", "-DBUILD_EXAMPLES=OFF", "-DBUILD_TEST=OFF",
                  "-DBUILD_TESTS=OFF", "-DBUILD_TESTING=OFF", "-DBUILD_SHARED_LIBS=ON"]
                 + options, 600, cwd=build)
        self.assertIn("stillcgi: linked dynamically (no libcgicc.a", log)
        log += sh([CMAKE, "--build", build, "-j" + JOBS, "--"], 1800)
        self.assertEqual(our_warnings(log), [])
        sh([CMAKE, "--install", build], 120, env=dict(os.environ, DESTDIR=target))
        self.check_image(target, sysroot, {"usr/sbin/devfinder": 0o755,
                                           "etc/init.d/S50devfinder": 0o755,
                                           "var/www/cgi-bin/stillcgi": 0o755})

        # Asked to link statically in this root, configure stops and says why.
        res = subprocess.run([CMAKE, "-DCAM_STILLCGI_STATIC=ON", build], stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True, timeout=300)
        self.assertNotEqual(res.returncode, 0)
        self.assertIn("CAM_STILLCGI_STATIC=ON needs a static cgicc", res.stdout)
        self.assertIn("no libcgicc.a", res.stdout)

    def test_yocto_recipe(self):
        work = os.path.join(self.tmp, "yocto")
        sysroot = os.path.join(work, "recipe-sysroot")
        native = os.path.join(work, "recipe-sysroot-native")
        build, image = os.path.join(work, "build"), os.path.join(work, "image")
        staging_root(sysroot, self.debs)
        # The cross tools as the native sysroot holds them, found on PATH only.
        tools = os.path.join(native, "usr/bin", CROSS)
        os.makedirs(tools)
        for tool in ("gcc", "g++", "ar", "ranlib", "strip", "nm", "objcopy", "objdump", "ld"):
            os.symlink(shutil.which("%s-%s" % (CROSS, tool)), os.path.join(tools, "%s-%s"
                                                                             % (CROSS, tool)))
        recipe = os.path.join(SRC, "contrib/yocto/recipes-connectivity/devfinder",
                              "devfinder_%s.bb" % os.environ.get("CAM_VERSION", "2.0.0"))
        d = BitbakeData({"PN": "devfinder", "FILE": recipe, "prefix": "/usr",
                         "localstatedir": "/var", "systemd_system_unitdir": "/lib/systemd/system",
                         "DISTRO_FEATURES": "ipv4 sysvinit systemd"})
        d.parse(recipe)
        confargs, depends = d.packageconfig()
        self.assertIn("cgicc", depends)
        # cmake.bbclass: its toolchain file and configure line, Ninja.
        arch = "-march=armv7-a -mthumb -mfpu=vfpv3-d16 -mfloat-abi=hard --sysroot=" + sysroot
        cflags = ("-O2 -pipe -g -feliminate-unused-debug-types -fstack-protector-strong "
                  "-D_FORTIFY_SOURCE=2 -Wformat -Wformat-security -Werror=format-security")
        ldflags = "-Wl,-O1 -Wl,--hash-style=gnu -Wl,--as-needed -Wl,-z,relro,-z,now"
        toolchain = os.path.join(work, "toolchain.cmake")
        with open(toolchain, "w") as f:
            f.write(f"""set( CMAKE_SYSTEM_NAME Linux )
set( CMAKE_SYSTEM_PROCESSOR arm )
set( CMAKE_C_COMPILER {CROSS}-gcc )
set( CMAKE_CXX_COMPILER {CROSS}-g++ )
set( CMAKE_ASM_COMPILER {CROSS}-gcc )
find_program( CMAKE_AR {CROSS}-ar DOC "Archiver" REQUIRED )
set( CMAKE_C_FLAGS "{arch} {cflags}" CACHE STRING "CFLAGS" )
set( CMAKE_CXX_FLAGS "{arch} {cflags} -fvisibility-inlines-hidden" CACHE STRING "CXXFLAGS" )
set( CMAKE_C_FLAGS_RELEASE "-DNDEBUG" CACHE STRING "Additional CFLAGS for release" )
set( CMAKE_CXX_FLAGS_RELEASE "-DNDEBUG" CACHE STRING "Additional CXXFLAGS for release" )
set( CMAKE_C_LINK_FLAGS "{arch} {ldflags}" CACHE STRING "LDFLAGS" )
set( CMAKE_CXX_LINK_FLAGS "{arch} {cflags} {ldflags}" CACHE STRING "LDFLAGS" )
set( CMAKE_FIND_ROOT_PATH {sysroot} {native} )
set( CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY )
set( CMAKE_FIND_ROOT_PATH_MODE_PROGRAM ONLY )
set( CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY )
set( CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY )
set( CMAKE_PROGRAM_PATH "/" )
set( CMAKE_INSTALL_RPATH )
set( CMAKE_BUILD_RPATH_USE_ORIGIN ON )
set( CMAKE_LIBRARY_PATH /usr/lib /lib )
list(APPEND CMAKE_C_IMPLICIT_INCLUDE_DIRECTORIES /usr/include)
list(APPEND CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES /usr/include)
""")
        env = dict(os.environ, PATH=tools + ":" + os.environ["PATH"])
        os.makedirs(build)
        configure = " ".join([
            shlex.quote(CMAKE), "-G 'Ninja' -DCMAKE_MAKE_PROGRAM=ninja", shlex.quote(SRC),
            "-DCMAKE_INSTALL_PREFIX:PATH=/usr", "-DCMAKE_INSTALL_BINDIR:PATH=bin",
            "-DCMAKE_INSTALL_SBINDIR:PATH=sbin", "-DCMAKE_INSTALL_LIBEXECDIR:PATH=libexec",
            "-DCMAKE_INSTALL_SYSCONFDIR:PATH=/etc", "-DCMAKE_INSTALL_SHAREDSTATEDIR:PATH=com",
            "-DCMAKE_INSTALL_LOCALSTATEDIR:PATH=/var", "-DCMAKE_INSTALL_LIBDIR:PATH=lib",
            "-DCMAKE_INSTALL_INCLUDEDIR:PATH=include", "-DCMAKE_INSTALL_DATAROOTDIR:PATH=share",
            "-DLIB_SUFFIX=", "-DCMAKE_INSTALL_SO_NO_EXE=0",
            "-DCMAKE_TOOLCHAIN_FILE=" + shlex.quote(toolchain),
            "-DCMAKE_NO_SYSTEM_FROM_IMPORTED=1", "-DCMAKE_EXPORT_NO_PACKAGE_REGISTRY=ON",
            "-DFETCHCONTENT_FULLY_DISCONNECTED=ON", "-DCMAKE_EXPORT_COMPILE_COMMANDS:BOOL=ON",
            d.getVar("EXTRA_OECMAKE"), confargs, "-Wno-dev"])
        log = sh(configure, 600, env=env, cwd=build)
        self.assertIn("stillcgi: linked dynamically", log)
        log += sh([CMAKE, "--build", build, "--target", "all", "--"], 1800, env=env)
        self.assertEqual(our_warnings(log), [])
        sh([CMAKE, "--build", build, "--target", "install", "--"], 120,
           env=dict(env, DESTDIR=image))
        self.check_image(image, sysroot, {
            "usr/sbin/devfinder": 0o755, "etc/init.d/devfinder": 0o755,
            "lib/systemd/system/devfinder.service": 0o644, "var/www/cgi-bin/stillcgi": 0o755,
            "usr/share/man/man8/devfinder.8": 0o644, "usr/share/man/man8/stillcgi.8": 0o644})
        with open(os.path.join(image, "etc/init.d/devfinder")) as f:
            script = f.read()
        lines = script.splitlines()
        self.assertTrue([ln for ln in lines[:5] if ln.startswith("# /etc/init.d/devfinder: ")],
                        lines[:5])
        self.assertIn("DAEMON=/usr/sbin/devfinder", lines)
        self.verify_unit(image, "lib/systemd/system/devfinder.service")

    def verify_unit(self, image, unit):
        """systemd-analyze verify in a root of the unit, its program and the
        build machine's targets (the unit's dependencies)."""
        analyze = shutil.which("systemd-analyze")
        if analyze is None:
            self.skipTest("no systemd-analyze on this machine")
        root = os.path.join(self.tmp, "unit-root")
        units = os.path.join(root, os.path.dirname(unit))
        os.makedirs(units)
        for target in glob.glob("/usr/lib/systemd/system/*.target"):
            shutil.copy(target, units)
        shutil.copy(os.path.join(image, unit), units)
        os.makedirs(os.path.join(root, "usr/sbin"))
        shutil.copy2(os.path.join(image, "usr/sbin/devfinder"), os.path.join(root, "usr/sbin"))
        res = subprocess.run([analyze, "verify", "--man=no", "--root=" + root,
                              os.path.basename(unit)], stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True, timeout=120)
        self.assertEqual((res.returncode, res.stdout), (0, ""))


if __name__ == "__main__":
    unittest.main()
