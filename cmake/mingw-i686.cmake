# Cross build for 32-bit Windows with Debian's mingw-w64; tests run under Wine. The win32 thread model
# keeps winpthreads (which needs Vista or later) out of the program, so it runs on NT 5.0 and later.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The command that runs this tree's programs; the end-to-end tests of a native tree read it too.
set(UPLOADER_WINE wine CACHE STRING "Command that runs this tree's Windows programs")
set(CMAKE_CROSSCOMPILING_EMULATOR ${UPLOADER_WINE})
