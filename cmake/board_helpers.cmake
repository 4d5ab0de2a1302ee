# SPDX-License-Identifier: MIT
# Small C programs for the board, built by a native build for its tests: with
# Debian's mips-linux-gnu-gcc and the board's soft-float runtime
# (scripts/board-musl.sh, which scripts/setup.sh builds), as the board's own
# programs are, or with HARD_FLOAT by Debian's hard-float glibc toolchain, for
# showing that such a program dies on the board's FPU-less CPU.
#
#   board_helper(OUTPUT SOURCE [HARD_FLOAT])   a custom command making OUTPUT
#
# BOARD_HELPERS is false, with a status message, when the compiler or the
# runtime is missing.
set(BOARD_HELPERS OFF)
find_program(MIPS_GCC mips-linux-gnu-gcc)
if(NOT MIPS_GCC)
  message(STATUS "mips-linux-gnu-gcc not found: no programs for the board in the tests")
  return()
endif()
execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/board-musl.sh --prefix
  OUTPUT_VARIABLE board_runtime RESULT_VARIABLE board_runtime_status ERROR_QUIET)
if(NOT board_runtime_status EQUAL 0)
  message(STATUS "the board's runtime is not built (scripts/board-musl.sh): no programs for the board in the tests")
  return()
endif()
string(REGEX REPLACE ".*\n([^\n]+)\n?$" "\\1" board_runtime "${board_runtime}")
# The runtime's directory is keyed by that script's build steps.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/scripts/board-musl.sh)
set(BOARD_HELPERS ON)

function(board_helper output source)
  cmake_parse_arguments(PARSE_ARGV 2 arg "HARD_FLOAT" "" "")
  if(arg_HARD_FLOAT)
    set(flags -mhard-float -static -O2)
    set(what "hard-float, with Debian's glibc toolchain")
  else()
    set(flags -specs=${board_runtime}/lib/board-gcc.specs -static -Os)
    set(what "for the board")
  endif()
  list(APPEND flags -Wall -Wextra)
  if(MINER_TOOLS_WERROR)
    list(APPEND flags -Werror)
  endif()
  get_filename_component(name ${output} NAME)
  add_custom_command(OUTPUT ${output}
    COMMAND ${MIPS_GCC} ${flags} -o ${output} ${source}
    DEPENDS ${source}
    COMMENT "Building ${name} ${what}"
    VERBATIM)
endfunction()
