include(CMakePackageConfigHelpers)
get_property(_tvk_libs GLOBAL PROPERTY TVK_LIBRARIES)
install(TARGETS ${_tvk_libs} tvk_warnings EXPORT tvkTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tvk)
foreach(dir platform/base kernel fieldlink plcconfig)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${dir}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tvk
    FILES_MATCHING PATTERN "*.h" PATTERN "tvklist" PATTERN "tvkvector")
endforeach()
install(EXPORT tvkTargets NAMESPACE tvk:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tvk)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tvkConfig.cmake.in
  ${PROJECT_BINARY_DIR}/tvkConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tvk)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tvkConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tvkConfig.cmake ${PROJECT_BINARY_DIR}/tvkConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tvk)
foreach(lib ${_tvk_libs})
  # What a library's users must link too: its public dependencies.
  set(TVK_PC_REQUIRES "")
  if(lib STREQUAL "tvk_fieldlink")
    set(TVK_PC_REQUIRES "tvk_base libmodbus")
  elseif(lib STREQUAL "tvk_plcconfig")
    set(TVK_PC_REQUIRES "tvk_base RapidJSON")
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/tvk.pc.in ${PROJECT_BINARY_DIR}/${lib}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${lib}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
