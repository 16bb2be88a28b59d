# SPDX-License-Identifier: MIT
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBMODBUS REQUIRED IMPORTED_TARGET libmodbus>=3.1)
find_package(RapidJSON REQUIRED CONFIG)
if(NOT TARGET RapidJSON::RapidJSON)
  # Debian's config exports only variables.
  add_library(RapidJSON::RapidJSON INTERFACE IMPORTED)
  set_target_properties(RapidJSON::RapidJSON PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${RapidJSON_INCLUDE_DIRS}${RAPIDJSON_INCLUDE_DIRS}")
endif()
find_package(Threads REQUIRED)
# Modbus/TCP Security: TLS from Debian's OpenSSL 3, linked privately.
find_package(OpenSSL 3 REQUIRED)
# The tools' and the demo's options.
find_package(CLI11 CONFIG REQUIRED)
if(TVK_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
