# Shared by the two MinGW-w64 toolchain files, which set TOOLCHAIN_PREFIX and the processor.
#
# MINGW_THREADS picks the compiler's thread model. The tools and tests use "posix": GoogleTest
# needs std::mutex, which the win32 model lacks in GCC 12, and winpthreads is linked statically
# with the rest. The shipped programs use "win32": winpthreads imports functions that Windows XP
# does not have (GetTickCount64 among them).
set(CMAKE_SYSTEM_NAME Windows)
if(NOT MINGW_THREADS)
  set(MINGW_THREADS posix)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MINGW_THREADS)
set(CMAKE_C_COMPILER ${TOOLCHAIN_PREFIX}-gcc-${MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-${MINGW_THREADS})
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
