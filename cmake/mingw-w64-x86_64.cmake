# SPDX-License-Identifier: Apache-2.0
# Cross build for 64-bit Windows with Debian's MinGW-w64 toolchain, posix-threads
# variant (std::thread and std::mutex need it):
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VEILCAST_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VEILCAST_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VEILCAST_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VEILCAST_MINGW_TRIPLE}-windres)

# GCC cannot realign the stack of a 64-bit Windows function, so a spilled
# 256- or 512-bit vector may sit at an address its aligned move faults on.
# The assembler writes every aligned vector move as an unaligned one, which
# costs nothing on aligned data and leaves the arithmetic untouched.
set(CMAKE_C_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")
set(CMAKE_CXX_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")

set(CMAKE_FIND_ROOT_PATH /usr/${VEILCAST_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests run under Wine, quietly; the Wine prefix is the caller's (WINEPREFIX).
find_program(VEILCAST_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(VEILCAST_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env WINEDEBUG=-all ${VEILCAST_WINE})
endif()
