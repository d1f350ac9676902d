#!/usr/bin/env bash
# Seeds of fuzz_photo_readers: small photos of the newer types made by real
# tools (ImageMagick TIFF in strips and tiles, both byte orders; cwebp;
# heif-enc), each behind the target's 4 control bytes (all formats, every
# sector readable). Called by make_seeds.sh; can run alone.
set -euo pipefail
cd "$(dirname "$0")/.."
out=fuzz/corpus/fuzz_photo_readers
rm -rf "$out"
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
photos=$(bash tools/photos.sh "${XDG_CACHE_HOME:-$HOME/.cache}/lumivista-test-photos")
src=$photos/IMG_0105.JPG
convert "$src" -resize 16x12 -compress none -endian LSB "$work/strips_le.tif"
convert "$src" -resize 32x24 -compress lzw -endian MSB -define tiff:tile-geometry=16x16 "$work/tiles_be.tif"
convert "$src" -resize 16x12 "$work/small.png"
cwebp -quiet -q 50 "$work/small.png" -o "$work/lossy.webp"
cwebp -quiet -lossless "$work/small.png" -o "$work/lossless.webp"
heif-enc -q 20 "$work/small.png" -o "$work/photo.heic" >/dev/null
heif-enc --avif -q 20 "$work/small.png" -o "$work/photo.avif" >/dev/null
for f in strips_le.tif tiles_be.tif lossy.webp lossless.webp photo.heic photo.avif; do
  { printf '\xff\x00\x00\x00'; cat "$work/$f"; } > "$out/${f/./_}"
done
ls -l "$out"
