#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The deep scan's pass against `cat IMAGE > /dev/null` on a page-cached FAT32 (or exFAT) image
# that was filled and then formatted again (mkfs.fat or mkfs.exfat over it).
#   bench/sweep/deep-scan-vs-cat.sh [GIB] [fat32|exfat]   (default 1.5 fat32; 8 for the
#                                                          full-size figure)
# Prints the median wall time of each over PYRALIS_BENCH_RUNS runs (default 3), their ratio
# (deep scan / cat) and the deep scan's peak memory (/usr/bin/time -v). The image is built
# once into PYRALIS_BENCH_DIR (default build/bench/volumes); every 64th MiB holds data and
# folders, the rest is sparse. Uses the pyralis-cli of PYRALIS_BUILD_DIR (default build).
set -euo pipefail
cd "$(dirname "$0")/../.."
gib=${1:-1.5}
kind=${2:-fat32}
build=${PYRALIS_BUILD_DIR:-build}
volumes=${PYRALIS_BENCH_DIR:-build/bench/volumes}
runs=${PYRALIS_BENCH_RUNS:-3}
cli=$build/cli/pyralis-cli
[ -x "$cli" ] || cmake --build "$build" --target pyralis-cli >/dev/null
mkdir -p "$volumes"
image=$volumes/deep-$gib-gib-$kind.img

if [ ! -f "$image" ]; then
  mib=$(awk -v g="$gib" 'BEGIN { printf "%d", g * 1024 }')
  truncate -s "${mib}M" "$image.part"
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  if [ "$kind" = exfat ]; then
    mkfs.exfat -c 4K "$image.part" >/dev/null
    for d in $(seq 1 20); do
      printf 'mkdir\t/DIR%s\n' "$d"
      for f in $(seq 1 20); do printf 'put\t/DIR%s/IMG_%s.JPG\t262144\t%s\n' "$d" "$f" "$f"; done
    done >"$work/script"
    /usr/bin/python3 tests/exfat/exfat_writer.py "$image.part" <"$work/script"
  else
    mkfs.fat -F 32 -s 8 "$image.part" >/dev/null
    head -c $((256 * 1024)) /dev/urandom >"$work/photo.jpg"
    for d in $(seq 1 20); do
      MTOOLS_SKIP_CHECK=1 mmd -i "$image.part" "::/DIR$d"
      for f in $(seq 1 20); do
        MTOOLS_SKIP_CHECK=1 mcopy -i "$image.part" "$work/photo.jpg" "::/DIR$d/IMG_$f.JPG"
      done
    done
  fi
  # Data spread over the volume, so that the pass reads real blocks, not only holes.
  for ((m = 512; m < mib; m += 64)); do
    dd if=/dev/urandom of="$image.part" bs=1M seek=$m count=1 conv=notrunc status=none
  done
  if [ "$kind" = exfat ]; then
    mkfs.exfat -c 4K "$image.part" >/dev/null
  else
    mkfs.fat -F 32 -s 8 "$image.part" >/dev/null
  fi
  mv "$image.part" "$image"
fi

# shellcheck source=bench/timing.sh
. bench/timing.sh  # the script runs from the top folder

cat "$image" >/dev/null  # into the page cache
cat "$image" >/dev/null
cat_s=$(for _ in $(seq "$runs"); do timed cat "$image"; done | median)
deep_s=$(for _ in $(seq "$runs"); do timed "$cli" scan "$image" --deep --format tsv; done | median)
rows=$("$cli" scan "$image" --deep --format tsv 2>/dev/null | tail -n +2 | wc -l)
peak=$(peak_mib "$cli" scan "$image" --deep --format tsv)
size=$(stat -c %s "$image")
echo "image: $image ($((size >> 20)) MiB), rows: $rows"
echo "cat:       ${cat_s} s"
echo "deep scan: ${deep_s} s, peak memory ${peak} MiB"
awk -v d="$deep_s" -v c="$cat_s" 'BEGIN { printf "ratio deep scan / cat: %.2f\n", d / c }'
