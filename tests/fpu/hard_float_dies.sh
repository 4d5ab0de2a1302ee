#!/bin/sh
# SPDX-License-Identifier: MIT
# Passes when a hard-float program dies with SIGILL under an emulator command,
# as it does on the board's FPU-less CPU; fails when it runs (the CPU model
# has an FPU, or the kernel emulates one) or when the program holds no FPU
# instruction (then its death would prove nothing).
#
#   hard_float_dies.sh PROGRAM [EMULATOR [OPTION]...]
set -u
[ $# -ge 1 ] || { echo "usage: $0 PROGRAM [EMULATOR [OPTION]...]" >&2; exit 2; }
program=$1
shift
here=$(cd "$(dirname "$0")" && pwd)

if scan=$("$here/../../scripts/fpu-scan.sh" "$program"); then
  echo "FAIL: $program holds no FPU instruction, so its death would prove nothing"
  exit 1
fi
echo "$scan" | cut -c1-120

err=$(mktemp)
trap 'rm -f "$err"' EXIT
out=$("$@" "$program" 1.5 2>"$err")
status=$?
if [ "$status" -eq 132 ]; then
  echo "killed by SIGILL (status 132) under '$*': $(head -n 1 "$err")"
  exit 0
fi
echo "FAIL: under '$*' the hard-float program ended with status $status, printing '$out':"
echo "this CPU model has an FPU, or emulates one; the board's 24Kc/74Kc has none"
cat "$err"
exit 1
