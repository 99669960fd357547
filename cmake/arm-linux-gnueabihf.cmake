# 32-bit ARM Linux, hard float, with Debian's cross compiler. Programs built
# for the target run here under qemu-arm-static.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(ARM_SYSROOT /usr/arm-linux-gnueabihf)

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
