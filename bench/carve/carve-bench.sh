#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Search by content against reading the image: builds (once) an image without a volume of
# PYRALIS_BENCH_CARVE_MIB MiB (default 1024) holding, in every MiB, random bytes and the
# sample files of tests/fixtures/filetypes on 4 KiB boundaries; reads it once so that it is
# page-cached; then prints the median wall time (PYRALIS_BENCH_RUNS runs, default 5) of
# `cat IMAGE > /dev/null` and of `pyralis-cli scan IMAGE --carve --format tsv`, their ratio,
# the files found and the scan's peak memory (maximum resident set size).
#   bench/carve/carve-bench.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${PYRALIS_BUILD_DIR:-build/bench}
mib=${PYRALIS_BENCH_CARVE_MIB:-1024}
runs=${PYRALIS_BENCH_RUNS:-5}
image=${PYRALIS_BENCH_DIR:-$build/volumes}/carve-$mib.img

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPYRALIS_GUI=OFF >/dev/null
cmake --build "$build" --target pyralis-cli -j "${PYRALIS_JOBS:-2}" >/dev/null
cli=$(pwd)/$build/cli/pyralis-cli
mkdir -p "$(dirname "$image")"
if [ ! -f "$image" ]; then
  /usr/bin/python3 - "$image" "$mib" <<'PY'
import os, sys
fixtures = "tests/fixtures/filetypes/"
names = ["photo.jpg", "archive.zip", "picture.png", "clip.mp4", "document.pdf", "tone.flac",
         "picture.gif", "tone.mp3"]
files = b""
for n in names:
    d = open(fixtures + n, "rb").read()
    files += d + b"\0" * ((-len(d)) % 4096)
with open(sys.argv[1], "wb") as f:
    for _ in range(int(sys.argv[2])):
        block = os.urandom(1 << 20)
        f.write(block[: (1 << 20) - len(files)] + files)
PY
fi

now() { date +%s.%N; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
cat "$image" >/dev/null
cat_times=() carve_times=()
for ((i = 0; i < runs; i++)); do
  s=$(now); cat "$image" >/dev/null; e=$(now); cat_times+=("$(echo "$e - $s" | bc)")
  s=$(now); "$cli" scan "$image" --carve --format tsv >/dev/null 2>&1; e=$(now)
  carve_times+=("$(echo "$e - $s" | bc)")
done
cat_median=$(printf '%s\n' "${cat_times[@]}" | median)
carve_median=$(printf '%s\n' "${carve_times[@]}" | median)
found=$("$cli" scan "$image" --carve --format tsv 2>/dev/null | tail -n +2 | wc -l)
rss=$( { /usr/bin/time -v "$cli" scan "$image" --carve --format tsv >/dev/null; } 2>&1 |
  awk -F': ' '/Maximum resident/ { print $2 }')
echo "image: $image ($mib MiB)"
echo "cat:   ${cat_median} s"
echo "carve: ${carve_median} s, $found files found"
echo "ratio: $(echo "scale=2; $carve_median / $cat_median" | bc) (carve / cat)"
echo "peak memory of the carving scan: $rss KiB"
