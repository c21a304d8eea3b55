#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Short fuzz run of every fuzz target (libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer), about 45 seconds each, in a build directory of its own.
#
#   scripts/fuzz-smoke.sh                  # every target, 45 s each
#   PYRALIS_FUZZ_SECONDS=3600 scripts/fuzz-smoke.sh ntfs_record   # a longer run of one
#
# Skips (exit 0) when clang or libFuzzer is missing; with PYRALIS_FUZZ_CHECK=1 it only says
# by its exit status whether they are there (0) or not (1). Seeds: the committed inputs under
# tests/fuzz/corpus/<target>/ and tests/fuzz/regressions/<target>/ and those the seed writer
# makes from generated volumes. New inputs collect in <build>/corpus/<target>/; a crash
# leaves its input in <build>/artifacts/<target>/ and fails the run.
# The mutations follow a fixed seed (PYRALIS_FUZZ_SEED, 1 unless given; 0 picks a random
# one), so a run in CI repeats the run a developer made before committing; longer runs with
# random seeds are how new inputs are found.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${PYRALIS_FUZZ_SECONDS:-45}
build=${PYRALIS_FUZZ_BUILD_DIR:-build/fuzz}
all_targets="fat_walk runlist ntfs_record ntfs_mount texts exfat_entry_set filetypes sweep carve"
targets=${*:-$all_targets}

skip() {
  echo "fuzz-smoke: $1; fuzzing skipped"
  [ -z "${PYRALIS_FUZZ_CHECK:-}" ]
  exit
}
if ! command -v clang >/dev/null || ! command -v clang++ >/dev/null; then
  skip "clang is not installed"
fi
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
  >"$probe/probe.cpp"
if ! clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" 2>/dev/null; then
  skip "clang cannot link -fsanitize=fuzzer (libFuzzer missing)"
fi
if [ -n "${PYRALIS_FUZZ_CHECK:-}" ]; then exit 0; fi

cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPYRALIS_FUZZ=ON -DPYRALIS_SANITIZE=ON -DPYRALIS_GUI=OFF \
  -DPYRALIS_TESTS=ON >/dev/null
build_targets=pyralis-fuzz-seeds
for t in $targets; do build_targets="$build_targets fuzz_$t"; done
# shellcheck disable=SC2086
cmake --build "$build" -j "${PYRALIS_JOBS:-2}" --target $build_targets

"$build/tests/fuzz/pyralis-fuzz-seeds" "$build/seeds" >/dev/null
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

max_len() {
  case $1 in
    fat_walk) echo 65536 ;;
    ntfs_record) echo 1024 ;;
    ntfs_mount) echo 1536 ;;
    runlist) echo 512 ;;
    exfat_entry_set) echo 4096 ;;
    filetypes) echo 65536 ;;
    sweep) echo 16384 ;;
    carve) echo 65536 ;;
    *) echo 256 ;;
  esac
}

failed=""
summary=""
for t in $targets; do
  corpus="$build/corpus/$t"
  artifacts="$build/artifacts/$t"
  mkdir -p "$corpus" "$artifacts" "tests/fuzz/corpus/$t" "tests/fuzz/regressions/$t"
  log="$build/fuzz-$t.log"
  echo "fuzz-smoke: $t for ${seconds}s"
  status=0
  "$build/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -max_len="$(max_len "$t")" \
    -seed="${PYRALIS_FUZZ_SEED:-1}" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$corpus" "$build/seeds/$t" "tests/fuzz/corpus/$t" "tests/fuzz/regressions/$t" \
    >"$log" 2>&1 || status=$?
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
  summary="$summary$(printf '  %-12s %10s executions' "$t" "${runs:-?}")"$'\n'
  if [ "$status" -ne 0 ]; then
    failed="$failed $t"
    echo "fuzz-smoke: $t FAILED (exit $status); input kept in $artifacts/, log in $log"
    grep -E 'ERROR:|runtime error|SUMMARY' "$log" | head -5 || true
  fi
done
echo "fuzz-smoke: executions per target (${seconds}s each)"
printf '%s' "$summary"
if [ -n "$failed" ]; then
  echo "fuzz-smoke: crashes in:$failed (copy each input into tests/fuzz/regressions/<target>/)"
  exit 1
fi
