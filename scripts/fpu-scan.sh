#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Counts the floating-point unit instructions in 32-bit MIPS objects, archives
# or programs. The board's 24Kc/74Kc cores have no FPU and its kernels do not
# emulate one, so one such instruction is a SIGILL on the board.
#
# The scan decodes every instruction word that objdump disassembles, instead
# of matching mnemonics: an FPU instruction is one whose major opcode is COP1
# (arithmetic, conversions, compares, moves to and from the FPU, the FP
# branches), COP1X (indexed loads and stores, multiply-add) or one of the FPU
# loads and stores LWC1, LDC1, SWC1, SDC1, or the SPECIAL-opcode MOVCI
# (movf/movt, which test an FPU condition code). That is the whole FPU
# instruction set of MIPS32r2.
#
#   scripts/fpu-scan.sh FILE...     one line per file: its count and the
#                                   mnemonics found; exit 1 when any count
#                                   is not 0
#   scripts/fpu-scan.sh --members ARCHIVE
#                                   one line per member: its name and count
set -euo pipefail
usage() { echo "usage: $0 FILE... | --members ARCHIVE    (count the MIPS FPU instructions)"; }
members=0
case "${1:-}" in
  "" | -h | --help) usage; exit 2 ;;
  --members) [ $# -eq 2 ] || { usage >&2; exit 2; }; members=1; shift ;;
esac
objdump=${MIPS_OBJDUMP:-mips-linux-gnu-objdump}
command -v "$objdump" >/dev/null ||
  { echo "fpu-scan: $objdump not found: install Debian's binutils-mips-linux-gnu" >&2; exit 2; }

found=0
for file in "$@"; do
  listing=$("$objdump" -d "$file") || { echo "fpu-scan: $objdump could not read $file" >&2; exit 2; }
  result=$(awk -F'\t' -v members=$members '
    function hex(s,   i, v) {
      v = 0
      for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
      return v
    }
    # "name.o:     file format ..." starts each member of an archive.
    /:[ \t]+file format / {
      if (member != "") counts = counts member " " m "\n"
      member = $0; sub(/:[ \t]+file format .*/, "", member); m = 0
    }
    $1 ~ /^ *[0-9a-f]+:$/ && $2 ~ /^[0-9a-f]+ *$/ {
      word = $2
      sub(/ +$/, "", word)
      if (length(word) != 8) next
      op = int(hex(substr(word, 1, 2)) / 4)
      funct = hex(substr(word, 7, 2)) % 64
      if (op == 17 || op == 19 || op == 49 || op == 53 || op == 57 || op == 61 || (op == 0 && funct == 1)) {
        n++; m++
        if (!(($3) in seen)) { seen[$3] = 1; names = names " " $3 }
      }
    }
    END {
      if (members) printf "%s%s %d\n", counts, member, m
      else printf "%d%s\n", n, names
    }' <<<"$listing")
  if [ $members -eq 1 ]; then
    echo "$result"
    exit 0
  fi
  count=${result%% *}
  if [ "$count" -eq 0 ]; then
    printf '%s: 0 FPU instructions\n' "$file"
  else
    printf '%s: %d FPU instructions:%s\n' "$file" "$count" "${result#* }"
    found=1
  fi
done
exit "$found"
