# SPDX-License-Identifier: MIT
# tvk_add_man_page(<target> [NAME <one-line description>] [INCLUDE <file>] [OPTIONAL])
#
# Builds <target>.1 from what the program itself prints for --help and
# --version (through help2man), as part of the default build, and installs
# it to share/man/man1 in the install component tools. The page is rebuilt
# whenever the program is.
#
# Sections that --help does not hold (EXAMPLES, EXIT STATUS, SEE ALSO...)
# come from a help2man include file: INCLUDE, or else <target>.h2m beside
# the target's sources when there is one. The page is rebuilt when it
# changes.
#
# A program that does not answer --help and --version fails the build, so a
# page can never silently go stale or missing. OPTIONAL turns that failure
# into a warning and installs no page: for a program whose options are still
# being written.
#
# Without help2man, or when cross-compiling (the program cannot run here),
# no page is built and configuration says so once.
#
# This file is also the script the build runs for each page
# (cmake -P TvkManPage.cmake with the variables below set).

if(CMAKE_SCRIPT_MODE_FILE)
  # Script mode: TVK_HELP2MAN, TVK_PROGRAM, TVK_OUTPUT, TVK_NAME, TVK_INCLUDE,
  # TVK_OPTIONAL.
  set(args --no-info --section=1 --output=${TVK_OUTPUT})
  if(TVK_NAME)
    list(APPEND args "--name=${TVK_NAME}")
  endif()
  if(TVK_INCLUDE)
    list(APPEND args "--include=${TVK_INCLUDE}")
  endif()
  file(REMOVE ${TVK_OUTPUT})
  execute_process(COMMAND ${TVK_HELP2MAN} ${args} ${TVK_PROGRAM}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT EXISTS ${TVK_OUTPUT})
    file(REMOVE ${TVK_OUTPUT})
    set(text "no man page for ${TVK_PROGRAM}: help2man failed (does it answer --help and --version with exit status 0?)\n${out}${err}")
    if(TVK_OPTIONAL)
      message(WARNING "${text}")
    else()
      message(FATAL_ERROR "${text}")
    endif()
  endif()
  return()
endif()

find_program(TVK_HELP2MAN help2man)
set(_tvk_man_page_script ${CMAKE_CURRENT_LIST_FILE})

function(tvk_add_man_page target)
  cmake_parse_arguments(ARG "OPTIONAL" "NAME;INCLUDE" "" ${ARGN})
  if(NOT TVK_HELP2MAN OR CMAKE_CROSSCOMPILING)
    message(STATUS "No man page for ${target}: help2man missing or cross-compiling")
    return()
  endif()
  set(page ${CMAKE_CURRENT_BINARY_DIR}/${target}.1)
  if(NOT ARG_INCLUDE)
    get_target_property(sources ${target} SOURCE_DIR)
    if(EXISTS ${sources}/${target}.h2m)
      set(ARG_INCLUDE ${sources}/${target}.h2m)
    endif()
  endif()
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -DTVK_HELP2MAN=${TVK_HELP2MAN} -DTVK_PROGRAM=$<TARGET_FILE:${target}>
            -DTVK_OUTPUT=${page} "-DTVK_NAME=${ARG_NAME}" "-DTVK_INCLUDE=${ARG_INCLUDE}"
            -DTVK_OPTIONAL=${ARG_OPTIONAL} -P ${_tvk_man_page_script}
    DEPENDS ${target} ${_tvk_man_page_script} ${ARG_INCLUDE}
    COMMENT "Generating man page ${target}.1"
    VERBATIM)
  add_custom_target(${target}-man ALL DEPENDS ${page})
  if(ARG_OPTIONAL)
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools OPTIONAL)
  else()
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  endif()
endfunction()
