# Cross build for 32-bit Windows with Debian's mingw-w64; tests run under Wine. The win32 thread model
# keeps winpthreads (which needs Vista or later) out of the program, so it runs on NT 5.0 and later.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(mingw_triple i686-w64-mingw32)
set(UPLOADER_WINE wine CACHE STRING "Command that runs this tree's Windows programs")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
