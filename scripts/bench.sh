#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds, and prints the benchmark tables (Markdown):
# the machine, the programs' stripped sizes in every build found, then
# miner-probe's wall time against its fixed waits, its system calls against
# what its UART link needs, its records and wall time on a paced wire (family
# x chips x latency), and i2c-bitbang's system calls and wall time against its
# bus sequence, with peak memory, all measured on the simulated board (root
# needed). Arguments go to miner-bench (--runs N, --no-board-runs N,
# --i2c-runs N, --wire-runs N). BUILD_DIR picks the build tree (default
# out/bench, an optimised build this script configures itself).
#
#   scripts/bench.sh [--runs N] [--no-board-runs N] [--i2c-runs N] [--wire-runs N]
set -euo pipefail
case "${1:-}" in
  -h|--help) echo "usage: $0 [--runs N] [--no-board-runs N] [--i2c-runs N] [--wire-runs N]    (as root)"; exit 0 ;;
esac
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-out/bench}

scripts/setup.sh >&2
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMINER_TOOLS_WERROR=ON >/dev/null
fi
cmake --build "$build" -j"$(nproc)" >/dev/null

cache() { sed -n "s/^$1:[A-Z]*=//p" "$2/CMakeCache.txt" 2>/dev/null; }

echo "### Machine"
echo
echo "- CPU: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1), $(nproc) cores available"
echo "- kernel: $(uname -sr), $(uname -m)"
echo "- compiler: $("$(cache CMAKE_CXX_COMPILER "$build")" --version | head -n 1)"
echo "- timings from $build/"
echo

# The strip that understands a binary's machine, or nothing.
strip_for() {
  local machine
  machine=$(readelf -h "$1" 2>/dev/null | sed -n 's/^ *Machine: *//p')
  case "$machine" in
    *MIPS*) for tool in mips-linux-gnu-strip mips-openwrt-linux-musl-strip llvm-strip; do
              command -v "$tool" >/dev/null && { echo "$tool"; return; }
            done ;;
    *) command -v strip ;;
  esac
}

# Every build tree with the two programs, the benchmarked one first, once each.
builds=("$build")
for dir in out/*/; do
  dir=${dir%/}
  [ "$dir" = "${build%/}" ] || builds+=("$dir")
done

echo "### Program sizes"
echo
echo "| build | type | program | machine | linked | file | stripped |"
echo "|---|---|---|---|---|---:|---:|"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for dir in "${builds[@]}"; do
  for program in probe/miner-probe i2c/i2c-bitbang; do
    file="$dir/$program"
    [ -f "$file" ] || continue
    machine=$(readelf -h "$file" | sed -n 's/^ *Machine: *//p')
    if readelf -d "$file" 2>/dev/null | grep -q NEEDED; then linked=dynamic; else linked=static; fi
    stripped=-
    tool=$(strip_for "$file" || true)
    if [ -n "$tool" ] && "$tool" -o "$tmp/s" "$file" 2>/dev/null; then
      stripped=$(stat -c %s "$tmp/s")
    fi
    type=$(cache CMAKE_BUILD_TYPE "$dir")
    echo "| $dir | ${type:--} | ${program#*/} | $machine | $linked | $(stat -c %s "$file") | $stripped |"
  done
done
echo

# Peak memory of every build this machine can run (same machine, any C library).
host_machine=$(readelf -h "$build/probe/miner-probe" | sed -n 's/^ *Machine: *//p')
echo "### Peak memory by build"
echo
echo "One run each: miner-probe on an LTC board with its sensor, i2c-bitbang reading."
echo
echo "| build | miner-probe | with shell | i2c-bitbang |"
echo "|---|---:|---:|---:|"
for dir in "${builds[@]}"; do
  probe="$PWD/$dir/probe/miner-probe" i2c="$PWD/$dir/i2c/i2c-bitbang"
  [ -x "$probe" ] && [ -x "$i2c" ] || continue
  [ "$(readelf -h "$probe" | sed -n 's/^ *Machine: *//p')" = "$host_machine" ] || continue
  MINER_PROBE_BIN=$probe I2C_BITBANG_BIN=$i2c "$build/bench/miner-bench" --memory-row "$dir"
done
echo

"$build/bench/miner-bench" "$@"
