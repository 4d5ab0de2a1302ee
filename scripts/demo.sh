#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds, and shows the programs at work on the
# simulated board, from the committed scenarios (scenarios/): an LTC hash
# board with a temperature sensor probed by miner-probe, then one I2C write
# and one I2C read by i2c-bitbang.
#
#   scripts/demo.sh     (as root; builds the host preset into out/host)
set -euo pipefail
case "${1:-}" in
  "") ;;
  -h|--help) echo "usage: $0    (as root: build the host preset, run the programs on the simulated board)"; exit 0 ;;
  *) echo "usage: $0" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."

scripts/setup.sh
# The developers' host preset (out/host), never a user's own build/ tree.
if [ ! -f out/host/CMakeCache.txt ]; then
  cmake --preset host >/dev/null
fi
cmake --build --preset host >/dev/null

board_sim=out/host/sim/board_sim/board-sim
waves=out/host/demo
mkdir -p "$waves"

if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; else bold= plain=; fi
step() { printf '\n%s### %s%s\n' "$bold" "$*" "$plain"; }

# The scenario's own note says what it shows.
note() { sed -n 's/^ *"note": "\(.*\)",*$/\1/p' "$1"; }

step "$(note scenarios/ltc-with-sensor.json)"
"$board_sim" probe --scenario scenarios/ltc-with-sensor.json

step "$(note scenarios/i2c-write.json)"
"$board_sim" i2c --scenario scenarios/i2c-write.json --vcd "$waves/i2c-write.vcd"

step "$(note scenarios/i2c-read.json)"
"$board_sim" i2c --scenario scenarios/i2c-read.json --vcd "$waves/i2c-read.vcd"

step "More scenarios: ls scenarios/; $board_sim probe --help lists every key"
