#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Pictures of the desktop program under Xvfb, to check its windows by eye: the main window
# at start and after a scan of a generated FAT image, the scan dialog (also in the middle of
# a deep scan's pass, with its read line), the recovery dialog, the about box, the gallery
# over a second image of deleted photos (grouped by day taken, and as one grid), and the whole screen at each step (with
# ImageMagick's `import`).
# Usage: scripts/screenshots.sh [OUT_DIR]   (default build/screenshots)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${PYRALIS_BUILD_DIR:-build/screenshots-build}
out=$(realpath -m "${1:-build/screenshots}")
mkdir -p "$out"
cmake -S . -B "$build" -G Ninja -DPYRALIS_GUI=ON >/dev/null
cmake --build "$build" -j2 --target pyralis pyralis_screenshot_tour

# A small FAT16 volume with a few files, two of them deleted, one in a folder.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
image=$work/demo.img
mkfs.fat -C -n DEMO "$image" 8192 >/dev/null
export MTOOLS_SKIP_CHECK=1
for n in 1 2 3 4 5 6; do
  head -c $((n * 7000)) /dev/urandom >"$work/f$n"
done
# A real picture and a real letter, for the preview.
convert -size 320x200 gradient:orange-purple "$work/f2.jpg" && mv "$work/f2.jpg" "$work/f2"
printf 'Dear Anna,\n\nthe photos from the holiday are on the stick.\nSee you soon!\n' >"$work/f4"
mcopy -i "$image" "$work/f1" ::/REPORT.DOC
mcopy -i "$image" "$work/f2" "::/Holiday photo.jpg"
mcopy -i "$image" "$work/f3" ::/BUDGET.XLS
mmd -i "$image" ::/Letters
mcopy -i "$image" "$work/f4" "::/Letters/Letter to Anna.txt"
mcopy -i "$image" "$work/f5" ::/Letters/NOTES.TXT
mcopy -i "$image" "$work/f6" ::/ARCHIVE.ZIP
mdel -i "$image" "::/Holiday photo.jpg" ::/ARCHIVE.ZIP "::/Letters/Letter to Anna.txt" ::/REPORT.DOC

# A card of photos for the gallery: pictures of several shapes, a PNG, a photo whose second
# half was overwritten (damaged), a bare name over foreign bytes, a video and a document.
photos=$work/photos.img
mkfs.fat -C -n PHOTOS "$photos" 16384 >/dev/null
mmd -i "$photos" ::/DCIM
n=0
for picture in "rose:" "wizard:" "logo:" "granite:" "netscape:" \
  "-seed 3 plasma:fractal" "-seed 9 plasma:green-yellow" "-seed 5 plasma:navy-skyblue" \
  "gradient:orange-purple" "radial-gradient:yellow-firebrick" "-seed 7 plasma:wheat-sienna"; do
  n=$((n + 1))
  # shellcheck disable=SC2086  # the ImageMagick picture may carry options
  convert -size 480x360 $picture -resize 480x360 -quality 85 "$work/IMG_$((1000 + n)).JPG"
done
# Camera dates (EXIF DateTimeOriginal) over four days, for the gallery's day groups; the
# PNG, the foreign bytes, the video and the PDF say none.
/usr/bin/python3 - "$work" <<'PY'
import struct, sys
days = ['2024:07:14'] * 4 + ['2024:07:13'] * 3 + ['2023:12:24'] * 2 + ['2023:08:19'] * 2
for n, day in enumerate(days, start=1001):
    path = f'{sys.argv[1]}/IMG_{n}.JPG'
    jpeg = open(path, 'rb').read()
    date = (day + ' 1%d:2%d:00' % (n % 10, n % 7)).encode() + b'\0'
    ifd0 = struct.pack('<H', 1) + struct.pack('<HHII', 0x8769, 4, 1, 26) + struct.pack('<I', 0)
    exif = struct.pack('<H', 1) + struct.pack('<HHII', 0x9003, 2, 20, 44) + struct.pack('<I', 0)
    tiff = b'II*\0' + struct.pack('<I', 8) + ifd0 + exif + date
    body = b'Exif\0\0' + tiff
    open(path, 'wb').write(jpeg[:2] + b'\xff\xe1' + struct.pack('>H', len(body) + 2) + body + jpeg[2:])
PY
convert -size 300x400 -seed 11 plasma:fractal "$work/Scan of the old photo.png"
cp "$work/IMG_1006.JPG" "$work/IMG_1012.JPG"
size=$(stat -c %s "$work/IMG_1012.JPG")
head -c $((size / 2)) /dev/urandom | dd of="$work/IMG_1012.JPG" bs=1 seek=$((size / 2)) conv=notrunc \
  status=none
head -c 30000 /dev/urandom >"$work/IMG_1013.JPG"
{ printf '\0\0\0\x18ftypmp42\0\0\0\0mp42isom'; head -c 60000 /dev/urandom; } >"$work/MOV_1014.MP4"
cp "$work/f1" "$work/Holiday plan.pdf"
for f in "$work"/IMG_*.JPG "$work/Scan of the old photo.png" "$work/MOV_1014.MP4" "$work/Holiday plan.pdf"; do
  mcopy -i "$photos" "$f" "::/DCIM/$(basename "$f")"
done
mdeltree -i "$photos" ::/DCIM

# The tour drives the program's windows itself and saves them with Qt's grabs: light and
# dark, at 100 % and 200 % (a 2560x1800 screen for the latter).
for theme in light dark; do
  for scale in 1 2; do
    dir=$out/$theme-$((scale * 100))
    mkdir -p "$dir"
    PYRALIS_TOUR_THEME=$theme QT_SCALE_FACTOR=$scale xvfb-run -a \
      -s "-screen 0 $((1280 * scale))x$((900 * scale))x24" \
      "$build/tests/ui/pyralis_screenshot_tour" "$dir" "$image" "$photos"
  done
done

# The real program on the same image, pictured from outside with ImageMagick.
xvfb-run -a -s "-screen 0 1280x900x24" bash -c '
  "$1" "$2" & pid=$!
  sleep 3
  import -window root "$3/program-root.png"
  kill $pid' _ "$build/app/pyralis" "$image" "$out"
# And without arguments: only the machine's own FAT/NTFS volumes are listed.
xvfb-run -a -s "-screen 0 1280x900x24" bash -c '
  "$1" & pid=$!
  sleep 3
  import -window root "$2/program-no-arguments.png"
  kill $pid' _ "$build/app/pyralis" "$out"
ls -1 "$out"/*.png "$out"/*/*.png
