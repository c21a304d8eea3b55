#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# make-photo-volume.sh IMAGE [PHOTOS=20000]: a FAT32 image whose folder DCIM held PHOTOS
# deleted JPEG photos (320 × 240, each with an EXIF thumbnail of 160 × 120, as cameras
# write them, taken over 100 days), for pyralis_gallery_bench. Needs ImageMagick, mkfs.fat and mtools.
set -eu
image=$1
photos=${2:-20000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
convert -size 320x240 plasma:fractal -quality 85 "$work/main.jpg"
convert -size 160x120 plasma:fractal -quality 80 "$work/thumb.jpg"
# The EXIF block: IFD0 with DateTime and, as its next directory, IFD1 with the thumbnail.
# One photo file per day over 100 days (200 photos a day), for the gallery's day groups.
/usr/bin/python3 - "$work/main.jpg" "$work/thumb.jpg" "$work" <<'PY'
import datetime, struct, sys
main = open(sys.argv[1], 'rb').read()
thumb = open(sys.argv[2], 'rb').read()
for day in range(100):
    taken = datetime.date(2023, 5, 1) + datetime.timedelta(days=day)
    date = taken.strftime('%Y:%m:%d 11:42:07').encode() + b'\0'
    ifd0 = struct.pack('<H', 1) + struct.pack('<HHII', 0x0132, 2, 20, 26) + struct.pack('<I', 46)
    ifd1 = struct.pack('<H', 2) + struct.pack('<HHII', 0x0201, 4, 1, 76) + \
        struct.pack('<HHII', 0x0202, 4, 1, len(thumb)) + struct.pack('<I', 0)
    tiff = b'II*\0' + struct.pack('<I', 8) + ifd0 + date + ifd1 + thumb
    body = b'Exif\0\0' + tiff
    open(f'{sys.argv[3]}/photo{day}.jpg', 'wb').write(
        main[:2] + b'\xff\xe1' + struct.pack('>H', len(body) + 2) + body + main[2:])
PY
# Folders of 500 photos, as cameras make them (and mtools adds to a long folder slowly).
i=0
while [ "$i" -lt "$photos" ]; do
  folder=$work/DCIM/$((100 + i / 500))CANON
  mkdir -p "$folder"
  ln "$work/photo$((i * 100 / photos)).jpg" "$folder/IMG_$(printf %05d "$i").JPG"
  i=$((i + 1))
done
size=$(( (photos * 24 / 1024) + 64 ))  # MiB: 6 clusters of 4 KiB a photo, and room
rm -f "$image"
mkfs.fat -F 32 -s 8 -C "$image" $((size * 1024)) >/dev/null
MTOOLS_SKIP_CHECK=1 mcopy -s -i "$image" "$work/DCIM" ::/
MTOOLS_SKIP_CHECK=1 mdeltree -i "$image" ::/DCIM
