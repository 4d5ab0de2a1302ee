# SPDX-License-Identifier: MIT
# The board: 32-bit big-endian MIPS32r2, soft-float (the board's 24Kc/74Kc
# cores have no FPU), tuned for the 24Kc, static against musl. The runtime
# (musl, the soft-float routines, libgcc's FPU-free part) is built from
# Debian's sources for Debian's mips-linux-gnu-gcc by scripts/board-musl.sh
# (cached outside the tree; built here when missing). BOARD_MUSL_PREFIX, as a
# cache or environment variable, names another prefix made by that script.
#
# The runtime's compiler settings (board-gcc.specs) replace glibc's headers,
# start files and libraries with the runtime's, and make the CPU flags the
# default. They go into the C and C++ compile flags only:
# CMake repeats the compile flags on the link line, and naming the settings file
# a second time there makes the driver refuse it (it would redefine
# cpp_options). There is no
# C++ library for this musl: only code that needs none of it builds here (the
# shipped programs, linked by the C driver, and the fuzz replay drivers).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

if(NOT BOARD_MUSL_PREFIX AND DEFINED ENV{BOARD_MUSL_PREFIX})
  set(BOARD_MUSL_PREFIX "$ENV{BOARD_MUSL_PREFIX}")
endif()
if(NOT BOARD_MUSL_PREFIX)
  execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/board-musl.sh
    OUTPUT_VARIABLE musl_out RESULT_VARIABLE musl_status)
  if(NOT musl_status EQUAL 0)
    message(FATAL_ERROR "The board's musl could not be built (scripts/board-musl.sh said why above)")
  endif()
  string(STRIP "${musl_out}" musl_out)
  string(REGEX REPLACE ".*\n" "" BOARD_MUSL_PREFIX "${musl_out}")
  set(BOARD_MUSL_PREFIX "${BOARD_MUSL_PREFIX}" CACHE PATH "Install prefix of musl for big-endian MIPS")
endif()
set(board_specs ${BOARD_MUSL_PREFIX}/lib/board-gcc.specs)
if(NOT EXISTS ${board_specs})
  message(FATAL_ERROR "${board_specs} not found: BOARD_MUSL_PREFIX must name a prefix made by scripts/board-musl.sh")
endif()
# The CPU flags, also on the command lines for all to see.
execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/board-musl.sh --cpu-flags
  OUTPUT_VARIABLE board_cpu_flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
# CMake reads this file again for its compiler checks; pass the prefix on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES BOARD_MUSL_PREFIX)

find_program(BOARD_CC mips-linux-gnu-gcc)
find_program(BOARD_CXX mips-linux-gnu-g++)
if(NOT BOARD_CC OR NOT BOARD_CXX)
  message(FATAL_ERROR "mips-linux-gnu-gcc/g++ not found: install Debian's g++-mips-linux-gnu")
endif()
set(CMAKE_C_COMPILER ${BOARD_CC})
set(CMAKE_CXX_COMPILER ${BOARD_CXX})
set(CMAKE_C_FLAGS_INIT "-specs=${board_specs} ${board_cpu_flags}")
set(CMAKE_CXX_FLAGS_INIT "-specs=${board_specs} ${board_cpu_flags}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# A test link of C++ would need a C++ library for musl; compiling is enough.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_FIND_ROOT_PATH ${BOARD_MUSL_PREFIX})
include(${CMAKE_CURRENT_LIST_DIR}/mips-target.cmake)
# The programs run on a CPU model like the board's: a 24Kc, without an FPU
# (qemu's default MIPS CPU has one and would hide a hard-float program).
if(QEMU_MIPS)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_MIPS} -cpu 24Kc)
endif()
