# The same cross build with the posix thread model, for test programs: GoogleTest needs std::mutex,
# which the win32 thread model of this compiler lacks. The shipped program uses mingw-i686.cmake.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686.cmake)
set(CMAKE_C_COMPILER ${mingw_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${mingw_triple}-g++-posix)
