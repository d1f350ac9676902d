#!/usr/bin/env bash
# Installs every Debian package that building and testing Lumivista needs.
# Safe to run again: packages already present are left alone.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  googletest libgtest-dev
  libblkid-dev
  qt6-base-dev qt6-base-dev-tools libqt6svg6 qt6-image-formats-plugins
  dosfstools mtools fdisk gdisk ntfs-3g sleuthkit attr fuse3 exfatprogs exfat-fuse
  zlib1g-dev libsqlite3-dev libdeflate-dev
  imagemagick libjpeg-turbo-progs libimage-exiftool-perl
  libheif-dev libheif-examples webp libtiff-tools
  testdisk foremost ghostscript zip
  clang-14 libfuzzer-14-dev libclang-rt-14-dev
  time
  gddrescue
  dbus python3-dbusmock python3-gi udisks2
  debhelper dpkg-dev fakeroot lintian desktop-file-utils appstream
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
