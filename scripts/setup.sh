#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages the build and the tests need, when missing.
# Safe to run again: it installs nothing that is already there.
set -euo pipefail

packages=(
  cmake g++ make pkg-config libgtest-dev   # build and unit tests
  libfuse3-dev fuse3                       # simulated sysfs GPIO tree
  sigrok-cli                               # independent I2C decoder for the waveforms
  util-linux                               # unshare, mount
  ninja-build                              # generator of the CMake presets
  musl-tools musl-dev                      # musl-static preset
  g++-mips-linux-gnu qemu-user-static      # mips preset: cross compiler, emulator
  googletest                               # GoogleTest sources, cross-built for mips
  clang libclang-rt-14-dev                 # fuzz targets (libFuzzer, sanitizer runtimes)
  clang-tidy clang-format cppcheck         # scripts/lint.sh
  file binutils                            # scripts/budgets.sh
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages: ${missing[*]}; run this script as root to install them" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
