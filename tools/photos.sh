#!/usr/bin/env bash
# Fills a folder with real photos for tests and benchmarks:
#   large JPEGs and PNGs from Debian's ukui-wallpapers package (photographs
#   of 1.3 to 8.5 MB), smaller JPEGs re-encoded from them, and GIF and BMP
#   files made from them with ImageMagick.
# Usage: tools/photos.sh [DIR]   (default: build/photos). Prints DIR.
# Idempotent and safe to run from several processes at once.
set -euo pipefail
dir=${1:-"$(dirname "$0")/../build/photos"}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
exec 9>"$dir/.lock"
flock 9
if [ -f "$dir/.done" ]; then echo "$dir"; exit 0; fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
( cd "$work" && apt-get download ukui-wallpapers >/dev/null 2>&1 ) || {
  echo "photos.sh: cannot download ukui-wallpapers" >&2; exit 1; }
dpkg-deb -x "$work"/ukui-wallpapers_*.deb "$work/x"
src="$work/x/usr/share/backgrounds"

# Large originals (names as on a camera card).
cp "$src/rhythm.jpg"          "$dir/IMG_0001.JPG"   # 8.5 MB
cp "$src/string.jpg"          "$dir/IMG_0002.JPG"   # 2.9 MB
cp "$src/2004default.jpg"     "$dir/IMG_0003.JPG"   # 1.8 MB
cp "$src/firstgeneration.jpg" "$dir/IMG_0004.JPG"   # 1.5 MB
cp "$src/the-mouse.jpg"       "$dir/IMG_0005.JPG"   # 1.3 MB
cp "$src/goldfish.png"        "$dir/SCAN0001.PNG"   # 1.9 MB
cp "$src/calla.png"           "$dir/SCAN0002.PNG"   # 1.3 MB
cp "$src/city.png"            "$dir/SCAN0003.PNG"   # 126 KB
cp "$src/desert.png"          "$dir/SCAN0004.PNG"   # 90 KB

# Smaller camera-style JPEGs, GIFs and BMPs made by a real encoder.
convert "$src/string.jpg" -strip -resize 1600x1200 -quality 90 "$dir/IMG_0101.JPG"
convert "$src/the-mouse.jpg" -strip -resize 1024x768 -quality 85 "$dir/IMG_0102.JPG"
convert "$src/2004default.jpg" -strip -resize 640x480 -quality 85 "$dir/IMG_0103.JPG"
convert "$src/firstgeneration.jpg" -strip -resize 320x240 -quality 80 "$dir/IMG_0104.JPG"
convert "$src/rhythm.jpg" -strip -resize 160x120 -quality 80 "$dir/IMG_0105.JPG"
convert "$src/goldfish.png" -strip -resize 400x300 "$dir/ANIM0001.GIF"
convert "$src/city.png" -strip -resize 200x150 "$dir/ANIM0002.GIF"
convert "$src/the-mouse.jpg" -strip -resize 640x400 -type TrueColor "BMP3:$dir/PAINT001.BMP"
convert "$src/calla.png" -strip -resize 300x200 -type TrueColor "BMP3:$dir/PAINT002.BMP"

touch "$dir/.done"
echo "$dir"
