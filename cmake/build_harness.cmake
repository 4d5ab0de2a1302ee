# SPDX-License-Identifier: MIT
# cmake -D PRESET=<configure preset> -D BINARY_DIR=<its binary dir> -P build_harness.cmake
# Configures the preset when it has no build tree yet, then builds it.
# Run from the source directory.
if(NOT EXISTS ${BINARY_DIR}/CMakeCache.txt)
  execute_process(COMMAND ${CMAKE_COMMAND} --preset ${PRESET} COMMAND_ERROR_IS_FATAL ANY)
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY_DIR} COMMAND_ERROR_IS_FATAL ANY)
