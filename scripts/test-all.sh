#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Sets the machine up, builds everything and runs every test (labels unit, gui, e2e).
#   scripts/test-all.sh                 all stages
#   PYRALIS_TEST_LABEL=e2e scripts/test-all.sh    only the tests of one label
# Each stage is a function listed in `stages`; each prints its time at the end.
#   setup      the Debian packages (scripts/setup-debian.sh)
#   tests      Release build with the GUI in build/test, every test
#   package    that build installed into a staging folder, validated, packaged, lintian
#   sanitize   unit and e2e tests again with ASan+UBSan, then a short fuzz run of each fuzz
#              target, both from one clang build (scripts/test-sanitize.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${PYRALIS_JOBS:-$(nproc)}
export QT_QPA_PLATFORM=offscreen

# Configures and builds `dir` with extra CMake options, then runs its tests.
build_and_test() {  # dir cmake-options...
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPYRALIS_GUI=ON "$@"
  cmake --build "$dir" -j "$jobs"
  local label=()
  if [ -n "${PYRALIS_TEST_LABEL:-}" ]; then label=(-L "$PYRALIS_TEST_LABEL"); fi
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300 "${label[@]}"
}

stage_setup() { scripts/setup-debian.sh; }
stage_tests() { build_and_test "${PYRALIS_BUILD_DIR:-build/test}"; }

stage_package() { scripts/test-package.sh "${PYRALIS_BUILD_DIR:-build/test}"; }
stage_sanitize() { PYRALIS_SANITIZE_FUZZ=1 scripts/test-sanitize.sh; }

stages=(stage_setup stage_tests stage_package stage_sanitize)
times=""
for stage in "${stages[@]}"; do
  echo "== ${stage#stage_}" >&2
  start=$SECONDS
  "$stage"
  times="$times  ${stage#stage_} $((SECONDS - start)) s"$'\n'
done
echo "All test stages passed. Stage times:" >&2
printf '%s' "$times" >&2
