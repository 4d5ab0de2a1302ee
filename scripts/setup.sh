#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages the build and the tests need, when missing, then
# builds the board's C library (scripts/board-musl.sh, cached outside the tree).
# Safe to run again: it installs and builds nothing that is already there.
set -euo pipefail

case "${1:-}" in
  "") ;;
  -h|--help) echo "usage: $0    (as root: install what is missing, build the board musl)"; exit 0 ;;
  *) echo "usage: $0" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."

packages=(
  cmake g++ make pkg-config libgtest-dev   # build and unit tests
  nlohmann-json3-dev                       # board-sim scenarios and --json (support code only)
  libcli11-dev                             # command lines of board-sim and the benchmarks (header only)
  libfuse3-dev fuse3                       # simulated sysfs GPIO tree
  sigrok-cli                               # independent I2C decoder for the waveforms
  python3                                  # the link check of the docs, the waveform drawings
  util-linux                               # unshare, mount
  ninja-build                              # generator of the CMake presets
  musl-tools musl-dev                      # musl-static preset
  g++-mips-linux-gnu qemu-user-static      # mips and board presets: cross compiler, emulator
  googletest                               # GoogleTest sources, cross-built for mips
  clang                                    # fuzz targets (libFuzzer)
  clang-tidy clang-format cppcheck         # scripts/lint.sh
  file binutils                            # scripts/budgets.sh
  dpkg-dev                                 # apt-get source: the board musl (scripts/board-musl.sh)
  qemu-system-mips linux-source-6.1        # the emulated board (vm/): machine, kernel source
  flex bison bc libelf-dev rsync xz-utils  # building that kernel
)

missing_of() {  # package... -> those not installed
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}

install_missing() {  # package...
  local missing
  mapfile -t missing < <(missing_of "$@")
  [ ${#missing[@]} -gt 0 ] || return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages: ${missing[*]}; run this script as root to install them" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

install_missing "${packages[@]}"
# The sanitizer and libFuzzer runtimes of the clang just installed.
clang_major=$(clang -dumpversion | cut -d. -f1)
install_missing "libclang-rt-$clang_major-dev"

scripts/board-musl.sh
