# SPDX-License-Identifier: MIT
# End-to-end tests of a build whose programs cannot carry the test harness
# (musl: no C++ test libraries; MIPS: no FUSE, and the harness needs the
# host's namespaces anyway). The harness of a native build, named by its
# configure preset, is built when missing and its tests labelled "e2e" are run
# with MINER_PROBE_BIN and I2C_BITBANG_BIN naming this build's programs, and
# TARGET_EMULATOR the emulator command that runs them, its options included
# (e.g. "qemu-mips-static -cpu 24Kc"; empty for a native build), and
# MINER_TOOLS_GPIO_BASE the GPIO base they were built with. A preset may leave
# some out (MINER_TOOLS_HARNESS_EXCLUDE): the musl-static and mips presets leave
# out the paced-wire tests, which the host build and the board's build run.
set(MINER_TOOLS_HARNESS_PRESET "" CACHE STRING
  "Configure preset of the native build whose end-to-end tests run this build's programs")
set(MINER_TOOLS_HARNESS_DIR "" CACHE PATH "Binary directory of that preset")
set(MINER_TOOLS_HARNESS_EXCLUDE "" CACHE STRING "Regular expression of harness tests this build leaves out")

if(MINER_TOOLS_HARNESS_PRESET)
  if(NOT MINER_TOOLS_HARNESS_DIR)
    message(FATAL_ERROR "MINER_TOOLS_HARNESS_PRESET needs MINER_TOOLS_HARNESS_DIR")
  endif()
  # Always considered out of date; when the harness is already built this is a
  # quick no-op build of it.
  add_custom_target(e2e_harness ALL
    COMMAND ${CMAKE_COMMAND} -D PRESET=${MINER_TOOLS_HARNESS_PRESET}
            -D BINARY_DIR=${MINER_TOOLS_HARNESS_DIR}
            -P ${CMAKE_CURRENT_LIST_DIR}/build_harness.cmake
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    COMMENT "Building the end-to-end harness (preset ${MINER_TOOLS_HARNESS_PRESET})"
    VERBATIM)

  set(emulator "")
  if(CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR)
    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
  endif()
  set(exclude)
  if(MINER_TOOLS_HARNESS_EXCLUDE)
    set(exclude -E ${MINER_TOOLS_HARNESS_EXCLUDE})
  endif()
  add_test(NAME e2e.on_target
    COMMAND ${CMAKE_CTEST_COMMAND} --test-dir ${MINER_TOOLS_HARNESS_DIR} -L e2e ${exclude} -j ${MINER_TOOLS_E2E_JOBS}
            --output-on-failure --no-tests=error)
  set_tests_properties(e2e.on_target PROPERTIES
    ENVIRONMENT "MINER_PROBE_BIN=$<TARGET_FILE:miner-probe>;I2C_BITBANG_BIN=$<TARGET_FILE:i2c-bitbang>;TARGET_EMULATOR=${emulator};MINER_TOOLS_GPIO_BASE=${MINER_TOOLS_GPIO_BASE}"
    RUN_SERIAL ON
    TIMEOUT 900)
endif()
