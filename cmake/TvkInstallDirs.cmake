# SPDX-License-Identifier: MIT
# The standard install directories, with one change on Debian and its
# derivatives: the libraries go to Debian's multiarch directory,
# lib/<multiarch>, whatever the prefix (GNUInstallDirs does so only for
# /usr). The Debian packages install to /usr whatever prefix the build was
# configured with, and take their library directory from here. Under
# /usr/local the directory is on the loader's, pkg-config's and CMake's
# search paths alike. A CMAKE_INSTALL_LIBDIR given on the command line, or
# chosen by a host that builds this project inside its own, is kept.
if(PROJECT_IS_TOP_LEVEL AND NOT DEFINED CMAKE_INSTALL_LIBDIR AND CMAKE_LIBRARY_ARCHITECTURE
   AND EXISTS /etc/debian_version AND NOT CMAKE_CROSSCOMPILING)
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH
    "Object code libraries (LIBDIR)")
endif()
include(GNUInstallDirs)
