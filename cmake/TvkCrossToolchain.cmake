# SPDX-License-Identifier: MIT
# Toolchain file for a panel's processor: Debian's cross compiler for the
# Debian architecture TVK_CROSS_ARCH (arm64, armhf or s390x), the libraries
# found only in TVK_CROSS_SYSROOT (that architecture's packages unpacked,
# as scripts/cross-test.sh makes it), and the programs built here run under
# qemu-user, so that gtest_discover_tests and ctest work as they do natively.
#
#   cmake -S . -B build/cross-s390x -DCMAKE_TOOLCHAIN_FILE=cmake/TvkCrossToolchain.cmake \
#         -DTVK_CROSS_ARCH=s390x -DTVK_CROSS_SYSROOT=$PWD/.cache/cross/s390x/sysroot
#
# The compiler links against its own C library (the cross packages'); the
# sysroot adds what the project uses, and the C and C++ runtime that qemu
# loads the programs with.

# try_compile projects read this file again and need the same two values.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TVK_CROSS_ARCH TVK_CROSS_SYSROOT)

if(TVK_CROSS_ARCH STREQUAL "arm64")
  set(_tvk_triplet aarch64-linux-gnu)
  set(_tvk_qemu_arch aarch64)
elseif(TVK_CROSS_ARCH STREQUAL "armhf")
  set(_tvk_triplet arm-linux-gnueabihf)
  set(_tvk_qemu_arch arm)
  # gcc notes each standard container call whose argument passing changed
  # in gcc 7.1, which matters only beside code built by an older gcc.
  set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
elseif(TVK_CROSS_ARCH STREQUAL "s390x")
  set(_tvk_triplet s390x-linux-gnu)
  set(_tvk_qemu_arch s390x)
else()
  message(FATAL_ERROR "TVK_CROSS_ARCH must be arm64, armhf or s390x, not '${TVK_CROSS_ARCH}'")
endif()
if(NOT IS_DIRECTORY "${TVK_CROSS_SYSROOT}/usr/include")
  message(FATAL_ERROR "TVK_CROSS_SYSROOT ('${TVK_CROSS_SYSROOT}') holds no unpacked packages: "
    "scripts/cross-test.sh ${TVK_CROSS_ARCH} makes it")
endif()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${_tvk_qemu_arch})
set(CMAKE_LIBRARY_ARCHITECTURE ${_tvk_triplet})
set(CMAKE_C_COMPILER ${_tvk_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${_tvk_triplet}-g++)

# Libraries, headers and CMake packages from the sysroot alone, programs
# (pkg-config, help2man) from the host.
set(CMAKE_FIND_ROOT_PATH ${TVK_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Debian keeps the architecture's own headers (openssl/opensslconf.h) in
# include/<multiarch>, where the cross compiler does not look by itself.
set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES ${TVK_CROSS_SYSROOT}/usr/include/${_tvk_triplet})
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${TVK_CROSS_SYSROOT}/usr/include/${_tvk_triplet})
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${TVK_CROSS_SYSROOT})
set(ENV{PKG_CONFIG_LIBDIR}
  "${TVK_CROSS_SYSROOT}/usr/lib/${_tvk_triplet}/pkgconfig:${TVK_CROSS_SYSROOT}/usr/share/pkgconfig")

# qemu looks for the program's loader and libraries under -L first.
find_program(TVK_QEMU qemu-${_tvk_qemu_arch}-static qemu-${_tvk_qemu_arch} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TVK_QEMU} -L ${TVK_CROSS_SYSROOT})

# The Debian packages are of that architecture.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TVK_CROSS_ARCH})
