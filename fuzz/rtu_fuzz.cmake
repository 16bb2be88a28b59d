# tvk_add_rtu_fuzz(<name> <driver source> [<extra compile/link option>...])
# The serial framing fuzz target with the framer's source compiled in, so
# the code under test is instrumented whatever the library was built with.
function(tvk_add_rtu_fuzz name driver)
  add_executable(${name} ${PROJECT_SOURCE_DIR}/fuzz/rtu_fuzz.cpp ${driver}
    ${PROJECT_SOURCE_DIR}/fieldlink/tvkrtuframer.cpp ${PROJECT_SOURCE_DIR}/fieldlink/tvkmodbuspdu.cpp)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/fieldlink
    $<TARGET_PROPERTY:tvk::base,INTERFACE_INCLUDE_DIRECTORIES>)
  target_compile_definitions(${name} PRIVATE TVK_BUILD_FIELDLINK)
  target_link_libraries(${name} PRIVATE PkgConfig::LIBMODBUS tvk_warnings)
  if(ARGN)
    target_compile_options(${name} PRIVATE ${ARGN})
    target_link_options(${name} PRIVATE ${ARGN})
  endif()
endfunction()
