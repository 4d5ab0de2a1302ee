#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, then builds and tests every configuration, with
# warnings as errors:
#   host         debug build, every test (unit, simulated board, end-to-end)
#   sanitize     the same under AddressSanitizer + UndefinedBehaviorSanitizer,
#                without the benchmarks and the emulated board's tests
#   musl-static  static x86_64 programs against musl; end-to-end tests on them
#   mips         static big-endian MIPS programs (glibc) and unit tests, run
#                under qemu-mips-static; end-to-end tests on the MIPS programs
#   board        the board's programs: static musl, big-endian MIPS32r2,
#                soft-float, size-optimised; end-to-end tests on them under
#                qemu-mips-static -cpu 24Kc (no FPU, like the board's CPU)
#   image        the emulated board's image (vm/build-image.sh, cached),
#                built in the background from the host stage on; this stage
#                waits for it
#   vm           the board's programs on the emulated board (vm/): the real
#                kernel, without FPU emulation, under qemu-system-mips -cpu
#                24Kc
#   sdk          the same programs built through a generated board SDK
#                (cmake/sdk-toolchain.cmake) must match the board preset's
#   package      the source tarball built as packagers do (BUILD_TESTING=OFF,
#                no pkg-config) and a default Release build: no warning
#   budgets      sizes, run-time dependencies and hardening of the programs
#   lint         clang-tidy and cppcheck; they need only the host build's
#                compile commands, so they run beside the later stages, whose
#                end-to-end tests leave the cores idle much of the time
#   fuzz         each libFuzzer target for FUZZ_SECONDS (default 15) seconds
# Each preset's build and tests can also be run alone:
#   cmake --workflow --preset <name>
set -euo pipefail
case "${1:-}" in
  "") ;;
  -h|--help) echo "usage: $0    (as root; FUZZ_SECONDS sets each fuzz target's time)"; exit 0 ;;
  *) echo "usage: $0" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."

fuzz_seconds=${FUZZ_SECONDS:-15}
start=$SECONDS
timings=()

stage() {  # name command...
  local name=$1 began=$SECONDS
  shift
  printf '\n=== %s (at %d s)\n' "$name" $((SECONDS - start))
  "$@"
  timings+=("$(printf '%-12s %4d s' "$name" $((SECONDS - began)))")
}

stage setup scripts/setup.sh
# The emulated board's image (from scratch a kernel build of minutes) builds
# at the lowest priority from here on: the compilers of the host and sanitize
# stages keep the cores, and their end-to-end tests, which leave the cores
# idle much of the time, leave it the rest. The vm stage waits for it (the
# image cache has one lock) and shows its log if it failed.
mkdir -p out
image_log=out/build-image.log
nice -n 19 vm/build-image.sh >"$image_log" 2>&1 &
image_pid=$!
trap 'kill "$image_pid" 2>/dev/null || true' EXIT
stage host cmake --workflow --preset host
lint_log=out/host/lint.log
# Below the compilers too (nice 10), above the image build: it fills the
# cores the end-to-end tests leave idle instead of slowing the builds.
(
  began=$SECONDS
  status=0
  nice -n 10 scripts/lint.sh || status=$?
  echo "lint took $((SECONDS - began)) s beside the stages that follow the host build"
  exit "$status"
) >"$lint_log" 2>&1 &
lint_pid=$!
trap 'kill "$image_pid" "$lint_pid" 2>/dev/null || true' EXIT
for preset in sanitize musl-static mips board; do
  stage "$preset" cmake --workflow --preset "$preset"
done
image_wait() {  # the image build started after setup: its status; its log when it failed
  local status=0
  wait "$image_pid" || status=$?
  [ "$status" -eq 0 ] || { echo "the background image build failed:"; cat "$image_log"; }
  return "$status"
}
stage image image_wait
stage vm vm/test-stage.sh
stage sdk scripts/sdk-check.sh
stage package scripts/package-check.sh
stage budgets scripts/budgets.sh
lint_wait() {  # the lint started after the host stage: its output, its status
  local status=0
  wait "$lint_pid" || status=$?
  cat "$lint_log"
  return "$status"
}
stage lint lint_wait
stage fuzz scripts/fuzz.sh "$fuzz_seconds"

printf '\n=== all passed in %d s\n' $((SECONDS - start))
printf '  %s\n' "${timings[@]}"
