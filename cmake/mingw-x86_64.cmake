# The same sources for 64-bit Windows, for testing on hosts whose kernel cannot run 32-bit programs
# (and so not Wine's 32-bit loader). The shipped program stays the 32-bit one (mingw-i686.cmake).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# /usr/bin/wine always picks the 32-bit loader when it is installed; this runs the 64-bit one.
set(UPLOADER_WINE ${CMAKE_CURRENT_LIST_DIR}/wine64 CACHE STRING "Command that runs this tree's Windows programs")
set(CMAKE_CROSSCOMPILING_EMULATOR ${UPLOADER_WINE})
