# SPDX-License-Identifier: MIT
# tvk_add_fuzz_target(<name> SOURCES <file>... CORPUS <dir> TEST <test name>
#                     [LIBRARY <library target> [INTERNAL]] [LIBS <target>...]
#                     [INCLUDES <dir>...] [FUZZ_OPTIONS <option>...])
#
# One fuzz target, LLVMFuzzerTestOneInput in SOURCES, with its seed corpus:
#  - with TVK_BUILD_FUZZ, the libFuzzer program fuzz_<name>, FUZZ_OPTIONS
#    added to its compile and link lines, and fuzz_<name>.corpus beside it, a
#    link to the seed corpus (fuzz/run-fuzz.sh finds the targets and their
#    seeds by these links);
#  - with TVK_BUILD_TESTS, the plain program fuzz_<name>_replay
#    (fuzz/replay_main.cpp) and the test <test name> that runs it over the
#    corpus.
# LIBRARY is the library under test. The fuzzer compiles its sources in, so
# that they carry the coverage instrumentation whatever the library was
# built with; the replay links it, or compiles it in too when the target
# reaches INTERNAL units the shared library does not export.
function(tvk_add_fuzz_target name)
  cmake_parse_arguments(ARG "INTERNAL" "CORPUS;TEST;LIBRARY" "SOURCES;LIBS;INCLUDES;FUZZ_OPTIONS" ${ARGN})
  if(NOT ARG_SOURCES OR NOT ARG_CORPUS OR NOT ARG_TEST)
    message(FATAL_ERROR "tvk_add_fuzz_target(${name}): SOURCES, CORPUS and TEST are required")
  endif()
  cmake_path(ABSOLUTE_PATH ARG_CORPUS BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} NORMALIZE)
  if(TVK_BUILD_FUZZ)
    _tvk_fuzz_program(fuzz_${name} ON)
    target_compile_options(fuzz_${name} PRIVATE -fsanitize=fuzzer ${ARG_FUZZ_OPTIONS})
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer ${ARG_FUZZ_OPTIONS})
    file(CREATE_LINK ${ARG_CORPUS} ${CMAKE_CURRENT_BINARY_DIR}/fuzz_${name}.corpus SYMBOLIC)
  endif()
  if(TVK_BUILD_TESTS)
    _tvk_fuzz_program(fuzz_${name}_replay ${ARG_INTERNAL})
    target_sources(fuzz_${name}_replay PRIVATE ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
    add_test(NAME ${ARG_TEST} COMMAND fuzz_${name}_replay ${ARG_CORPUS})
    set_tests_properties(${ARG_TEST} PROPERTIES TIMEOUT 120)
  endif()
endfunction()

# The program <target> from the caller's arguments; with <compile_in> the
# library under test is compiled into it, else linked.
function(_tvk_fuzz_program target compile_in)
  add_executable(${target} ${ARG_SOURCES})
  target_include_directories(${target} PRIVATE ${ARG_INCLUDES})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} tvk::testsupport tvk_warnings)
  if(NOT ARG_LIBRARY)
    return()
  endif()
  if(NOT compile_in)
    target_link_libraries(${target} PRIVATE ${ARG_LIBRARY})
    return()
  endif()
  get_target_property(sources ${ARG_LIBRARY} SOURCES)
  get_target_property(dir ${ARG_LIBRARY} SOURCE_DIR)
  get_target_property(links ${ARG_LIBRARY} LINK_LIBRARIES)
  list(TRANSFORM sources PREPEND ${dir}/ REGEX "^[^/]")
  target_sources(${target} PRIVATE ${sources})
  # Its own include directories and export define: the sources and the
  # target see the library's internals as the library itself does.
  target_include_directories(${target} PRIVATE $<TARGET_PROPERTY:${ARG_LIBRARY},INCLUDE_DIRECTORIES>)
  target_compile_definitions(${target} PRIVATE $<TARGET_PROPERTY:${ARG_LIBRARY},COMPILE_DEFINITIONS>)
  target_link_libraries(${target} PRIVATE ${links})
endfunction()
