#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what building, running and testing Pyralis needs on Debian 12, with apt-get only.
# Does nothing when everything is already installed.
set -euo pipefail
packages=(build-essential cmake ninja-build pkgconf qt6-base-dev qt6-base-dev-tools qt6-svg-dev
  libblkid-dev libgtest-dev xvfb xauth imagemagick fonts-dejavu-core mtools dosfstools fdisk
  sleuthkit time strace clang libclang-rt-14-dev dbus python3-dbusmock exfatprogs python3
  librsvg2-bin help2man desktop-file-utils appstream dpkg-dev fakeroot file lintian
  zlib1g-dev libjpeg62-turbo-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}" >&2
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
