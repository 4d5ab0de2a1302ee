# SPDX-License-Identifier: MIT
# cmake -D SOURCE_DIR=... -D BINARY_DIR=... -D HARNESS_DIR=... -D GPIO_BASE=512
#       -D JOBS=... -D GENERATOR=... -D C_COMPILER=... -D CXX_COMPILER=... -D BUILD_TYPE=...
#       -P gpio_base_e2e.cmake
# Builds the two programs alone with MINER_TOOLS_GPIO_BASE=GPIO_BASE in
# BINARY_DIR, then runs the end-to-end tests of the build in HARNESS_DIR on
# them, JOBS at once, with the simulated board's lines renumbered to match (gpio528, gpio531,
# gpio535, gpio539 for 512).
if(NOT EXISTS ${BINARY_DIR}/CMakeCache.txt)
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${BINARY_DIR} -G ${GENERATOR}
                          -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
                          -DCMAKE_BUILD_TYPE=${BUILD_TYPE} -DBUILD_TESTING=OFF -DMINER_TOOLS_WERROR=ON
                          -DMINER_TOOLS_GPIO_BASE=${GPIO_BASE}
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY_DIR} --target miner-probe i2c-bitbang
                COMMAND_ERROR_IS_FATAL ANY)

set(ENV{MINER_PROBE_BIN} ${BINARY_DIR}/probe/miner-probe)
set(ENV{I2C_BITBANG_BIN} ${BINARY_DIR}/i2c/i2c-bitbang)
set(ENV{MINER_TOOLS_GPIO_BASE} ${GPIO_BASE})
message(STATUS "end-to-end tests of the programs built with MINER_TOOLS_GPIO_BASE=${GPIO_BASE}")
# The paced-wire tests are left out: they exercise the UART exchange, which the
# base does not touch, while the other end-to-end tests use every GPIO path.
execute_process(COMMAND ${CMAKE_CTEST_COMMAND} --test-dir ${HARNESS_DIR} -L e2e -E "^probe[.]wire[.]" -j ${JOBS}
                        --output-on-failure --no-tests=error
                COMMAND_ERROR_IS_FATAL ANY)
