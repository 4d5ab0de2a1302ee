#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Exercises the board SDK path (cmake/sdk-toolchain.cmake) without a vendor SDK:
# makes an SDK-shaped prefix whose tools carry a board SDK's names
# (mips-openwrt-linux-musl-gcc, -g++, -strip, ...) around Debian's MIPS cross
# compiler and the board's soft-float runtime (scripts/board-musl.sh), so that
# its compilers make soft-float MIPS32r2 code by default, as the board's SDK
# does. Builds the two programs through the SDK toolchain file and checks that
# they match the board preset's: the same `file` description, the same
# stripped size and the same stripped bytes. Then checks that the toolchain
# file refuses an SDK whose compiler is hard-float. Builds the board preset
# when missing.
#
#   scripts/sdk-check.sh            (output in out/sdk, the prefix in out/sdk-prefix)
set -euo pipefail
case "${1:-}" in
  "") ;;
  -h|--help) echo "usage: $0    (build through a generated board SDK, compare with the board preset)"; exit 0 ;;
  *) echo "usage: $0" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."

musl=$(scripts/board-musl.sh | tail -n 1)
sdk=$PWD/out/sdk-prefix
triplet=mips-openwrt-linux-musl
rm -rf "$sdk"
mkdir -p "$sdk/bin"

# The compilers take the runtime's settings on every call, as an SDK's
# compilers have their C library and float ABI built in.
for tool in gcc g++; do
  cat >"$sdk/bin/$triplet-$tool" <<WRAPPER
#!/bin/sh
exec mips-linux-gnu-$tool -specs=$musl/lib/board-gcc.specs "\$@"
WRAPPER
done
for tool in ar ranlib strip objcopy objdump nm readelf; do
  printf '#!/bin/sh\nexec mips-linux-gnu-%s "$@"\n' "$tool" >"$sdk/bin/$triplet-$tool"
done
chmod +x "$sdk"/bin/*

if [ ! -f out/board/CMakeCache.txt ]; then
  cmake --preset board >/dev/null
fi
cmake --build out/board --target miner-probe i2c-bitbang >/dev/null

rm -rf out/sdk
# This SDK has no C++ library (nor need the programs one): CMake's compiler
# checks compile without linking.
cmake -S . -B out/sdk -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE=cmake/sdk-toolchain.cmake -DSDK_PREFIX="$sdk/bin/$triplet-" \
  -DCMAKE_TRY_COMPILE_TARGET_TYPE=STATIC_LIBRARY \
  -DCMAKE_BUILD_TYPE=MinSizeRel -DMINER_TOOLS_STATIC=ON -DBUILD_TESTING=OFF -DMINER_TOOLS_WERROR=ON >/dev/null
cmake --build out/sdk -j2 >/dev/null

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
for p in probe/miner-probe i2c/i2c-bitbang; do
  name=$(basename "$p")
  "$sdk/bin/$triplet-strip" -o "$tmp/$name.sdk" "out/sdk/$p"
  "$sdk/bin/$triplet-strip" -o "$tmp/$name.board" "out/board/$p"
  sdk_file=$(file -b "$tmp/$name.sdk") board_file=$(file -b "$tmp/$name.board")
  sdk_size=$(stat -c %s "$tmp/$name.sdk") board_size=$(stat -c %s "$tmp/$name.board")
  printf '%-12s SDK build   %6d bytes  %s\n' "$name" "$sdk_size" "$sdk_file"
  printf '%-12s board preset %5d bytes  %s\n' '' "$board_size" "$board_file"
  if [ "$sdk_file" != "$board_file" ] || [ "$sdk_size" -ne "$board_size" ]; then
    echo "sdk-check: $name differs from the board preset's"
    failed=1
  elif cmp -s "$tmp/$name.sdk" "$tmp/$name.board"; then
    printf '%-12s identical stripped bytes\n' ''
  else
    printf '%-12s same size and description, different bytes\n' ''
  fi
done
[ "$failed" -eq 0 ] || exit 1
echo "sdk-check: the SDK build matches the board preset"

# An SDK whose compiler is hard-float (Debian's own, under the SDK's names) is
# refused when the build is configured, with the reason.
hard=$PWD/out/sdk-hardfloat-prefix
rm -rf "$hard" out/sdk-hardfloat
mkdir -p "$hard/bin"
for tool in gcc g++; do
  printf '#!/bin/sh\nexec mips-linux-gnu-%s "$@"\n' "$tool" >"$hard/bin/$triplet-$tool"
done
chmod +x "$hard"/bin/*
if cmake -S . -B out/sdk-hardfloat -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE=cmake/sdk-toolchain.cmake -DSDK_PREFIX="$hard/bin/$triplet-" \
  -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF >"$tmp/hard.log" 2>&1; then
  echo "sdk-check: a hard-float SDK was accepted"
  exit 1
fi
# CMake folds the message's lines.
reason=$(tr -s ' \n' ' ' <"$tmp/hard.log" | grep -o 'gcc builds hard-float code[^.]*' || true)
[ -n "$reason" ] ||
  { cat "$tmp/hard.log"; echo "sdk-check: a hard-float SDK failed for another reason (above)"; exit 1; }
rm -rf "$hard" out/sdk-hardfloat
echo "sdk-check: a hard-float SDK is refused: ...-$reason"
