#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Search by content against reading the image: builds (once) an image without a volume of
# PYRALIS_BENCH_CARVE_MIB MiB (default 1024) in the layout PYRALIS_BENCH_LAYOUT:
#   dense  (default) in every MiB, random bytes and the sample files of
#          tests/fixtures/filetypes on 4 KiB boundaries (8 small files per MiB);
#   camera a camera card: JPEGs of 3.5 to 6 MB (made once with ImageMagick's `convert`)
#          copied over and over on 32 KiB clusters, each copy with its own EXIF date, an
#          EXIF thumbnail and a numbered comment, so that no two are alike;
# reads it once so that it is page-cached; then prints the median wall time
# (PYRALIS_BENCH_RUNS runs, default 5) of `cat IMAGE > /dev/null` and of
# `pyralis-cli scan IMAGE --carve --format tsv`, their ratio, the files found and the scan's
# peak memory (maximum resident set size).
#   bench/carve/carve-bench.sh
#   PYRALIS_BENCH_LAYOUT=camera PYRALIS_BENCH_CARVE_MIB=2048 bench/carve/carve-bench.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${PYRALIS_BUILD_DIR:-build/bench}
mib=${PYRALIS_BENCH_CARVE_MIB:-1024}
runs=${PYRALIS_BENCH_RUNS:-5}
layout=${PYRALIS_BENCH_LAYOUT:-dense}
volumes=${PYRALIS_BENCH_DIR:-$build/volumes}
case $layout in
  dense) image=$volumes/carve-$mib.img ;;
  camera) image=$volumes/camera-$mib.img ;;
  *) echo "PYRALIS_BENCH_LAYOUT: dense or camera, not $layout" >&2; exit 2 ;;
esac

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPYRALIS_GUI=OFF >/dev/null
cmake --build "$build" --target pyralis-cli -j "${PYRALIS_JOBS:-2}" >/dev/null
cli=$(pwd)/$build/cli/pyralis-cli
mkdir -p "$volumes"
if [ ! -f "$image" ] && [ "$layout" = camera ]; then
  # Three pictures of 12 megapixels: a plasma fractal with noise, JPEG quality 90 to 92.
  pictures=()
  for p in "1 0.25 90 +0" "2 0.33 92 -flip" "3 0.30 91 -flop"; do
    read -r seed noise quality turn <<<"$p"
    picture=$volumes/camera-source-$seed.jpg
    if [ ! -f "$picture" ]; then
      turn_option=()
      [ "$turn" = +0 ] || turn_option=("$turn")
      convert -seed "$seed" -size 4000x3000 plasma:fractal -blur 0x1 "${turn_option[@]}" \
        -attenuate "$noise" +noise Gaussian -quality "$quality" "$picture"
    fi
    pictures+=("$picture")
  done
  /usr/bin/python3 - "$image" "$mib" tests/fixtures/filetypes/photo.jpg "${pictures[@]}" <<'PY'
import struct, sys
out, mib, thumb_path, *pictures = sys.argv[1:]
thumb = open(thumb_path, "rb").read()
bodies = [open(p, "rb").read()[2:] for p in pictures]  # without their SOI
cluster = 32 * 1024

def exif(n):
    # Little-endian TIFF: IFD0 with the EXIF IFD pointer and IFD1 with the thumbnail.
    date = b"2024:07:%02d %02d:%02d:%02d\0" % (1 + n // 86400 % 28, n // 3600 % 24,
                                              n // 60 % 60, n % 60)
    exif_ifd = 8 + 18
    date_at = exif_ifd + 18
    ifd1 = date_at + len(date)
    thumb_at = ifd1 + 30
    t = b"II*\0" + struct.pack("<I", 8)
    t += struct.pack("<HHHII", 1, 0x8769, 4, 1, exif_ifd) + struct.pack("<I", ifd1)
    t += struct.pack("<HHHII", 1, 0x9003, 2, len(date), date_at) + struct.pack("<I", 0)
    t += date
    t += struct.pack("<HHHII", 2, 0x0201, 4, 1, thumb_at)
    t += struct.pack("<HHII", 0x0202, 4, 1, len(thumb)) + struct.pack("<I", 0) + thumb
    body = b"Exif\0\0" + t
    return b"\xff\xe1" + struct.pack(">H", len(body) + 2) + body

total, written, n = int(mib) << 20, 0, 0
with open(out, "wb") as f:
    while True:
        comment = b"copy %d" % n
        picture = (b"\xff\xd8" + exif(n) + b"\xff\xfe" + struct.pack(">H", len(comment) + 2) +
                   comment + bodies[n % len(bodies)])
        picture += b"\0" * ((-len(picture)) % cluster)
        if written + len(picture) > total:
            break
        f.write(picture)
        written += len(picture)
        n += 1
    f.write(b"\0" * (total - written))
PY
fi
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
