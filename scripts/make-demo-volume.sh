#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds a small FAT32 demo volume with deleted files, without mounting anything:
#   scripts/make-demo-volume.sh [IMAGE]      (default: demo/demo-fat32.img)
# Long names, a deleted folder with files in it, photos, documents and archives whose first
# bytes match their extensions, some deleted, some left in place. An existing image that is
# newer than this script is reused. Needs mkfs.fat (dosfstools) and mtools; ImageMagick's
# convert draws real photos when it is there.
set -euo pipefail
cd "$(dirname "$0")/.."
image=${1:-demo/demo-fat32.img}
if [ -f "$image" ] && [ "$image" -nt "$0" ]; then
  echo "Reusing demo volume $image" >&2
  exit 0
fi
mkdir -p "$(dirname "$image")"
staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT
export MTOOLS_SKIP_CHECK=1

# Deterministic filler of N bytes after a given head (printf escapes).
make_file() {  # path size head
  { printf "$3"; head -c "$2" < <(yes "Pyralis demo line for $(basename "$1")"); } | head -c "$2" >"$1"
}
make_photo() {  # path width height colours
  if command -v convert >/dev/null && convert -size "$2x$3" "gradient:$4" "jpg:$1" 2>/dev/null; then
    return
  fi
  make_file "$1" 60000 '\xFF\xD8\xFF\xE0\x00\x10JFIF\x00'
}
make_zip() {  # path: a whole ZIP of a few stored text files (about 48 KB)
  if command -v python3 >/dev/null && python3 - "$1" <<'PY'; then
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_STORED) as z:
    for n in range(1, 5):
        z.writestr(f"project/part {n}.txt", "".join(
            f"Pyralis demo project, part {n}, line {i}\n" for i in range(300)))
PY
    return
  fi
  make_file "$1" 48000 'PK\x03\x04\x14\x00\x00\x00\x00\x00'
}
make_pdf() {  # path title: a small, whole PDF (its xref table points at its objects)
  local LC_ALL=C  # lengths and offsets count bytes
  local stream="BT /F1 24 Tf 72 760 Td ($2) Tj ET"
  local objs=(
    "<< /Type /Catalog /Pages 2 0 R >>"
    "<< /Type /Pages /Kids [3 0 R] /Count 1 >>"
    "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R /Resources << /Font << /F1 5 0 R >> >> >>"
    "<< /Length ${#stream} >>
stream
$stream
endstream"
    "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
  # Comment lines after the header make the document span several clusters.
  local out pad
  out=$'%PDF-1.4\n'
  pad=$(for _ in $(seq 110); do echo "% padding so that the document spans several clusters"; done)
  out+="$pad"$'\n'
  local offsets=() i
  for i in "${!objs[@]}"; do
    offsets+=("${#out}")
    out+="$((i + 1)) 0 obj ${objs[$i]} endobj"$'\n'
  done
  local xref=${#out}
  out+=$'xref\n'"0 $((${#objs[@]} + 1))"$'\n0000000000 65535 f \n'
  for i in "${offsets[@]}"; do out+=$(printf '%010d 00000 n ' "$i")$'\n'; done
  out+="trailer << /Size $((${#objs[@]} + 1)) /Root 1 0 R >>"$'\nstartxref\n'"$xref"$'\n%%EOF\n'
  printf '%s' "$out" >"$1"
}

s=$staging
make_photo "$s/beach" 800 600 skyblue-navy
make_photo "$s/sunset" 1024 768 orange-purple
make_photo "$s/portrait" 600 800 wheat-sienna
make_pdf "$s/report" "Quarterly report - final version"
make_pdf "$s/budget" "Budget 2023"
make_pdf "$s/letter" "Letter to the bank"
make_zip "$s/archive"
make_file "$s/notes" 9000 ''
make_file "$s/readme" 2500 ''
make_file "$s/shopping" 300 ''

rm -f "$image"
mkfs.fat -C -F 32 -s 1 -n PYRALISDEMO "$image" 65536 >/dev/null
put() { mcopy -i "$image" "$1" "::/$2"; }
mmd -i "$image" ::/Photos ::/Documents "::/Old projects"
put "$s/beach" "Photos/Beach holiday 2024.jpg"
put "$s/sunset" "Photos/Sunset over the harbour.jpg"
put "$s/portrait" "Photos/Family portrait - grandma's 90th birthday.jpg"
put "$s/report" "Documents/Quarterly report - final version.pdf"
put "$s/shopping" "Documents/Shopping list.txt"
put "$s/notes" "Documents/Notes from the meeting with a very long file name that spans several directory entries.txt"
put "$s/archive" "Old projects/project archive.zip"
put "$s/budget" "Old projects/budget 2023.pdf"
put "$s/readme" "Old projects/README for the old project.txt"
put "$s/letter" "Letter to the bank.pdf"
put "$s/shopping" "holiday checklist.txt"

mdel -i "$image" "::/Photos/Sunset over the harbour.jpg" \
  "::/Photos/Family portrait - grandma's 90th birthday.jpg" \
  "::/Documents/Quarterly report - final version.pdf" \
  "::/Documents/Notes from the meeting with a very long file name that spans several directory entries.txt" \
  "::/Letter to the bank.pdf"
mdeltree -i "$image" "::/Old projects"
echo "Demo volume $image: 8 deleted files (one deleted folder), 3 live ones" >&2
