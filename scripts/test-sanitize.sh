#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The unit and e2e tests again, built with AddressSanitizer and UndefinedBehaviorSanitizer in
# a build directory of their own (no GUI). Any sanitizer report fails its test.
#   scripts/test-sanitize.sh
#   PYRALIS_SANITIZE_FUZZ=1 scripts/test-sanitize.sh
#       with clang and libFuzzer: one clang build (build/fuzz) serves both the tests and a
#       short fuzz run of every target afterwards (scripts/fuzz-smoke.sh); without them, the
#       tests alone with the default compiler.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${PYRALIS_SANITIZE_BUILD_DIR:-build/sanitize}
jobs=${PYRALIS_JOBS:-$(nproc)}
options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DPYRALIS_SANITIZE=ON -DPYRALIS_GUI=OFF
  -DPYRALIS_TESTS=ON)
fuzz=
if [ -n "${PYRALIS_SANITIZE_FUZZ:-}" ] && PYRALIS_FUZZ_CHECK=1 scripts/fuzz-smoke.sh; then
  # The same configuration as fuzz-smoke.sh, so that it reuses this build as it is.
  build=${PYRALIS_FUZZ_BUILD_DIR:-build/fuzz}
  options+=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DPYRALIS_FUZZ=ON)
  fuzz=1
fi
cmake -S . -B "$build" -G Ninja "${options[@]}"
cmake --build "$build" -j "$jobs"
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 600 -L 'unit|e2e'
if [ -n "$fuzz" ]; then
  unset ASAN_OPTIONS UBSAN_OPTIONS
  PYRALIS_FUZZ_BUILD_DIR=$build scripts/fuzz-smoke.sh
fi
