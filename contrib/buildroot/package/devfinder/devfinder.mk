# SPDX-License-Identifier: MIT
################################################################################
#
# devfinder
#
################################################################################

DEVFINDER_VERSION = 2.0.0
# Built from this tree. For a release, fetch it instead, for example:
#   DEVFINDER_SITE = <the project's git URL>
#   DEVFINDER_SITE_METHOD = git
# (or keep this site and use devfinder-rebuild while working on the sources)
DEVFINDER_SITE = $(BR2_EXTERNAL_CAMSVC_PATH)/../..
DEVFINDER_SITE_METHOD = local
# The tree's own build directories stay out of Buildroot's copy.
DEVFINDER_OVERRIDE_SRCDIR_RSYNC_EXCLUSIONS = --exclude /build
DEVFINDER_LICENSE = MIT
DEVFINDER_LICENSE_FILES = LICENSE
DEVFINDER_SUPPORTS_IN_SOURCE_BUILD = NO

# The host CMake needs to be 3.18 or later, Buildroot's own floor.
DEVFINDER_CONF_OPTS = \
	-DCAM_BUILD_DEVFINDER=ON \
	-DCAM_INSTALL_MAN=OFF

ifeq ($(BR2_PACKAGE_DEVFINDER_STILLCGI),y)
DEVFINDER_DEPENDENCIES += libcgicc
DEVFINDER_CONF_OPTS += \
	-DCAM_BUILD_STILLCGI=ON \
	-DCAM_CGI_DIR=$(call qstrip,$(BR2_PACKAGE_DEVFINDER_CGI_DIR))
else
DEVFINDER_CONF_OPTS += -DCAM_BUILD_STILLCGI=OFF
endif

ifeq ($(BR2_PACKAGE_DEVFINDER_TOOLS),y)
DEVFINDER_DEPENDENCIES += jpeg
DEVFINDER_CONF_OPTS += -DCAM_TOOLS=ON -DCAM_INSTALL_TOOLS=ON -DCAM_BENCH=OFF
else
DEVFINDER_CONF_OPTS += -DCAM_TOOLS=OFF
endif

# The project installs its own start-up files; which ones follows the image's
# init system.
ifeq ($(BR2_PACKAGE_DEVFINDER_INIT)$(BR2_INIT_SYSTEMD),yy)
DEVFINDER_CONF_OPTS += -DCAM_INIT=systemd -DCAM_SYSTEMD_UNIT_DIR=/usr/lib/systemd/system
else ifeq ($(BR2_PACKAGE_DEVFINDER_INIT)$(BR2_INIT_BUSYBOX)$(BR2_INIT_SYSV),yy)
DEVFINDER_CONF_OPTS += -DCAM_INIT=sysv -DCAM_INIT_NAME=S50devfinder
else
DEVFINDER_CONF_OPTS += -DCAM_INIT=none
endif

$(eval $(cmake-package))
