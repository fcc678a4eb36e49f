# Cross-build for 32-bit Windows with the i686 mingw-w64 toolchain.
#
# The win32-threads compiler is used on purpose: the posix-threads variant
# links winpthreads, which imports kernel32 functions that Windows 98 lacks.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 4.0)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(VNTR_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_CXX_COMPILER ${VNTR_MINGW_TRIPLE}-g++-win32)
set(CMAKE_RC_COMPILER ${VNTR_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VNTR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
