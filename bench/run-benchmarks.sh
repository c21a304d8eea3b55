#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Benchmarks pyralis-cli against The Sleuth Kit on large FAT32 and NTFS volumes.
#   bench/run-benchmarks.sh [fat32] [ntfs] [verdict]   (default: all three)
# For each volume it prints:
#   - scan: median wall time of `pyralis-cli scan IMG --format tsv` and of `fls -r -d IMG`
#     over PYRALIS_BENCH_RUNS runs (default 5), and their ratio (pyralis / fls);
#   - recovery: MB/s and files/s of `pyralis-cli recover IMG --all` (bytes written / wall
#     time, the scan included) beside `tsk_recover IMG DIR` (every deleted file, its scan
#     included too) and the ratio of their wall times (tsk_recover / pyralis-cli, above 1 when
#     pyralis-cli is faster); and beside `icat -r` of the same deleted files, one icat per file as it is used
#     (over the first PYRALIS_BENCH_ICAT_FILES files fls lists, default 200: icat reads the
#     file system again for every file, which is what a script recovering many files pays);
#   - peak memory (maximum resident set size, /usr/bin/time -v) of the scan, the recovery, fls
#     and tsk_recover.
# - verdict: bench/filetypes/verdict-bench.sh, the content check of 20,000 photos beside
#   reading them once.
# The volumes are built once into PYRALIS_BENCH_DIR (default build/bench/volumes) and reused:
# FAT32 with bench/fat/make-bench-volume.sh, NTFS with bench/ntfs/make-bench-volume.sh (given
# PYRALIS_BENCH_NTFS_OPTIONS, e.g. "--long-clusters 100" for about 2 GB of deleted data
# instead of 10 GB). Both recoveries write every deleted file: keep that much disk free.
# Builds Release into build/bench.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${PYRALIS_BUILD_DIR:-build/bench}
volumes=${PYRALIS_BENCH_DIR:-$build/volumes}
runs=${PYRALIS_BENCH_RUNS:-5}
icat_files=${PYRALIS_BENCH_ICAT_FILES:-200}
jobs=${PYRALIS_JOBS:-2}
which=("$@")
((${#which[@]})) || which=(fat32 ntfs verdict)

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPYRALIS_GUI=OFF >/dev/null
cmake --build "$build" --target pyralis-cli -j "$jobs" >/dev/null
cli=$(pwd)/$build/cli/pyralis-cli
mkdir -p "$volumes"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# shellcheck source=bench/timing.sh
. bench/timing.sh  # the script runs from the top folder

volume_path() {  # kind
  case $1 in
    fat32)
      local image=$volumes/fat32-bench.img
      if [ ! -f "$image" ]; then
        PYRALIS_BUILD_DIR=$build bench/fat/make-bench-volume.sh "$image" >&2
      fi
      echo "$image" ;;
    ntfs)
      local image=$volumes/ntfs-bench.img
      # shellcheck disable=SC2086 # the options are words
      [ -f "$image" ] || PYRALIS_BUILD_DIR=$build bench/ntfs/make-bench-volume.sh "$image" \
        ${PYRALIS_BENCH_NTFS_OPTIONS:-} >&2
      echo "$image" ;;
  esac
}

bench_volume() {  # kind
  local kind=$1 image
  image=$(volume_path "$kind")
  local found
  found=$("$cli" scan "$image" --format tsv 2>/dev/null | tail -n +2 | wc -l)
  # Warm the page cache so both readers see the same cached image.
  cat "$image" >/dev/null
  local ours theirs
  ours=$(for _ in $(seq "$runs"); do timed "$cli" scan "$image" --format tsv; done | median)
  theirs=$(for _ in $(seq "$runs"); do timed fls -r -d "$image"; done | median)

  # One recovery, timed and measured at once (it may write gigabytes).
  rm -rf "$work/out"
  local recover_time recover_mib recovered_bytes recovered_files
  read -r recover_time recover_mib < <(/usr/bin/time -f '%e %M' "$cli" recover "$image" --all \
    --to "$work/out" 2>&1 >/dev/null | tail -n 1 | awk '{ printf "%s %.1f\n", $1, $2 / 1024 }')
  recovered_bytes=$(find "$work/out" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
  recovered_files=$(find "$work/out" -type f | wc -l)
  rm -rf "$work/out"

  # tsk_recover of every deleted file into a folder tree, timed and measured the same way.
  rm -rf "$work/tsk"
  local tsk_time tsk_mib tsk_bytes tsk_files
  read -r tsk_time tsk_mib < <(/usr/bin/time -f '%e %M' tsk_recover "$image" "$work/tsk" \
    2>&1 >/dev/null | tail -n 1 | awk '{ printf "%s %.1f\n", $1, $2 / 1024 }')
  tsk_bytes=$(find "$work/tsk" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
  tsk_files=$(find "$work/tsk" -type f | wc -l)
  rm -rf "$work/tsk"

  # icat of the same deleted files, one process per file.
  fls -r -d -p "$image" | awk -F'\t' '$1 ~ /^[-r]\/r \*/ { split($1, a, " "); sub(":", "", a[3]); print a[3] }' |
    head -n "$icat_files" >"$work/inodes" || true  # head stops reading early
  local icat_count icat_start icat_end icat_bytes
  icat_count=$(wc -l <"$work/inodes")
  local fls_files
  fls_files=$(fls -r -d -p "$image" | grep -c '^[-r]/r \*' || true)
  icat_start=$(now)
  icat_bytes=$(while read -r inode; do icat -r "$image" "$inode" 2>/dev/null | wc -c; done <"$work/inodes" |
    awk '{ s += $1 } END { print s + 0 }')
  icat_end=$(now)

  printf '\n== %s: %s (%s MiB): pyralis-cli lists %d deleted files, fls -r -d %d deleted files\n' \
    "$kind" "$image" "$(($(stat -c %s "$image") / 1048576))" "$found" "$fls_files"
  awk -v o="$ours" -v t="$theirs" -v r="$runs" 'BEGIN {
    printf "scan      pyralis-cli %.3f s   fls -r -d %.3f s   ratio %.2f   (median of %d)\n", o, t, (t > 0 ? o / t : 0), r }'
  awk -v b="$recovered_bytes" -v f="$recovered_files" -v s="$recover_time" -v ib="$icat_bytes" -v n="$icat_count" \
    -v is="$icat_start" -v ie="$icat_end" -v ts="$tsk_time" -v tb="$tsk_bytes" -v tf="$tsk_files" 'BEGIN {
    it = ie - is
    printf "recover   pyralis-cli %.1f MB/s, %.0f files/s (%d files, %.1f MB in %.2f s, --all)\n",
      (s > 0 ? b / 1e6 / s : 0), (s > 0 ? f / s : 0), f, b / 1e6, s
    printf "          tsk_recover %.1f MB/s, %.0f files/s (%d files, %.1f MB in %.2f s)   ratio %.2f\n",
      (ts > 0 ? tb / 1e6 / ts : 0), (ts > 0 ? tf / ts : 0), tf, tb / 1e6, ts, (s > 0 ? ts / s : 0)
    printf "          icat -r     %.1f MB/s, %.1f files/s (%d files, %.1f MB in %.2f s)\n",
      (it > 0 ? ib / 1e6 / it : 0), (it > 0 ? n / it : 0), n, ib / 1e6, it }'
  printf 'memory    pyralis-cli scan %s MiB   recover %s MiB   fls -r -d %s MiB   tsk_recover %s MiB\n' \
    "$(peak_mib "$cli" scan "$image" --format tsv)" "$recover_mib" "$(peak_mib fls -r -d "$image")" \
    "$tsk_mib"
}

for kind in "${which[@]}"; do
  case $kind in
    verdict) printf '\n== content verdict of 20,000 photos\n'; bench/filetypes/verdict-bench.sh ;;
    *) bench_volume "$kind" ;;
  esac
done
