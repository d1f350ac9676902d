#!/usr/bin/env bash
# Makes photos of the newer types from the real photos of tools/photos.sh,
# each with the real tool for its format, for tests and benchmarks:
#   TIFF by ImageMagick (strips and tiles, little- and big-endian, several
#   pages), WebP by cwebp (lossy, lossless, with alpha), HEIC and AVIF by
#   heif-enc.
# Usage: tools/formats.sh PHOTOS_DIR [DIR]   (default DIR: PHOTOS_DIR/formats).
# Prints DIR. Idempotent and safe to run from several processes at once.
set -euo pipefail
photos=$(cd "$1" && pwd)
dir=${2:-"$photos/formats"}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
exec 9>"$dir/.lock"
flock 9
if [ -f "$dir/.done" ]; then echo "$dir"; exit 0; fi

mid=$photos/IMG_0103.JPG     # 640 x 480
small=$photos/IMG_0104.JPG   # 320 x 240
convert "$mid" -compress none -endian LSB "$dir/strips-le.tif"
convert "$mid" -compress lzw -endian MSB "$dir/strips-be.tif"
convert "$mid" -compress zip -endian LSB -define tiff:tile-geometry=128x128 "$dir/tiles-le.tif"
convert "$mid" -compress none -endian MSB -define tiff:tile-geometry=64x64 "$dir/tiles-be.tif"
convert "$small" "$mid" -compress lzw "$dir/pages.tif"
cwebp -quiet -q 80 "$mid" -o "$dir/lossy.webp"
cwebp -quiet -lossless "$small" -o "$dir/lossless.webp"
convert "$small" -alpha set -channel A -evaluate set 60% +channel "$dir/alpha.png"
cwebp -quiet -q 70 "$dir/alpha.png" -o "$dir/alpha.webp"
rm -f "$dir/alpha.png"
heif-enc -q 40 "$small" -o "$dir/photo.heic" >/dev/null
heif-enc --avif -q 40 "$small" -o "$dir/photo.avif" >/dev/null

touch "$dir/.done"
echo "$dir"
