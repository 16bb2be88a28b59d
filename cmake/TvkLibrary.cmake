# SPDX-License-Identifier: MIT
# tvk_add_library(<name> ALIAS <alias> EXPORT_DEFINE <define> SOURCES ...
#                 [PUBLIC_HEADERS ...] [PUBLIC_LINK ...] [PRIVATE_LINK ...] [INCLUDE_DIRS ...])
# Builds lib<name> as a shared library with hidden symbols, a version, a
# tvk::<alias> alias and the project's warnings. <define> is set while the
# library itself is compiled, so its export header can tell building from
# using. PUBLIC_HEADERS are the headers installed with it (see
# tvk_public_headers).
function(tvk_add_library name)
  cmake_parse_arguments(ARG "" "ALIAS;EXPORT_DEFINE"
    "SOURCES;PUBLIC_HEADERS;PUBLIC_LINK;PRIVATE_LINK;INCLUDE_DIRS" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES})
  add_library(tvk::${ARG_ALIAS} ALIAS ${name})
  set_target_properties(${name} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    EXPORT_NAME ${ARG_ALIAS})
  target_compile_definitions(${name} PRIVATE ${ARG_EXPORT_DEFINE})
  # The headers are C++17: users get it with the target (clang still
  # defaults to C++14).
  target_compile_features(${name} PUBLIC cxx_std_17)
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/tvk>)
  foreach(dir IN LISTS ARG_INCLUDE_DIRS)
    target_include_directories(${name} PUBLIC $<BUILD_INTERFACE:${dir}>)
  endforeach()
  # The warning policy is this project's own: only inside the build tree, so
  # that the exported targets do not hand -Werror to the hosts.
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_LINK}
                        PRIVATE ${ARG_PRIVATE_LINK} $<BUILD_INTERFACE:tvk_warnings>)
  set_property(GLOBAL APPEND PROPERTY TVK_LIBRARIES ${name})
  tvk_public_headers(${name} ${ARG_PUBLIC_HEADERS})
endfunction()

# tvk_public_headers(<library> <header>...)
# Adds headers to those installed with <library> into <includedir>/tvk, all
# side by side. Relative names are taken from the calling directory. List the
# public headers, and the private class headers (<unit>_p.h) that a host needs
# to derive its own classes, since the protected constructors take those
# private classes, together with whatever they include. Leave out internals.
# Can be called more than once, e.g. once per unit.
function(tvk_public_headers name)
  set(headers "")
  foreach(header IN LISTS ARGN)
    cmake_path(ABSOLUTE_PATH header BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} NORMALIZE)
    if(NOT EXISTS ${header})
      message(FATAL_ERROR "tvk_public_headers(${name}): no such header: ${header}")
    endif()
    list(APPEND headers ${header})
  endforeach()
  set_property(TARGET ${name} APPEND PROPERTY TVK_PUBLIC_HEADERS ${headers})
endfunction()

# In a cross build the programs built here run under an emulator (the
# toolchain's CMAKE_CROSSCOMPILING_EMULATOR). ctest starts the tests through
# it; a test that starts one of them as a child process finds it in
# TVK_TEST_EMULATOR (tests/support/childprocess.h), set by
# TVK_TEST_ENVIRONMENT.
set(TVK_TEST_ENVIRONMENT "")
if(CMAKE_CROSSCOMPILING_EMULATOR)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " _tvk_emulator)
  set(TVK_TEST_ENVIRONMENT "TVK_TEST_EMULATOR=${_tvk_emulator}")
endif()

# tvk_add_test(<name> SOURCES ... LIBS ...): one GoogleTest executable under
# ctest, with the tests' shared support (tests/support) linked in.
function(tvk_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} tvk::testsupport GTest::gtest GTest::gtest_main tvk_warnings)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 120 ENVIRONMENT "${TVK_TEST_ENVIRONMENT}")
endfunction()

# tvk_not_under_qemu(<reason> <test>...): the tests that cannot run where the
# programs built here run under qemu-user, labelled not-under-qemu and
# <reason>, a label that says why. scripts/cross-test.sh leaves them out and
# lists them by reason. The tests may be ones that gtest_discover_tests finds
# when ctest runs: call this after it, in the same directory.
function(tvk_not_under_qemu reason)
  set(discovered "")
  foreach(test IN LISTS ARGN)
    if(TEST ${test})
      set_property(TEST ${test} APPEND PROPERTY LABELS not-under-qemu ${reason})
    else()
      list(APPEND discovered ${test})
    endif()
  endforeach()
  if(discovered)
    # Read by ctest after the files of discovered tests that come before it.
    set(file ${CMAKE_CURRENT_BINARY_DIR}/not-under-qemu-${reason}.cmake)
    list(JOIN discovered " " tests)
    file(WRITE ${file} "set_tests_properties(${tests} PROPERTIES LABELS \"not-under-qemu;${reason}\")\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${file})
  endif()
endfunction()
