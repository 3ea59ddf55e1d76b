# SPDX-License-Identifier: Apache-2.0
# Cross build for 64-bit ARM Linux with Debian's GNU toolchain; the tests run
# under qemu-user with the target's libraries from Debian's cross packages:
#   cmake -S . -B build-aarch64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#
# GCC for 64-bit ARM fuses a product and a following addition into one
# rounding by default, even under -std=c++17; the project-wide
# -ffp-contract=off is what keeps the results equal to the reference's bits,
# and the hand-worked core tests fail without it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(VEILCAST_AARCH64_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${VEILCAST_AARCH64_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VEILCAST_AARCH64_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${VEILCAST_AARCH64_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(VEILCAST_QEMU_AARCH64 qemu-aarch64)
if(VEILCAST_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VEILCAST_QEMU_AARCH64} -L /usr/${VEILCAST_AARCH64_TRIPLE})
endif()
