# Cross-compiling for 32-bit Windows (i686) with MinGW-w64; Windows programs run under Wine.
set(TOOLCHAIN_PREFIX i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
