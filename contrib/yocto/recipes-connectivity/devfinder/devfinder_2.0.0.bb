# SPDX-License-Identifier: MIT
SUMMARY = "LAN discovery daemon and snapshot CGI of the camera"
DESCRIPTION = "devfinder answers searches and authenticated network changes on \
UDP port 9333; stillcgi serves snapshots through the web server. Both talk to \
the camera's main application zozid."
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://LICENSE;md5=1bf5c1dbe6434fd8218fe140c61e0f62"

# Built from the tree this layer sits in. For a release, fetch it instead:
#   SRC_URI = "git://<the project's repository>;protocol=https;branch=main"
#   SRCREV = "<commit>"
#   S = "${WORKDIR}/git"
# and drop externalsrc.
inherit externalsrc
EXTERNALSRC ?= "${@os.path.abspath(os.path.join(os.path.dirname(d.getVar('FILE')), '../../../..'))}"
EXTERNALSRC_BUILD ?= "${WORKDIR}/build"

inherit cmake update-rc.d systemd

# stillcgi links cgicc (LGPL-3.0-or-later): against the shared library here,
# since the sysroot has no static one. tools: devsearch and the zozid
# stand-in on the target (a test image, not a camera with the real zozid).
PACKAGECONFIG ??= "stillcgi"
PACKAGECONFIG[stillcgi] = "-DCAM_BUILD_STILLCGI=ON,-DCAM_BUILD_STILLCGI=OFF,cgicc"
PACKAGECONFIG[tools] = "-DCAM_TOOLS=ON -DCAM_INSTALL_TOOLS=ON -DCAM_BENCH=OFF,-DCAM_TOOLS=OFF,jpeg"

# Where the image's web server looks for CGI programs.
CAM_CGI_DIR ?= "${localstatedir}/www/cgi-bin"

# The start-up files of the image's init systems: the init script under the
# name update-rc.d registers, the unit for systemd, both for a distro with both.
DEVFINDER_INIT = "${@';'.join([name for name, feature in (('sysv', 'sysvinit'), ('systemd', 'systemd')) if bb.utils.contains('DISTRO_FEATURES', feature, True, False, d)]) or 'none'}"

EXTRA_OECMAKE = " \
    -DBUILD_TESTING=OFF \
    -DCAM_INIT='${DEVFINDER_INIT}' \
    -DCAM_INIT_NAME=${INITSCRIPT_NAME} \
    -DCAM_SYSTEMD_UNIT_DIR=${systemd_system_unitdir} \
    -DCAM_CGI_DIR=${CAM_CGI_DIR} \
"

INITSCRIPT_NAME = "devfinder"
INITSCRIPT_PARAMS = "defaults 50"
SYSTEMD_SERVICE:${PN} = "devfinder.service"

FILES:${PN} += "${CAM_CGI_DIR}"
