# SPDX-License-Identifier: MIT
# 32-bit ARM Linux with Debian's armel cross compiler, for ARMv5TE: the
# oldest CPU the device binary is to run on, so it runs on every later one.
# The agent itself links musl (see musl.cmake); the unit tests link
# the compiler's glibc and run here under qemu-arm-static.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
set(CMAKE_C_FLAGS_INIT "-march=armv5te -marm")
set(CMAKE_CXX_FLAGS_INIT "-march=armv5te -marm")
set(ARM_SYSROOT /usr/arm-linux-gnueabi)

set(CMAKE_FIND_ROOT_PATH ${ARM_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(QEMU_ARM qemu-arm-static)
if(QEMU_ARM)
  # -L lets dynamically linked test programs find the target's libraries.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_ARM} -L ${ARM_SYSROOT})
endif()
