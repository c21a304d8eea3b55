#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The FAT engine against The Sleuth Kit on a large FAT32 volume (not a test):
#  - scan: best of PYRALIS_BENCH_RUNS (default 5) wall and CPU times of `fat_bench scan`
#    beside `fls -r -d`, warm page cache, and the ratio;
#  - memory: peak resident set size of the scan, and bytes per found file above the same
#    program's peak on a volume with no deleted file;
#  - recovery: MB/s of the 8 large deleted files beside `icat` of the same files.
#   bench/fat/run-fat-bench.sh [IMAGE]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${PYRALIS_BUILD_DIR:-build/bench}
runs=${PYRALIS_BENCH_RUNS:-5}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPYRALIS_GUI=OFF >/dev/null
cmake --build "$build" --target fat_bench make_fat32_volume -j "${PYRALIS_JOBS:-2}" >/dev/null
bench=$build/bench/fat/fat_bench
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
image=${1:-$work/fat32-bench.img}
[ -f "$image" ] || "$build/bench/fat/make_fat32_volume" "$image" 2000 50 8 16 1024
"$build/bench/fat/make_fat32_volume" "$work/empty.img" 1 1 0 16 1024 >/dev/null
cat "$image" >/dev/null

# "wall cpu" seconds of one run; the best of $runs runs by wall time.
measure() {
  /usr/bin/time -f "%e %U %S" "$@" 2>&1 >/dev/null | tail -1 | awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }'
}
best() { for _ in $(seq "$runs"); do measure "$@"; done | sort -g | head -1; }
peak_kib() { /usr/bin/time -f "%M" "$@" 2>&1 >/dev/null | tail -1; }

found=$("$bench" scan "$image" | awk '{ print $2 }')
read -r ours_wall ours_cpu <<<"$(best "$bench" scan "$image")"
read -r fls_wall fls_cpu <<<"$(best fls -r -d "$image")"
ours_peak=$(peak_kib "$bench" scan "$image")
empty_peak=$(peak_kib "$bench" scan "$work/empty.img")

mkdir -p "$work/ours" "$work/icat"
rec=$("$bench" recover "$image" "$work/ours" "Big recovery" 2>"$work/recover.log" |
  sed -n 's/.*(\(.*\) MB\/s)/\1/p')
fls -r -d "$image" | sed -n 's/^r\/r \* \([0-9]*\):\tBig recovery.*/\1/p' >"$work/inodes"
icat_start=$(date +%s.%N)
while read -r inode; do icat "$image" "$inode" >"$work/icat/$inode"; done <"$work/inodes"
icat_end=$(date +%s.%N)
icat_bytes=$(cat "$work"/icat/* | wc -c)
same=yes
for f in "$work"/ours/*; do
  n=$(basename "$f" .bin | awk '{ print $NF + 0 }')
  cmp -s "$f" "$work/icat/$(sed -n "$((n + 1))p" "$work/inodes")" || same=no
done

printf 'FAT32 volume %s: %s deleted files found\n' "$image" "$found"
awk -v ow="$ours_wall" -v oc="$ours_cpu" -v fw="$fls_wall" -v fc="$fls_cpu" 'BEGIN {
  printf "scan     pyralis %.3f s (cpu %.3f s)   fls -r -d %.3f s (cpu %.3f s)   fls/pyralis %.1fx wall, %.1fx cpu\n",
    ow, oc, fw, fc, fw / ow, (oc > 0 ? fc / oc : 0) }'
awk -v p="$ours_peak" -v e="$empty_peak" -v n="$found" 'BEGIN {
  printf "memory   peak %.1f MiB; above an empty volume %.1f MiB = %.0f bytes per found file\n",
    p / 1024, (p - e) / 1024, (n > 0 ? (p - e) * 1024 / n : 0) }'
awk -v r="$rec" -v b="$icat_bytes" -v s="$icat_start" -v e="$icat_end" -v same="$same" 'BEGIN {
  i = b / 1e6 / (e - s)
  printf "recover  pyralis %.1f MB/s   icat %.1f MB/s   pyralis/icat %.0f%%   identical: %s\n",
    r, i, 100 * r / i, same }'
