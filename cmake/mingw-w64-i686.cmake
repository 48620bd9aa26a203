# Cross-compiling for 32-bit Windows with Debian's mingw-w64 (posix threads).
# Programs that the build itself runs (the type-library generator) run
# under Wine's 32-bit loader when it is installed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)

# Every Double operation in SSE2 registers, as on x86-64: the x87 unit's
# 80-bit intermediates would round twice and give other bits.
# __CRT__NO_INLINE drops the runtime headers' x87 inline assembly (fabs,
# fpclassify), so the compiler's own SSE2 forms are used. Hosts call in
# with a 4-byte aligned stack; -mstackrealign realigns it where SSE data
# needs more.
set(KESTRIM_I686_FLAGS "-msse2 -mfpmath=sse -mstackrealign -D__CRT__NO_INLINE")
set(CMAKE_C_FLAGS_INIT "${KESTRIM_I686_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${KESTRIM_I686_FLAGS}")

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian's 32-bit loader (package wine32:i386), else the `wine` command.
find_program(KESTRIM_WINE NAMES wine HINTS /usr/lib/wine)
if(KESTRIM_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTRIM_WINE})
endif()
