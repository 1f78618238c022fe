# SPDX-License-Identifier: MIT
SUMMARY = "GNU cgicc, a C++ class library for writing CGI applications"
HOMEPAGE = "https://www.gnu.org/software/cgicc/"
SECTION = "libs"
# The library is LGPL-3.0-or-later; its manual, not built here, GFDL-1.2-or-later.
LICENSE = "LGPL-3.0-or-later & GFDL-1.2-or-later"
LICENSE:${PN} = "LGPL-3.0-or-later"
LIC_FILES_CHKSUM = "file://COPYING.LIB;md5=60627c3fa530266bd8c2d1f15b554b86 \
                    file://COPYING.DOC;md5=a923195d9202d0665777c5ab55746c5b"

SRC_URI = "${GNU_MIRROR}/cgicc/cgicc-${PV}.tar.gz"
SRC_URI[sha256sum] = "2a17b976248de03447f9e36d6ce18a80749990d8543e2dfeea09c413eb67f7f0"

inherit autotools pkgconfig binconfig

EXTRA_OECONF = "--disable-demos --disable-fcgi-demos"
