#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds, and shows the programs at work on the
# simulated board: an LTC hash board with a temperature sensor probed by
# miner-probe, then one I2C write and one I2C read by i2c-bitbang.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build -DMINER_TOOLS_WERROR=ON >/dev/null
cmake --build build -j"$(nproc)" >/dev/null

board_sim=build/sim/board_sim/board-sim
waves=build/demo
mkdir -p "$waves"

if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; else bold= plain=; fi
step() { printf '\n%s### %s%s\n' "$bold" "$*" "$plain"; }

step "miner-probe finds an LTC hash board whose temperature sensor answers"
"$board_sim" probe --family ltc --sensor answers

step "i2c-bitbang writes 200, masked to 7 bits: 72 (0x48)"
"$board_sim" i2c write 200 --vcd "$waves/i2c-write.vcd"

step "i2c-bitbang reads the byte a device holding 0xA5 answers"
"$board_sim" i2c --device-byte 0xa5 read --vcd "$waves/i2c-read.vcd"

step "More scenarios: $board_sim --help"
