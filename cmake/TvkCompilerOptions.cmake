# SPDX-License-Identifier: MIT
# Warnings and sanitizers, applied to every target of the project.
add_library(tvk_warnings INTERFACE)
# gcc warns about a cast to a more strictly aligned type only where the
# processor requires the alignment (32-bit ARM) unless asked to everywhere:
# strict, so that the x86-64 build refuses what the armhf build would.
target_compile_options(tvk_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
  $<IF:$<CXX_COMPILER_ID:GNU>,-Wcast-align=strict,-Wcast-align>
  -Woverloaded-virtual -Wformat=2 -Wimplicit-fallthrough)
if(TVK_WERROR)
  target_compile_options(tvk_warnings INTERFACE -Werror)
endif()

# Files past 2 GiB on 32-bit panels (armhf) as on 64-bit ones: without a
# 64-bit off_t, open() refuses such a file (EOVERFLOW) before its size can
# be looked at. Nothing public passes an off_t; time_t stays as Debian's
# libraries take it.
add_compile_definitions(_FILE_OFFSET_BITS=64)

if(TVK_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
