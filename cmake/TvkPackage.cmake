# SPDX-License-Identifier: MIT
# Debian packages, one per install component, built by
# `cmake --build <build> --target package` (or cpack in the build tree):
#
#   libtvk<major>  runtime  the shared libraries
#   libtvk-dev     dev      headers, .so links, the CMake package, pkg-config files
#   tvk-tools      tools    the programs and their man pages
#
# They install to /usr whatever prefix the build was configured with, the
# libraries to /usr/<libdir> (lib/<multiarch>, see TvkInstallDirs). Include
# this after every install rule. A host that builds this project inside its
# own packages it its own way: the components are there for it.
if(NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()

set(TVK_PACKAGE_MAINTAINER "The tvk authors" CACHE STRING
  "Maintainer field of the Debian packages: \"Name <address>\" of whoever publishes them")

set(_tvk_package_runtime libtvk${PROJECT_VERSION_MAJOR})   # follows the libraries' SONAME
set(_tvk_package_dev libtvk-dev)
set(_tvk_package_tools tvk-tools)

# The licence goes with each package, where Debian looks for it.
foreach(component runtime dev tools)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_tvk_package_${component}}
    RENAME copyright COMPONENT ${component})
endforeach()

# An install rule without one of the three components would be left out of
# every package without a word.
get_cmake_property(_tvk_strays COMPONENTS)
list(REMOVE_ITEM _tvk_strays runtime dev tools)
if(_tvk_strays)
  message(FATAL_ERROR "install component(s) ${_tvk_strays} belong to no Debian package: "
    "give the install rules COMPONENT runtime, dev or tools")
endif()
if(CMAKE_LIBRARY_ARCHITECTURE AND NOT CMAKE_INSTALL_LIBDIR STREQUAL "lib/${CMAKE_LIBRARY_ARCHITECTURE}")
  message(STATUS "Debian packages put the libraries into /usr/${CMAKE_INSTALL_LIBDIR}, "
    "not Debian's lib/${CMAKE_LIBRARY_ARCHITECTURE} (CMAKE_INSTALL_LIBDIR)")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tvk)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The tvk authors")
set(CPACK_PACKAGE_CONTACT "${TVK_PACKAGE_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)   # <name>_<version>_<architecture from dpkg>.deb

# Dependencies on other Debian packages come from the binaries themselves
# (dpkg-shlibdeps); ours are named with the exact version, since all three
# come from one build. dpkg-shlibdeps finds our libraries in the build tree
# (and an imported framework's where they lie) and, as no installed package
# provides them, leaves them to the component dependencies.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "")
get_property(_tvk_libs GLOBAL PROPERTY TVK_LIBRARIES)
foreach(part IN LISTS _tvk_libs ITEMS tvk::base tvk::gui tvk::databus)
  if(TARGET ${part})
    get_target_property(imported ${part} IMPORTED)
    if(imported)
      get_target_property(location ${part} IMPORTED_LOCATION)
      get_filename_component(dir "${location}" DIRECTORY)
    else()
      get_target_property(dir ${part} BINARY_DIR)
    endif()
    list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${dir})
  endif()
endforeach()
# A cross build packages for its target (the toolchain file names the
# architecture in CPACK_DEBIAN_PACKAGE_ARCHITECTURE): dpkg-shlibdeps reads
# the target's libraries in the sysroot, and the packages that hold them in
# the sysroot's own dpkg database (scripts/cross-test.sh writes one), so
# that the dependencies are the target architecture's packages.
if(CMAKE_CROSSCOMPILING AND CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  foreach(root IN LISTS CMAKE_FIND_ROOT_PATH)
    list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
      ${root}/lib/${CMAKE_LIBRARY_ARCHITECTURE} ${root}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE})
    if(EXISTS ${root}/var/lib/dpkg/status)
      set(_tvk_dpkg_admindir ${root}/var/lib/dpkg)
    endif()
  endforeach()
  # cpack reads this when it runs, and dpkg-shlibdeps the environment.
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/TvkCrossPackage.cmake)
  file(WRITE ${CPACK_PROJECT_CONFIG_FILE} "set(ENV{DEB_HOST_ARCH} ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE})\n")
  if(_tvk_dpkg_admindir)
    file(APPEND ${CPACK_PROJECT_CONFIG_FILE} "set(ENV{DPKG_ADMINDIR} \"${_tvk_dpkg_admindir}\")\n")
  else()
    message(STATUS "No dpkg database in the sysroot: the ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE} "
      "packages cannot take their dependencies from dpkg-shlibdeps")
  endif()
endif()
list(REMOVE_DUPLICATES CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS)
# A shlibs file, so that packages built against ours get their dependency on
# it from dpkg-shlibdeps in turn; it also makes ldconfig run on install.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${_tvk_package_runtime})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
"operator-panel field-bus and data-binding core - shared libraries
Shared libraries that an operator-panel (HMI) host application loads:
Modbus over TCP and serial RTU (libtvk_fieldlink), the PLC communication
script reader (libtvk_plcconfig) and spin boxes bound to process data
(libtvk_boundedit), with the host framework's stand-ins libtvk_base,
libtvk_gui and libtvk_databus.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${_tvk_package_dev})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# What the installed headers, CMake package and pkg-config files reach for.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libmodbus-dev (>= 3.1), rapidjson-dev, pkg-config")
set(CPACK_DEBIAN_DEV_DESCRIPTION
"operator-panel field-bus and data-binding core - development files
Headers, the CMake package (find_package(tvk)) and the pkg-config files
(tvk_fieldlink, tvk_plcconfig, tvk_boundedit, ...) for building programs
against the libraries in ${_tvk_package_runtime}.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${_tvk_package_tools})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
"operator-panel field-bus tools: Modbus slave, poller, script checker
tvk-modbus-slave simulates a Modbus slave over TCP or a serial line,
tvk-modbus-poll reads or writes a Modbus device, and tvk-plccheck checks
a PLC communication script and tells where it is at fault.")

# The source tarball (target package_source) without git's data, the
# build folders or the cross builds' sysroots (.cache).
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/" "/\\\\.cache/")

include(CPack)
