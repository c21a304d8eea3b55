#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the large FAT32 benchmark volume (4 GiB, 2,000 folders of 50 files, a fifth of them
# deleted, and 8 deleted files of 16 MiB) with the project's own image writer.
#   bench/fat/make-bench-volume.sh IMAGE
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${PYRALIS_BUILD_DIR:-build/bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPYRALIS_GUI=OFF >/dev/null
cmake --build "$build" --target make_fat32_volume -j "${PYRALIS_JOBS:-2}" >/dev/null
"$build/bench/fat/make_fat32_volume" "$1" 2000 50 8 16 4096
