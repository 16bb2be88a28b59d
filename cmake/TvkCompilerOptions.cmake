# SPDX-License-Identifier: MIT
# Warnings and sanitizers, applied to every target of the project.
add_library(tvk_warnings INTERFACE)
target_compile_options(tvk_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
  -Woverloaded-virtual -Wformat=2 -Wimplicit-fallthrough)
if(TVK_WERROR)
  target_compile_options(tvk_warnings INTERFACE -Werror)
endif()

if(TVK_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
