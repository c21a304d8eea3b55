#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# exFAT benchmark (not a test): pyralis-cli against The Sleuth Kit on a 100,000-file volume.
#   bench/exfat/run-exfat-bench.sh [WORKDIR]
# Builds (once, into WORKDIR, default build/bench/exfat) a 2 GiB sparse exFAT volume with
# mkfs.exfat (4 KiB clusters) and tests/exfat/exfat_writer.py: 1,000 folders of 100 files,
# one in five files deleted plus ten whole folders, a tenth of the files fragmented. Prints:
#   - scan: median wall time of `pyralis-cli scan --format tsv` and of `fls -r -d` over
#     PYRALIS_BENCH_RUNS runs (default 3) and their ratio;
#   - peak memory (maximum resident set size) of the scan, with the bound
#     64 MiB + 300 bytes per found file;
#   - recovery: wall time of `pyralis-cli recover --all --with-paths` and of `tsk_recover`
#     (which writes every deleted file it finds under its folders) on the same volume. Folders
#     are kept by both: without them the 100 names repeated in every folder make each new file
#     look for a free "name (n)" among up to 200 taken ones;
#   - a file of more than 4 GiB in a 5 GiB sparse volume, recovered and compared with icat.
# pyralis-cli is taken from PYRALIS_CLI, else build/dev or build/release.
set -euo pipefail
cd "$(dirname "$0")/../.."
work=${1:-build/bench/exfat}
runs=${PYRALIS_BENCH_RUNS:-3}
cli=${PYRALIS_CLI:-}
for candidate in build/dev/cli/pyralis-cli build/release/cli/pyralis-cli; do
  [ -n "$cli" ] || { [ -x "$candidate" ] && cli=$(pwd)/$candidate; }
done
[ -n "$cli" ] || { echo "build pyralis-cli first (or set PYRALIS_CLI)" >&2; exit 2; }
writer=$(pwd)/tests/exfat/exfat_writer.py
mkdir -p "$work"
image=$work/exfat-100k.img

# shellcheck source=bench/timing.sh
. bench/timing.sh  # the script runs from the top folder

if [ ! -f "$image" ]; then
  echo "building $image ..." >&2
  truncate -s 2G "$image.tmp"
  mkfs.exfat -c 4K "$image.tmp" >/dev/null
  python3 - "$work/script" <<'PY'
import sys
with open(sys.argv[1], 'w') as out:
    for d in range(1000):
        out.write('mkdir\t/dir%04d\n' % d)
        for f in range(100):
            size = 1000 + (d * 100 + f) * 37 % 30000
            frag = '\tfrag' if f % 10 == 3 else ''
            out.write('put\t/dir%04d/file%03d.jpg\t%d\t%d\tquick%s\n' % (d, f, size, d * 100 + f, frag))
    for d in range(1000):
        if d % 100 == 7:
            out.write('delete\t/dir%04d\n' % d)
            continue
        for f in range(0, 100, 5):
            out.write('delete\t/dir%04d/file%03d.jpg\n' % (d, f))
PY
  python3 "$writer" "$image.tmp" <"$work/script"
  mv "$image.tmp" "$image"
fi

found=$("$cli" scan "$image" --format tsv 2>/dev/null | tail -n +2 | wc -l)
tsk_found=$(fls -r -d "$image" | grep -c '^r/r \*' || true)
echo "volume: $image, pyralis lists $found deleted files, fls -r -d lists $tsk_found"
ours=$(for _ in $(seq "$runs"); do timed "$cli" scan "$image" --format tsv; done | median)
theirs=$(for _ in $(seq "$runs"); do timed fls -r -d "$image"; done | median)
echo "scan: pyralis-cli ${ours} s, fls -r -d ${theirs} s, ratio $(awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "%.3f", a / b }')"
scan_mib=$(peak_mib "$cli" scan "$image" --format tsv)
echo "scan peak memory: ${scan_mib} MiB (bound $(awk -v n="$found" 'BEGIN { printf "%.1f", 64 + n * 300 / 1048576 }') MiB); fls: $(peak_mib fls -r -d "$image") MiB"

out=$(mktemp -d "$work/out.XXXXXX")
trap 'rm -rf "$out"' EXIT
rec=$(timed "$cli" recover "$image" --all --with-paths --to "$out/pyralis")
tsk=$(timed tsk_recover "$image" "$out/tsk")
echo "recovery: pyralis-cli recover --all --with-paths ${rec} s ($(find "$out/pyralis" -type f | wc -l) files, $(du -sm "$out/pyralis" | cut -f1) MiB), tsk_recover ${tsk} s ($(find "$out/tsk" -type f | wc -l) files)"
rm -rf "$out/pyralis" "$out/tsk"

big=$work/exfat-big.img
if [ ! -f "$big" ]; then
  truncate -s 5G "$big.tmp"
  mkfs.exfat -c 128K "$big.tmp" >/dev/null
  printf 'put\t/huge.mov\t4295090753\t7\tsparse\n' | python3 "$writer" "$big.tmp"
  printf 'delete\t/huge.mov\n' | python3 "$writer" "$big.tmp"
  mv "$big.tmp" "$big"
fi
start=$(now)
"$cli" recover "$big" --all --to "$out/big" >/dev/null 2>&1
end=$(now)
inode=$(fls -r -d "$big" | awk -F'[ :\t]+' '/huge.mov/ { print $3 }')
if icat "$big" "$inode" | cmp -s - "$out/big/huge.mov"; then same=identical; else same=DIFFERENT; fi
echo "file over 4 GiB: recovered in $(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }') s, $same to icat"
