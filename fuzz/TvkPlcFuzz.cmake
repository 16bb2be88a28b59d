# tvk_add_plcconfig_fuzz(<name> <driver source> [<extra compile/link option>...])
# The script reader's fuzz target with the library's sources compiled in, so
# that the internal text entry point is reachable and instrumented.
function(tvk_add_plcconfig_fuzz name driver)
  add_executable(${name} ${PROJECT_SOURCE_DIR}/fuzz/plcconfig_fuzz.cpp ${driver} ${TVK_PLCCONFIG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/plcconfig ${PROJECT_SOURCE_DIR}/common)
  target_compile_definitions(${name} PRIVATE TVK_BUILD_PLCCONFIG)
  target_link_libraries(${name} PRIVATE tvk::base RapidJSON::RapidJSON tvk_warnings)
  if(ARGN)
    target_compile_options(${name} PRIVATE ${ARGN})
    target_link_options(${name} PRIVATE ${ARGN})
  endif()
endfunction()

# tvk_add_plccheck_fuzz(<name> <driver source> [<extra compile/link option>...])
# The checker's explanations over the library's verdicts, for any text.
function(tvk_add_plccheck_fuzz name driver)
  add_executable(${name} ${PROJECT_SOURCE_DIR}/fuzz/plccheck_fuzz.cpp ${driver}
    ${PROJECT_SOURCE_DIR}/tools/plccheck/plcdocumentcheck.cpp)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tools/plccheck)
  target_link_libraries(${name} PRIVATE tvk::plcconfig tvk_warnings)
  if(ARGN)
    target_compile_options(${name} PRIVATE ${ARGN})
    target_link_options(${name} PRIVATE ${ARGN})
  endif()
endfunction()
