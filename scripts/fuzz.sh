#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets (fuzz/, preset "fuzz": clang with
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs each for a bounded
# time, two at a time.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]     (default 20 s, all targets)
#
# Each target starts from its checked-in seeds (fuzz/corpus/<target>/, read
# only) and from the inputs found by earlier runs on this machine
# (out/fuzz-corpus/<target>/). A crash or broken property is copied to
# fuzz/regressions/<target>/, which the normal test suite replays
# (fuzz.replay.<target>), and the script fails.
set -euo pipefail
cd "$(dirname "$0")/.."

usage="usage: $0 [SECONDS_PER_TARGET] [TARGET...]"
case "${1:-}" in
  -h|--help) echo "$usage"; exit 0 ;;
  "" | *[!0-9]*) [ -z "${1:-}" ] || { echo "$usage" >&2; exit 2; } ;;
esac
seconds=${1:-20}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(reply_match trace_format record_file sample_value write_argument scenario_reader explain_log)
fi

if [ ! -f out/fuzz/CMakeCache.txt ]; then
  cmake --preset fuzz >/dev/null
fi
cmake --build --preset fuzz >/dev/null

logs=out/fuzz-logs
mkdir -p "$logs"

run_target() {
  local t=$1
  local work=out/fuzz-corpus/$t artifacts=out/fuzz-artifacts/$t/
  mkdir -p "$work" "$artifacts"
  local seeds=("fuzz/corpus/$t")
  # The scenario reader also starts from the committed example scenarios.
  [ "$t" != scenario_reader ] || seeds+=(scenarios)
  # Standard output is closed (-close_fd_mask=1): the code under test prints
  # progress lines that would only slow the run down.
  if out/fuzz/fuzz/fuzz-"$t" -max_total_time="$seconds" -close_fd_mask=1 -print_final_stats=1 \
      -artifact_prefix="$artifacts" -timeout=10 -rss_limit_mb=1024 \
      "$work" "${seeds[@]}" >"$logs/$t.log" 2>&1; then
    return 0
  fi
  return 1
}

failed=()
pids=()
names=()
for t in "${targets[@]}"; do
  run_target "$t" &
  pids+=($!)
  names+=("$t")
  if [ ${#pids[@]} -ge 2 ]; then
    wait "${pids[0]}" || failed+=("${names[0]}")
    pids=("${pids[@]:1}")
    names=("${names[@]:1}")
  fi
done
for i in "${!pids[@]}"; do
  wait "${pids[$i]}" || failed+=("${names[$i]}")
done

printf '%-16s %12s %10s %8s\n' target executions "exec/s" corpus
for t in "${targets[@]}"; do
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$logs/$t.log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$logs/$t.log")
  corpus=$(find "out/fuzz-corpus/$t" -type f | wc -l)
  printf '%-16s %12s %10s %8s\n' "$t" "${execs:-?}" "${rate:-?}" "$corpus"
done

if [ ${#failed[@]} -gt 0 ]; then
  for t in "${failed[@]}"; do
    echo "== $t failed; its log ($logs/$t.log) ends:"
    tail -25 "$logs/$t.log"
    mkdir -p "fuzz/regressions/$t"
    for crash in out/fuzz-artifacts/"$t"/*; do
      [ -f "$crash" ] || continue
      cp "$crash" "fuzz/regressions/$t/"
      echo "kept fuzz/regressions/$t/$(basename "$crash") for the test suite's replay"
    done
  done
  echo "fuzz: FAILED: ${failed[*]}"
  exit 1
fi
echo "fuzz: no crash in ${seconds} s per target"
