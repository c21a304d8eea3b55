#!/usr/bin/env bash
# The unit and e2e tests again, built with AddressSanitizer and UndefinedBehaviorSanitizer in
# a build directory of their own (no GUI). Any sanitizer report fails its test.
#   scripts/test-sanitize.sh
set -euo pipefail
cd "$(dirname "$0")/.."
build=${PYRALIS_SANITIZE_BUILD_DIR:-build/sanitize}
jobs=${PYRALIS_JOBS:-$(nproc)}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPYRALIS_SANITIZE=ON \
  -DPYRALIS_GUI=OFF -DPYRALIS_TESTS=ON
cmake --build "$build" -j "$jobs"
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 600 -L 'unit|e2e'
