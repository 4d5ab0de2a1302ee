#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Size and dependency budgets of the shipped programs. Builds the host,
# musl-static, mips and board presets when needed, prints every figure and
# fails when a budget is exceeded:
#   - the board's binaries (static musl, big-endian MIPS32r2, soft-float):
#     stripped miner-probe <= 64 KiB, i2c-bitbang <= 40 KiB, static, no glibc
#     inside, no FPU instruction (scripts/fpu-scan.sh decodes every
#     instruction: the board's cores have no FPU) and "Soft float" as their
#     float ABI; their largest symbols are listed, to show where the bytes go;
#   - stripped static musl x86_64 miner-probe <= 48 KiB, i2c-bitbang <= 32 KiB;
#   - the dynamic host build needs the C library alone (no libstdc++, libgcc_s
#     or libm), and is a PIE with full RELRO and the stack protector;
#   - the static MIPS sizes are printed (glibc, so not the board's figure);
#   - a dynamic build linked with -Wl,--no-as-needed (as toolchains built from
#     upstream GCC link) still needs the C library alone.
set -euo pipefail
case "${1:-}" in
  "") ;;
  -h|--help) echo "usage: $0    (build what is missing, print the budgets, fail when one is exceeded)"; exit 0 ;;
  *) echo "usage: $0" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."

PROGRAMS=(probe/miner-probe i2c/i2c-bitbang)
declare -A MUSL_BUDGET=([probe/miner-probe]=$((48 * 1024)) [i2c/i2c-bitbang]=$((32 * 1024)))
declare -A BOARD_BUDGET=([probe/miner-probe]=$((64 * 1024)) [i2c/i2c-bitbang]=$((40 * 1024)))

for preset in host musl-static mips board; do
  if [ ! -f "out/$preset/CMakeCache.txt" ]; then
    cmake --preset "$preset" >/dev/null
  fi
  cmake --build --preset "$preset" >/dev/null
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() { echo "  BUDGET EXCEEDED: $*"; failed=1; }

needs_c_library_only() {  # binary program-name [note]: prints NEEDED, fails on anything beyond libc
  local needed lib
  needed=$(readelf -dW "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
  printf '  %-12s NEEDED: %s\n' "$(basename "$2")" "$needed"
  for lib in $needed; do
    case $lib in
      libc.so.6 | libc.so) ;;
      *) fail "$2 needs $lib beyond the C library${3:-}" ;;
    esac
  done
}

stripped_size() {  # strip-tool binary
  "$1" -o "$tmp/stripped" "$2"
  stat -c %s "$tmp/stripped"
}

echo "== the board: static musl, 32-bit big-endian MIPS32r2, soft-float (stripped)"
for p in "${PROGRAMS[@]}"; do
  bin=out/board/$p
  size=$(stripped_size mips-linux-gnu-strip "$bin")
  budget=${BOARD_BUDGET[$p]}
  printf '  %-12s %6d bytes (%d KiB budget), %s\n' "$(basename "$p")" "$size" $((budget / 1024)) \
    "$(file -b "$tmp/stripped" | cut -d, -f1-5)"
  [ "$size" -le "$budget" ] || fail "$p is $size bytes, over $budget"
  scan=$(scripts/fpu-scan.sh "$bin") || fail "$p holds FPU instructions, a SIGILL on the board: ${scan#*: }"
  fp_abi=$(mips-linux-gnu-readelf -A "$bin" | sed -n 's/^FP ABI: *//p')
  printf '  %-12s %s, FP ABI: %s\n' '' "${scan#*: }" "${fp_abi:-none}"
  [ "$fp_abi" = "Soft float" ] || fail "$p's float ABI is '${fp_abi:-none}', not Soft float"
  case $(readelf -lW "$bin") in *INTERP*) fail "$p is not static" ;; esac
  case $(readelf -hW "$bin") in *"Data:"*"big endian"*) ;; *) fail "$p is not big-endian" ;; esac
  # glibc leaves its name and symbol versions in what it links.
  inside=$(strings -a "$bin")
  [[ $inside == *GLIBC_* || $inside == *"GNU C Library"* ]] && fail "$p has glibc inside"
  printf '  %-12s largest symbols (bytes, type, name):\n' ''
  symbols=$(nm --size-sort -S -r "$bin")
  while read -r _ hex type name; do
    printf '  %-14s %6d %s %s\n' '' $((16#$hex)) "$type" "$name"
  done < <(head -n 5 <<<"$symbols")
done

echo "== static musl x86_64 (stripped)"
for p in "${PROGRAMS[@]}"; do
  bin=out/musl-static/$p
  size=$(stripped_size strip "$bin")
  budget=${MUSL_BUDGET[$p]}
  printf '  %-12s %6d bytes (%d KiB budget)\n' "$(basename "$p")" "$size" $((budget / 1024))
  case $(readelf -lW "$bin") in *INTERP*) fail "$p is not static" ;; esac
  [ "$size" -le "$budget" ] || fail "$p is $size bytes, over $budget"
done

echo "== static MIPS (stripped, glibc)"
for p in "${PROGRAMS[@]}"; do
  bin=out/mips/$p
  size=$(stripped_size mips-linux-gnu-strip "$bin")
  fortified=$(nm "$bin" 2>/dev/null | grep -c '__.*_chk$' || true)
  printf '  %-12s %6d bytes, %s\n' "$(basename "$p")" "$size" \
    "$(file -b "$bin" | cut -d, -f1-2), $fortified fortified C library functions linked"
done

echo "== dynamic host build"
for p in "${PROGRAMS[@]}"; do
  bin=out/host/$p
  needs_c_library_only "$bin" "$p"
  # Whole outputs are matched: grep -q in a pipe could end readelf early and
  # fail the pipeline under pipefail.
  header=$(readelf -hW "$bin") segments=$(readelf -lW "$bin")
  dynamic=$(readelf -dW "$bin") symbols=$(readelf -sW --dyn-syms "$bin")
  [[ $header =~ Type:[[:space:]]+DYN ]] || fail "$p is not a position-independent executable"
  [[ $segments == *GNU_RELRO* ]] || fail "$p has no RELRO segment"
  [[ $dynamic =~ FLAGS.*NOW ]] || fail "$p is not linked with -z now (full RELRO)"
  [[ $symbols == *__stack_chk_fail* ]] || fail "$p has no stack protector"
  printf '  %-12s PIE, full RELRO, stack protector\n' ''
done

# Debian's gcc links with --as-needed, which would hide libraries the link
# line names but the programs do not use; firmware toolchains do not.
check_needed_without_as_needed() {
  local dir=out/no-as-needed p
  echo "== dynamic build linked with -Wl,--no-as-needed"
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" -G Ninja -DBUILD_TESTING=OFF -DMINER_TOOLS_WERROR=ON \
      -DCMAKE_EXE_LINKER_FLAGS=-Wl,--no-as-needed >/dev/null
  fi
  cmake --build "$dir" >/dev/null
  for p in "${PROGRAMS[@]}"; do
    needs_c_library_only "$dir/$p" "$p" " when linked with --no-as-needed"
  done
}
check_needed_without_as_needed

if [ "$failed" -ne 0 ]; then
  echo "budgets: FAILED"
  exit 1
fi
echo "budgets: all within limits"
