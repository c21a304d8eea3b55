#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Packaging checks on an existing build (default build/test, a Release build with the GUI):
# installs it into a staging folder, checks that the programs, desktop entry, metainfo, icons
# and man pages are there and valid, makes the Debian package with CPack and runs lintian.
#   scripts/test-package.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/test}
stage="$build/staging"
rm -rf "$stage"
cmake --build "$build" -j "${PYRALIS_JOBS:-$(nproc)}"
DESTDIR="$PWD/$stage" cmake --install "$build" --prefix /usr >/dev/null

id=org.pyralis.Pyralis
expected=(usr/bin/pyralis usr/bin/pyralis-cli
  "usr/share/applications/$id.desktop" "usr/share/metainfo/$id.metainfo.xml"
  "usr/share/icons/hicolor/scalable/apps/$id.svg"
  usr/share/man/man1/pyralis.1.gz usr/share/man/man1/pyralis-cli.1.gz
  usr/share/doc/pyralis/copyright usr/share/doc/pyralis/changelog.gz)
for size in 16 22 24 32 48 64 128 256; do
  expected+=("usr/share/icons/hicolor/${size}x${size}/apps/$id.png")
done
for file in "${expected[@]}"; do
  [ -s "$stage/$file" ] || { echo "package: $file is not installed" >&2; exit 1; }
done
desktop-file-validate "$stage/usr/share/applications/$id.desktop"
appstreamcli validate --no-net "$stage/usr/share/metainfo/$id.metainfo.xml"
# Every option of --help appears in the man page.
for program in pyralis pyralis-cli; do
  page=$(zcat "$stage/usr/share/man/man1/$program.1.gz" | sed 's/\\-/-/g')
  for option in $("$stage/usr/bin/$program" --help | grep -o -- ' --[a-z-]*' | sort -u); do
    grep -q -- "$option" <<<"$page" || { echo "package: $program.1 lacks $option" >&2; exit 1; }
  done
done

(cd "$build" && cpack -G DEB >/dev/null)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb="$build/pyralis_${version}_amd64.deb"
[ -f "$deb" ] || { echo "package: $deb was not made" >&2; exit 1; }
dpkg-deb --field "$deb" Package Version Depends
lintian --fail-on error "$deb"
echo "package: $deb passes lintian" >&2
