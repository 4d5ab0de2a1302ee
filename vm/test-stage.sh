#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The `vm` stage of scripts/test.sh: builds the board programs (the board
# preset), the emulated board's image (vm/build-image.sh, cached) and the
# host's test harness, then runs the tests labelled "vm" on the emulated board.
# BOARD_VM_PROGRAMS names other board programs to test instead, and
# BOARD_VM_PROGRAMS_512 ones built with MINER_TOOLS_GPIO_BASE=512.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${BOARD_VM_PROGRAMS:-}" ]; then
  cmake --preset board >/dev/null
  cmake --build --preset board
  export BOARD_VM_PROGRAMS=$PWD/out/board
fi
# The same programs built for a GPIO controller at base 512, for the tests
# of the init scripts on a board whose kernel puts the controller there.
if [ -z "${BOARD_VM_PROGRAMS_512:-}" ]; then
  cmake --preset board -B out/board-512 -DMINER_TOOLS_GPIO_BASE=512 >/dev/null
  cmake --build out/board-512 --target miner-probe i2c-bitbang
  export BOARD_VM_PROGRAMS_512=$PWD/out/board-512
fi
BOARD_VM_IMAGE=$(vm/build-image.sh | tail -1)
export BOARD_VM_IMAGE
cmake --preset host >/dev/null
cmake --build out/host -j2 --target board_vm_test
ctest --test-dir out/host -L vm --output-on-failure --no-tests=error
