# SPDX-License-Identifier: MIT
include(CMakePackageConfigHelpers)
get_property(_tvk_libs GLOBAL PROPERTY TVK_LIBRARIES)
# Three install components, which the Debian packages follow (TvkPackage):
# runtime (the shared libraries), dev (what building against them takes) and
# tools (the programs and their man pages).
install(TARGETS ${_tvk_libs} EXPORT tvkTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
# Each library installs the headers it lists (tvk_public_headers), no more:
# internals stay free to change.
foreach(lib ${_tvk_libs})
  get_target_property(_tvk_headers ${lib} TVK_PUBLIC_HEADERS)
  if(NOT _tvk_headers)
    message(FATAL_ERROR "${lib} lists no headers to install: "
      "give tvk_add_library PUBLIC_HEADERS, or call tvk_public_headers(${lib} ...)")
  endif()
  install(FILES ${_tvk_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tvk COMPONENT dev)
endforeach()
install(EXPORT tvkTargets NAMESPACE tvk:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tvk COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tvkConfig.cmake.in
  ${PROJECT_BINARY_DIR}/tvkConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tvk)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tvkConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tvkConfig.cmake ${PROJECT_BINARY_DIR}/tvkConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tvk COMPONENT dev)
if(TVK_FRAMEWORK)
  # The exported targets link the framework's by name: tvkConfig.cmake
  # defines them the same way before it loads ours.
  install(FILES ${TVK_FRAMEWORK} DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tvk
    RENAME tvkFramework.cmake COMPONENT dev)
endif()

# The pkg-config files find the prefix from where they lie, as the exported
# CMake package does, so the tree can be installed with another --prefix or
# DESTDIR than configured, with a libdir of any depth (Debian's
# lib/<multiarch>). Absolute directories are kept as they are.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(TVK_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(TVK_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH _tvk_up "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
  string(REGEX REPLACE "/$" "" _tvk_up "${_tvk_up}")
  set(TVK_PC_PREFIX "\${pcfiledir}/${_tvk_up}")
  set(TVK_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(TVK_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}/tvk")
else()
  set(TVK_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}/tvk")
endif()
# Requires: of each pkg-config file, from the library's public link list:
# one of ours by its library name, an outside one by its pkg-config name.
function(tvk_pc_requires lib out)
  set(requires "")
  get_target_property(links ${lib} INTERFACE_LINK_LIBRARIES)
  foreach(link IN LISTS links)
    if(link MATCHES "^tvk::(.*)")
      # The framework's libraries are named like ours: tvk::base is tvk_base.
      get_target_property(ours ${link} ALIASED_TARGET)
      if(NOT ours)
        set(ours tvk_${CMAKE_MATCH_1})
      endif()
      list(APPEND requires ${ours})
    elseif(link STREQUAL "PkgConfig::LIBMODBUS")
      list(APPEND requires libmodbus)
    elseif(link STREQUAL "RapidJSON::RapidJSON")
      list(APPEND requires RapidJSON)
    elseif(link STREQUAL "Threads::Threads" OR link MATCHES "^\\$<")
      # the C library's threads; generator expressions are for the build tree
    else()
      message(FATAL_ERROR "${lib} links ${link}: name its pkg-config module in tvk_pc_requires")
    endif()
  endforeach()
  list(JOIN requires " " requires)
  set(${out} "${requires}" PARENT_SCOPE)
endfunction()

foreach(lib ${_tvk_libs})
  tvk_pc_requires(${lib} TVK_PC_REQUIRES)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/tvk.pc.in ${PROJECT_BINARY_DIR}/${lib}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${lib}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endforeach()
