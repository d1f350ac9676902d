#!/usr/bin/env bash
# Makes photos of the newer types from the real photos of tools/photos.sh,
# each with the real tool for its format, for tests and benchmarks:
#   TIFF by ImageMagick (strips and tiles, little- and big-endian, several
#   pages), WebP by cwebp (lossy, lossless, with alpha), HEIC and AVIF by
#   heif-enc; and synthetic camera RAW files of every kind tools/make-raw.py
#   writes (camera.cr2, camera.nef, ...), each with a real JPEG preview.
# Usage: tools/formats.sh PHOTOS_DIR [DIR]   (default DIR: PHOTOS_DIR/formats).
# Prints DIR. Made again when this script or make-raw.py changes; safe to run
# from several processes at once.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
photos=$(cd "$1" && pwd)
dir=${2:-"$photos/formats"}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
exec 9>"$dir/.lock"
flock 9
key=$(cat "$here/formats.sh" "$here/make-raw.py" | sha256sum | cut -d' ' -f1)
if [ -f "$dir/.done" ] && [ "$(cat "$dir/.done")" = "$key" ]; then echo "$dir"; exit 0; fi
rm -f "$dir/.done"

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
# Sensor data of a few hundred KiB: several runs of sectors, as on a card.
for kind in cr2 nef arw dng pef orf rw2 raf cr3; do
  python3 "$here/make-raw.py" "$kind" "$mid" "$dir/camera.$kind" --sensor-bytes 300000
done

echo "$key" > "$dir/.done"
echo "$dir"
