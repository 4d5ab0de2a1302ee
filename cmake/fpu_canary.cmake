# SPDX-License-Identifier: MIT
# The board's CPU has no FPU. With the board's toolchain, two tests show that
# the emulator the board programs are tested under has none either, and that
# the toolchain's floating point works without one:
#   board.fpu.soft_float_runs       the board toolchain's build of a float
#                                   program prints the right number;
#   board.fpu.hard_float_dies       Debian's hard-float build of the same
#                                   program dies with SIGILL.
set(canary_source ${PROJECT_SOURCE_DIR}/tests/fpu/float_canary.c)
add_executable(float-canary ${canary_source})
set_target_properties(float-canary PROPERTIES LINKER_LANGUAGE C)
add_test(NAME board.fpu.soft_float_runs COMMAND float-canary 1.5)
set_tests_properties(board.fpu.soft_float_runs PROPERTIES PASS_REGULAR_EXPRESSION "^3\\.75\n$")

# The compiler itself, without the board runtime's settings, is Debian's
# hard-float glibc toolchain.
set(hard_canary ${CMAKE_CURRENT_BINARY_DIR}/float-canary-hardfloat)
add_custom_command(OUTPUT ${hard_canary}
  COMMAND ${CMAKE_C_COMPILER} -mhard-float -static -O2 -o ${hard_canary} ${canary_source}
  DEPENDS ${canary_source}
  COMMENT "Building the hard-float canary with Debian's glibc toolchain"
  VERBATIM)
add_custom_target(hard-float-canary ALL DEPENDS ${hard_canary})
add_test(NAME board.fpu.hard_float_dies
  COMMAND ${PROJECT_SOURCE_DIR}/tests/fpu/hard_float_dies.sh ${hard_canary} ${CMAKE_CROSSCOMPILING_EMULATOR})
