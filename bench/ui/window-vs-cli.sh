#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The window's Scan and Unerase of everything against `pyralis-cli scan` and `pyralis-cli
# recover --all` on the same page-cached FAT32 image with 17,400 deleted files (1,740
# folders of 50 files, every fifth deleted, written by bench/fat/make_fat32_volume).
#   bench/ui/window-vs-cli.sh
# Prints the median wall time of each over PYRALIS_BENCH_RUNS runs (default 3) and the two
# ratios window / command line (target <= 1.2). The window runs offscreen. The image is
# built once into PYRALIS_BENCH_DIR (default build/bench/volumes); the programs come from
# PYRALIS_BUILD_DIR (default build, configured with the desktop program).
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${PYRALIS_BUILD_DIR:-build}
volumes=${PYRALIS_BENCH_DIR:-build/bench/volumes}
runs=${PYRALIS_BENCH_RUNS:-3}
cmake --build "$build" --target pyralis-cli pyralis_window_bench make_fat32_volume >/dev/null
cli=$build/cli/pyralis-cli
window=$build/bench/ui/pyralis_window_bench
mkdir -p "$volumes"
image=$volumes/window-17400.img
if [ ! -f "$image" ]; then
  "$build/bench/fat/make_fat32_volume" "$image.part" 1740 50 0 1 1024 >/dev/null
  mv "$image.part" "$image"
fi

# shellcheck source=bench/timing.sh
. bench/timing.sh  # the script runs from the top folder

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cat "$image" >/dev/null  # into the page cache
export QT_QPA_PLATFORM=offscreen
cli_scan=() cli_recover=() win_scan=() win_unerase=()
for run in $(seq "$runs"); do
  cli_scan+=("$(timed "$cli" scan "$image" --format tsv)")
  rm -rf "$out/cli" && mkdir -p "$out/cli"
  cli_recover+=("$(timed "$cli" recover "$image" --to "$out/cli" --all --with-paths)")
  rm -rf "$out/window" && mkdir -p "$out/window"
  report=$("$window" "$image" "$out/window/" 2>/dev/null)
  win_scan+=("$(awk '$1 == "scan" { print $2 }' <<<"$report")")
  win_unerase+=("$(awk '$1 == "unerase" { print $2 }' <<<"$report")")
  rows=$(awk '$1 == "rows" { print $2 }' <<<"$report")
done
# `recover` scans first: its recovery alone is its time less a scan's.
median_of() { printf '%s\n' "$@" | median; }
cs=$(median_of "${cli_scan[@]}")
cr=$(median_of "${cli_recover[@]}")
ws=$(median_of "${win_scan[@]}")
wu=$(median_of "${win_unerase[@]}")
cli_files=$(find "$out/cli" -type f | wc -l)
win_files=$(find "$out/window" -type f | wc -l)
echo "image: $image, rows in the window: $rows; files written: command line $cli_files, window $win_files"
echo "command line: scan ${cs} s, recover --all ${cr} s (scan included)"
echo "window:       scan ${ws} s, unerase all ${wu} s"
awk -v w="$ws" -v c="$cs" 'BEGIN { printf "ratio scan window / command line: %.2f\n", w / c }'
awk -v w="$wu" -v c="$cr" -v s="$cs" \
  'BEGIN { printf "ratio recovery window / command line: %.2f (%.2f against the command line less its scan)\n", w / c, w / (c - s) }'
