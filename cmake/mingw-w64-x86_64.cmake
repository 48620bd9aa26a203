# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (posix threads).
# Programs that the build itself runs (the type-library generator) run
# under Wine's 64-bit loader when it is installed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian's `wine` command starts the 32-bit loader as soon as wine32 is
# installed, so the 64-bit loader is named: Debian's, then a `wine64` on the
# path, then `wine` (a Wine whose one command runs both kinds).
find_program(KESTRIM_WINE NAMES wine64 wine HINTS /usr/lib/wine)
if(KESTRIM_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTRIM_WINE})
endif()
