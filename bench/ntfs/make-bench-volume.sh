#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes the NTFS benchmark volume: 200,000 MFT records, 50,000 of them deleted files (one in
# fifty 2,000 clusters long, in three fragments), written sparsely, with a manifest of the
# deleted files beside it (record, path, size, clusters; tab-separated).
#
#   bench/ntfs/make-bench-volume.sh [--check] [OUTPUT.img] [make-ntfs-image options...]
#
# OUTPUT defaults to ${TMPDIR:-/tmp}/pyralis-ntfs-bench.img. The tool is built in
# ${PYRALIS_BUILD_DIR:-build/bench} when it is not there yet. With --check, fsstat must
# accept the image and `fls -r -d -p` must list exactly the manifest's paths; its run time
# is printed (the reference figure for the scan benchmark). The image is about 11 GB with
# holes and 300 MB without: copy it with `cp --sparse=always` only.
set -euo pipefail
cd "$(dirname "$0")/../.."

check=0
if [[ "${1:-}" == "--check" ]]; then
  check=1
  shift
fi
output="${TMPDIR:-/tmp}/pyralis-ntfs-bench.img"
if [[ $# -gt 0 && "$1" != --* ]]; then
  output="$1"
  shift
fi

build="${PYRALIS_BUILD_DIR:-build/bench}"
tool="$build/tests/ntfsimg/make-ntfs-image"
if [[ ! -x "$tool" ]]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPYRALIS_GUI=OFF >/dev/null
  cmake --build "$build" --target make-ntfs-image -j 2
fi

manifest="${output%.img}.manifest.tsv"
"$tool" "$output" --manifest "$manifest" "$@"

if [[ $check -eq 1 ]]; then
  fsstat "$output" >/dev/null
  listing="$(mktemp)"
  trap 'rm -f "$listing" "$listing.a" "$listing.b"' EXIT
  start=$(date +%s.%N)
  fls -r -d -p "$output" >"$listing"
  end=$(date +%s.%N)
  cut -f2 "$listing" | sort >"$listing.a"
  cut -f2 "$manifest" | sort >"$listing.b"
  if ! cmp -s "$listing.a" "$listing.b"; then
    echo "fls -r -d -p and the manifest disagree:" >&2
    diff "$listing.a" "$listing.b" | head -20 >&2
    exit 1
  fi
  printf 'fls -r -d -p listed %d deleted files, as the manifest says, in %.2f s\n' \
    "$(wc -l <"$listing.a")" "$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')"
fi
