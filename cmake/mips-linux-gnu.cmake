# SPDX-License-Identifier: MIT
# 32-bit big-endian MIPS with Debian's cross compilers (package
# g++-mips-linux-gnu), everything linked statically so that the programs and
# the unit tests run under qemu-mips-static (package qemu-user-static) with no
# target root file system.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(CMAKE_C_COMPILER mips-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mips-linux-gnu-g++)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(CMAKE_FIND_ROOT_PATH /usr/mips-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/mips-target.cmake)
