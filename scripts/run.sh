#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The main job: set the machine up, build Pyralis (Release, build/release) and run it.
#   scripts/run.sh            build (or reuse) the demo FAT32 volume demo/demo-fat32.img and
#                             open it in the desktop program; without a display, scan it with
#                             pyralis-cli and recover every deleted file into demo/recovered/
#   scripts/run.sh SOURCE     the same on a disk image or block device of your own
#                             (a block device needs root or read access, see README)
# PYRALIS_RECOVER_DIR overrides the recovery folder of the display-less run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
scripts/setup-debian.sh

build=build/release
have_display=
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then have_display=1; fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPYRALIS_TESTS=OFF >/dev/null
targets=(pyralis-cli)
if [ -n "$have_display" ]; then targets+=(pyralis); fi
cmake --build "$build" --target "${targets[@]}"
cli="$build/cli/pyralis-cli"

if [ $# -ge 1 ]; then
  source=$1
else
  source=demo/demo-fat32.img
  scripts/make-demo-volume.sh "$source"
fi

if [ -n "$have_display" ] && [ -x "$build/app/pyralis" ]; then
  echo "Opening $source in pyralis (drive C:). Choose Scan, select rows, then Unerase." >&2
  exec "$build/app/pyralis" "$source"
fi

out=${PYRALIS_RECOVER_DIR:-$root/demo/recovered}
echo "No display: scanning $source with pyralis-cli" >&2
"$cli" drives "$source"
echo >&2
"$cli" scan "$source"
echo >&2
if [ -z "${PYRALIS_RECOVER_DIR:-}" ]; then rm -rf "$out"; fi
status=0
"$cli" recover "$source" --all --with-paths --to "$out" || status=$?
echo >&2
echo "Recovered files are in $out:" >&2
(cd "$out" && find . -type f | sort) >&2
exit "$status"
