#!/usr/bin/env bash
# Makes small photos of every structure the format readers follow, with
# ImageMagick, jpegtran and exiftool: baseline, progressive and restart-marker
# JPEGs, a JPEG with an Exif thumbnail, a multi-picture JPEG, a JPEG over 10 MiB, 8- and 16-bit and
# interlaced PNGs, a still and an animated GIF, 1/4/8/24/32-bit and RLE8
# bitmaps and an OS/2 bitmap; and a ZIP archive of noise, for tails
# overwritten by another file.
# Usage: tools/format-samples.sh [DIR]   (default: build/format-samples). Prints DIR.
# Made again when this script changes; safe to run from several processes at once.
set -euo pipefail
script=$(realpath "$0")
dir=${1:-"$(dirname "$0")/../build/format-samples"}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
exec 9>"$dir/.lock"
flock 9
key=$(sha256sum "$script" | cut -d' ' -f1)
if [ -f "$dir/.done" ] && [ "$(cat "$dir/.done")" = "$key" ]; then echo "$dir"; exit 0; fi
rm -f "$dir/.done"

work=$(mktemp -d "$dir/.work.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
# Plasma fractals look enough like photographs to compress like them.
plasma() { convert -seed "$1" -size "$2" plasma: "${@:3}"; }

plasma 1 640x480 -quality 90 baseline.jpg
jpegtran -progressive -copy all baseline.jpg > progressive.jpg
jpegtran -restart 2 -copy all baseline.jpg > restart.jpg
convert baseline.jpg -resize 160x120 -quality 80 thumb.jpg
cp baseline.jpg exif.jpg
exiftool -q -overwrite_original -Make=Lumicam -Model="Test 1" "-ThumbnailImage<=thumb.jpg" exif.jpg
jpegtran -progressive -copy all exif.jpg > exif-progressive.jpg
# A camera's multi-picture file: a large preview JPEG stored after the first
# image's end, listed in an MPF index (APP2); exiftool must find the preview.
plasma 8 320x240 -quality 80 preview.jpg
python3 - baseline.jpg preview.jpg mpf.jpg <<'EOF_PY'
import struct, sys
prim, sec = (open(f, "rb").read() for f in sys.argv[1:3])
at = 4 + struct.unpack(">H", prim[4:6])[0]          # after SOI and APP0
ifd = struct.pack("<H", 3)
ifd += struct.pack("<HHI4s", 0xB000, 7, 4, b"0100")  # MPF version
ifd += struct.pack("<HHII", 0xB001, 4, 1, 2)         # number of images
ifd += struct.pack("<HHII", 0xB002, 7, 32, 8 + len(ifd) + 12 + 4)  # the two entries
ifd += struct.pack("<I", 0)
body_len = 4 + 8 + len(ifd) + 32
primary = len(prim) + 4 + body_len
tiff_at = at + 4 + 4
entries = struct.pack("<IIIHH", 0x20030000, primary, 0, 0, 0)
entries += struct.pack("<IIIHH", 0x00010001, len(sec), primary - tiff_at, 0, 0)
seg = b"\xff\xe2" + struct.pack(">H", 2 + body_len) + b"MPF\0" + b"II*\0" + struct.pack("<I", 8) + ifd + entries
open(sys.argv[3], "wb").write(prim[:at] + seg + prim[at:] + sec)
EOF_PY
exiftool -b -MPImage2:PreviewImage mpf.jpg | cmp -s - preview.jpg
plasma 2 200x150 -colorspace Gray -quality 85 gray.jpg
# Noise does not compress: 4000 x 3000 pixels make a JPEG above 10 MiB.
convert -seed 3 -size 4000x3000 xc:gray +noise Random -quality 100 -sampling-factor 1x1 big.jpg

plasma 4 300x200 -depth 8 png8.png
plasma 4 300x200 -depth 16 png16.png
plasma 4 300x200 -interlace PNG interlaced.png
plasma 4 300x200 -colors 64 PNG8:palette.png

plasma 5 160x120 -colors 128 GIF87:still.gif
convert -delay 20 -seed 6 -size 120x90 plasma: plasma: plasma: -loop 0 animated.gif

plasma 7 300x200 -monochrome BMP3:bmp1.bmp
plasma 7 300x200 -colors 16 -compress None BMP3:bmp4.bmp
plasma 7 300x200 -colors 200 -type Palette -compress None BMP3:bmp8.bmp
plasma 7 300x200 -colors 200 -type Palette -compress RLE BMP3:rle8.bmp
plasma 7 301x200 -type TrueColor BMP3:bmp24.bmp
plasma 7 300x200 -alpha set -channel A -evaluate set 50% +channel -type TrueColorAlpha BMP:bmp32.bmp
plasma 7 300x200 -colors 200 BMP2:os2.bmp

head -c 300000 /dev/urandom > noise.bin
zip -q -0 archive.zip noise.bin
rm noise.bin

mv ./* "$dir"/
echo "$key" > "$dir/.done"
echo "$dir"
