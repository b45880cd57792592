# Cross build for 32-bit Windows (x86): the host of 32-bit vendor modules, and the test
# modules it loads. It runs no test program of its own.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_TRIPLE i686-w64-mingw32)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake")
