# The same sources for 64-bit Windows, for testing on hosts whose kernel cannot run 32-bit programs
# (and so not Wine's 32-bit loader). The shipped program stays the 32-bit one (mingw-i686.cmake).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(mingw_triple x86_64-w64-mingw32)
# /usr/bin/wine always picks the 32-bit loader when it is installed; this runs the 64-bit one.
set(UPLOADER_WINE ${CMAKE_CURRENT_LIST_DIR}/wine64 CACHE STRING "Command that runs this tree's Windows programs")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
