# SPDX-License-Identifier: MIT
# Cross build for the camera (32-bit ARM, hard float) with Debian's cross
# compiler (g++-arm-linux-gnueabihf):
#   cmake -S . -B build/arm -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake \
#         -DCMAKE_FIND_ROOT_PATH=<root with the target's cgicc>
# This file describes the compiler only. Libraries of the target (cgicc) come
# from a root given on the command line (scripts/cross-sysroot.sh makes one),
# so a Buildroot or Yocto toolchain file, which names its own sysroot, can take
# this file's place unchanged. Unit tests then run under qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER   arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# Debian's multiarch directories (usr/lib/arm-linux-gnueabihf) in a target root.
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# Target libraries and headers only from the roots; programs from the build machine.
if(NOT "/usr/arm-linux-gnueabihf" IN_LIST CMAKE_FIND_ROOT_PATH)
    list(APPEND CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The emulator loads the toolchain's own C library and loader.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf)
