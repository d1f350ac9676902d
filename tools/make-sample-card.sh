#!/usr/bin/env bash
# Builds a sample camera card image: an MBR disk image (sfdisk) with one
# FAT32 partition (mkfs.fat) holding camera-style DCIM folders of real photos.
# Some photos are then deleted (mdel) and a few more are taken afterwards, as
# happens on a card in use. The deleted ones are what a scan brings back.
#
# Usage: tools/make-sample-card.sh [IMAGE]   (default: build/sample-card.img)
# Needs: sfdisk, mkfs.fat, mtools, and the photos of tools/photos.sh (made in
# build/photos, or taken from $LUMIVISTA_PHOTOS when set).
# Prints the image path; the card's story goes to standard error.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
image=${1:-"$here/../build/sample-card.img"}
mkdir -p "$(dirname "$image")"

photos=$(bash "$here/photos.sh" "${LUMIVISTA_PHOTOS:-$here/../build/photos}")

# 64 MiB of 512-byte clusters: enough clusters for FAT32.
start=$(bash "$here/mkfatimage.sh" -s 1 -l CAMERACARD "$image" 64)
export MTOOLS_SKIP_CHECK=1
card="$image@@$((start * 512))"

mmd -i "$card" ::/DCIM ::/DCIM/100CAMRA ::/DCIM/101CAMRA ::/MISC
take() {  # take FOLDER PHOTO...
  local folder=$1; shift
  for p in "$@"; do mcopy -Q -i "$card" "$photos/$p" "::/DCIM/$folder/"; done
}
take 100CAMRA IMG_0101.JPG IMG_0102.JPG IMG_0103.JPG IMG_0002.JPG IMG_0104.JPG
take 101CAMRA IMG_0003.JPG SCAN0003.PNG ANIM0001.GIF PAINT001.BMP IMG_0004.JPG IMG_0105.JPG

# Deleted on the camera.
deleted=(100CAMRA/IMG_0102.JPG 100CAMRA/IMG_0002.JPG 101CAMRA/IMG_0003.JPG 101CAMRA/ANIM0001.GIF
         101CAMRA/PAINT001.BMP)
for d in "${deleted[@]}"; do mdel -i "$card" "::/DCIM/$d"; done

# Taken after the deletions.
take 101CAMRA SCAN0004.PNG ANIM0002.GIF

echo "sample card: $(basename "$image"), FAT32 partition from sector $start" >&2
echo "  on the card: $(mdir -i "$card" -/ -b ::/DCIM | grep -c '[^/]$') files" >&2
echo "  deleted: ${deleted[*]}" >&2
echo "$image"
