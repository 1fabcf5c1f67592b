# Cross-compiling for 32-bit Windows with MinGW-w64 (Debian's
# g++-mingw-w64-i686): the pointer size of the NT 4.0 spooler.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QUENNET_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
