# tvk_add_library(<name> EXPORT_MACRO_DEFINE <define> SOURCES ... [PUBLIC_LINK ...] [PRIVATE_LINK ...])
# Builds lib<name> as a shared library with hidden symbols, a version, a
# tvk:: alias and the project's warnings. <define> is set while the library
# itself is compiled, so its export header can tell building from using.
function(tvk_add_library name)
  cmake_parse_arguments(ARG "" "ALIAS;EXPORT_DEFINE" "SOURCES;PUBLIC_LINK;PRIVATE_LINK;INCLUDE_DIRS" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES})
  add_library(tvk::${ARG_ALIAS} ALIAS ${name})
  set_target_properties(${name} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    EXPORT_NAME ${ARG_ALIAS})
  target_compile_definitions(${name} PRIVATE ${ARG_EXPORT_DEFINE})
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/tvk>)
  foreach(dir IN LISTS ARG_INCLUDE_DIRS)
    target_include_directories(${name} PUBLIC $<BUILD_INTERFACE:${dir}>)
  endforeach()
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_LINK} PRIVATE ${ARG_PRIVATE_LINK} tvk_warnings)
  set_property(GLOBAL APPEND PROPERTY TVK_LIBRARIES ${name})
endfunction()

# tvk_add_test(<name> SOURCES ... LIBS ...): one GoogleTest executable under ctest.
function(tvk_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main tvk_warnings)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
endfunction()
