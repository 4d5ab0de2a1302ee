#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Static checks of the shipped programs, the fuzz targets and the simulated
# board, with the checked-in configuration:
#   clang-tidy  (.clang-tidy, sim/.clang-tidy) over probe/, i2c/, fuzz/, sim/
#   cppcheck    (.cppcheck-suppressions): all checks on probe/, i2c/, fuzz/;
#               warnings, performance and portability on sim/
# Any finding fails. Uses the host preset's compile commands (configured here
# when missing).
#
#   scripts/lint.sh            run the checks
#   scripts/lint.sh --format   rewrite the C++ sources with .clang-format instead
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
  "" | --format) ;;
  -h|--help) echo "usage: $0 [--format]"; exit 0 ;;
  *) echo "usage: $0 [--format]" >&2; exit 2 ;;
esac

if [ "${1:-}" = "--format" ]; then
  git ls-files -z -- '*.cpp' '*.h' | xargs -0 clang-format -i --style=file
  echo "lint: formatted $(git ls-files -- '*.cpp' '*.h' | wc -l) files"
  exit 0
fi

build=out/host
if [ ! -f "$build/compile_commands.json" ]; then
  cmake --preset host >/dev/null
fi

jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2

echo "== clang-tidy"
run-clang-tidy -p "$build" -quiet -j "$jobs" -extra-arg=-Wno-unknown-warning-option "$PWD/(probe|i2c|fuzz|sim)/.*\.cpp$" >"$build/clang-tidy.log" 2>&1 || {
  sed 's/\x1b\[[0-9;]*m//g' "$build/clang-tidy.log" | grep -E -A3 'error:|warning:' || cat "$build/clang-tidy.log"
  echo "lint: clang-tidy found problems"
  exit 1
}
echo "clang-tidy: clean"

echo "== cppcheck"
common=(--std=c++20 --language=c++ --inline-suppr --error-exitcode=1 --quiet
        --suppressions-list=.cppcheck-suppressions)
cppcheck "${common[@]}" --enable=warning,style,performance,portability \
  -I common -I probe -I i2c -I fuzz common probe i2c fuzz
sim_includes=()
for d in sim $(find sim -mindepth 1 -maxdepth 1 -type d | sort); do sim_includes+=(-I "$d"); done
cppcheck "${common[@]}" --enable=warning,performance,portability \
  "${sim_includes[@]}" -I common -I probe -I i2c sim
echo "cppcheck: clean"
