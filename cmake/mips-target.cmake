# SPDX-License-Identifier: MIT
# What both big-endian MIPS toolchain files share: look for libraries, headers
# and packages only under the target root CMAKE_FIND_ROOT_PATH (set by the
# including file), for programs only on the build machine, and run target
# programs under qemu-mips-static when it is installed.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(QEMU_MIPS qemu-mips-static)
if(QEMU_MIPS)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_MIPS})
endif()
