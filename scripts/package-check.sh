#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the project as packagers do and fails on any warning:
#   1. the source tarball (scripts/dist.sh), unpacked and configured with
#      BUILD_TESTING=OFF and no pkg-config search path, so that only a C/C++
#      compiler and CMake can be used; built, installed into a staging
#      directory, and the installed files listed;
#   2. a plain Release build of the work tree with default options (tests
#      and simulator included);
#   3. the Buildroot recipe read by make with MINER_TOOLS_OVERRIDE_SRCDIR
#      naming this checkout (accepted) and an empty directory (refused with
#      the recipe's message), the route packaging/README.md documents for
#      building a work tree in place; no Buildroot tree is needed for that.
# Output in out/package.
#
#   scripts/package-check.sh
set -euo pipefail
case "${1:-}" in
  "") ;;
  -h|--help) echo "usage: $0    (build as a packager does; fail on any warning)"; exit 0 ;;
  *) echo "usage: $0" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."

work=$PWD/out/package
rm -rf "$work"
mkdir -p "$work"
failed=0

warnings() {  # log -> number of compiler and CMake warnings in it
  grep -c -E 'warning:|CMake Warning' "$1" || true
}

scripts/dist.sh "$work/dist" >"$work/dist.log" 2>&1 || { cat "$work/dist.log"; exit 1; }
tarball=$(ls "$work"/dist/miner-tools-*.tar.gz)
tar -xzf "$tarball" -C "$work"
src=$(ls -d "$work"/miner-tools-*/)

echo "== tarball $(basename "$tarball"), BUILD_TESTING=OFF, PKG_CONFIG_LIBDIR=/nonexistent"
(
  PKG_CONFIG_LIBDIR=/nonexistent cmake -S "$src" -B "$work/programs" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
  cmake --build "$work/programs" -j2
  DESTDIR="$work/stage" cmake --install "$work/programs" --prefix /usr
) >"$work/programs.log" 2>&1 || { tail -30 "$work/programs.log"; exit 1; }
n=$(warnings "$work/programs.log")
echo "  warnings: $n"
[ "$n" -eq 0 ] || { grep -E -A3 'warning:|CMake Warning' "$work/programs.log" | head -30; failed=1; }
echo "  installed:"
(cd "$work/stage" && find . -type f | sort | sed 's/^\./    /')

echo "== work tree, Release, default options"
(
  cmake -S . -B "$work/release" -DCMAKE_BUILD_TYPE=Release
  cmake --build "$work/release" -j2
) >"$work/release.log" 2>&1 || { tail -30 "$work/release.log"; exit 1; }
n=$(warnings "$work/release.log")
echo "  warnings: $n"
[ "$n" -eq 0 ] || { grep -E -A3 'warning:|CMake Warning' "$work/release.log" | head -30; failed=1; }

echo "== Buildroot recipe with MINER_TOOLS_OVERRIDE_SRCDIR"
mk=packaging/buildroot/miner-tools/miner-tools.mk
printf 'override-parsed:\n\t@echo parsed\n' >"$work/parse.mk"
mkdir -p "$work/not-miner-tools"
parse() {  # directory -> make's output; status of make
  make -s -f "$mk" -f "$work/parse.mk" override-parsed MINER_TOOLS_OVERRIDE_SRCDIR="$1" 2>&1
}
if out=$(parse "$PWD") && [ "$out" = parsed ]; then
  echo "  this checkout: accepted"
else
  echo "  this checkout: make failed: $out"; failed=1
fi
if out=$(parse "$work/not-miner-tools"); then
  echo "  a directory without miner-tools: accepted, but should stop the build"; failed=1
elif [[ $out == *"holds no miner-tools CMakeLists.txt"* ]]; then
  echo "  a directory without miner-tools: refused with the recipe's message"
else
  echo "  a directory without miner-tools: make failed otherwise: $out"; failed=1
fi

[ "$failed" -eq 0 ] || { echo "package-check: FAILED"; exit 1; }
echo "package-check: clean"
