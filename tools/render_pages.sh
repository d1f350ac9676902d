#!/usr/bin/env bash
# Renders every page of the wizard, and the message boxes it shows, into
# docs/screenshots (offscreen): the drive pages on stand-in disks, the scan,
# result and recovery pages with a real scan of a camera card image made here
# from the photos of tools/photos.sh. Builds the renderer in ./build first.
# Usage: tools/render_pages.sh [OUTPUT_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs/screenshots}
[ -f build/build.ninja ] || cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target lumivista-render-pages -j 2

photos=$(bash tools/photos.sh "${XDG_CACHE_HOME:-$HOME/.cache}/lumivista-test-photos")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/DCIM/100CANON" "$work/DCIM/101CANON"
cp "$photos"/IMG_000[1-5].JPG "$photos"/IMG_010[1-5].JPG "$work/DCIM/100CANON/"
cp "$photos"/SCAN000?.PNG "$photos"/ANIM000?.GIF "$photos"/PAINT00?.BMP "$work/DCIM/101CANON/"
card=$work/card.img
bash tools/mkfatimage.sh -l CAMERA "$card" 64 "$work/DCIM" >/dev/null
# Two photos deleted from the card: the raw scan brings them back.
export MTOOLS_SKIP_CHECK=1
for name in IMG_0002.JPG IMG_0104.JPG; do
  mcopy -i "$card@@1048576" "$photos/$name" "::/DEL_$name"
  mdel -i "$card@@1048576" "::/DEL_$name"
done

QT_QPA_PLATFORM=offscreen ./build/src/app/lumivista-render-pages "$out" "$card"
