# SPDX-License-Identifier: MIT
# The board's 24Kc/74Kc cores have no FPU and its kernels do not emulate one:
# a program with one FPU instruction dies there with SIGILL. A toolchain file
# for the board calls require_soft_float() with its compiler's flags, so that a
# hard-float compiler stops the configuration instead of building programs that
# cannot run on the board.
function(require_soft_float what)
  execute_process(COMMAND ${CMAKE_C_COMPILER} ${ARGN} -dM -E -x c /dev/null
    OUTPUT_VARIABLE macros ERROR_VARIABLE errors RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what}: ${CMAKE_C_COMPILER} does not run: ${errors}")
  endif()
  if(NOT macros MATCHES "#define __mips_soft_float 1")
    message(FATAL_ERROR
      "${what}: ${CMAKE_C_COMPILER} builds hard-float code, which dies with SIGILL on the board's "
      "FPU-less 24Kc/74Kc cores. Use a soft-float toolchain: the board's own SDK is one (readelf -A "
      "on a program it builds says \"FP ABI: Soft float\"); scripts/board-musl.sh makes one from "
      "Debian's packages for the board preset.")
  endif()
endfunction()
