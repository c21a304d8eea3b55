#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Pictures of the desktop program under Xvfb, to check its windows by eye: the main window
# at start and after a scan of a generated FAT image, the scan dialog (also in the middle of
# a deep scan's pass, with its read line), the recovery dialog, the
# about box, and the whole screen at each step (with ImageMagick's `import`).
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

# The tour drives the program's windows itself and saves them with Qt's grabs: light and
# dark, at 100 % and 200 % (a 2560x1800 screen for the latter).
for theme in light dark; do
  for scale in 1 2; do
    dir=$out/$theme-$((scale * 100))
    mkdir -p "$dir"
    PYRALIS_TOUR_THEME=$theme QT_SCALE_FACTOR=$scale xvfb-run -a \
      -s "-screen 0 $((1280 * scale))x$((900 * scale))x24" \
      "$build/tests/ui/pyralis_screenshot_tour" "$dir" "$image"
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
