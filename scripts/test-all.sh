#!/usr/bin/env bash
# Sets the machine up, builds everything and runs every test (labels unit, gui, e2e).
#   scripts/test-all.sh                 all stages
#   PYRALIS_TEST_LABEL=e2e scripts/test-all.sh    only the tests of one label
# Each stage is a function; further stages (sanitizers, fuzzing) go into `stages`.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${PYRALIS_JOBS:-$(nproc)}
export QT_QPA_PLATFORM=offscreen

# Configures and builds `dir` with extra CMake options, then runs its tests.
build_and_test() {  # dir cmake-options...
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPYRALIS_GUI=ON "$@"
  cmake --build "$dir" -j "$jobs"
  local label=()
  if [ -n "${PYRALIS_TEST_LABEL:-}" ]; then label=(-L "$PYRALIS_TEST_LABEL"); fi
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300 "${label[@]}"
}

stage_setup() { scripts/setup-debian.sh; }
stage_tests() { build_and_test "${PYRALIS_BUILD_DIR:-build/test}"; }

stage_sanitize() { scripts/test-sanitize.sh; }
stage_fuzz() {  # skipped without clang (fuzz-smoke.sh also skips without libFuzzer)
  if command -v clang++ >/dev/null; then scripts/fuzz-smoke.sh; else echo "fuzz: no clang, skipped" >&2; fi
}

stages=(stage_setup stage_tests stage_sanitize stage_fuzz)
for stage in "${stages[@]}"; do
  echo "== ${stage#stage_}" >&2
  "$stage"
done
echo "All test stages passed." >&2
