#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The content verdict of 20,000 photos beside the time of reading them once (not a test).
#   bench/filetypes/verdict-bench.sh [COUNT]      (default 20000)
# Makes four 640 x 480 photos with ImageMagick (plasma fractals at quality 85, about 53 KB),
# writes COUNT deleted copies of them (each with its number in a comment) into a FAT32
# volume with bench/fat/make_fat32_volume, reads the image once into the page cache and runs
# verdict_bench over it. Builds Release into build/bench.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${PYRALIS_BUILD_DIR:-build/bench}
count=${1:-20000}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPYRALIS_GUI=OFF >/dev/null
cmake --build "$build" --target make_fat32_volume verdict_bench -j "${PYRALIS_JOBS:-2}" >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for i in 1 2 3 4; do
  convert -seed "$i" -size 640x480 plasma:fractal -quality 85 "$work/photo$i.jpg"
done
"$build/bench/fat/make_fat32_volume" "$work/photos.img" --photos "$count" "$work"/photo?.jpg >&2
cat "$work/photos.img" >/dev/null
"$build/bench/filetypes/verdict_bench" "$work/photos.img"
