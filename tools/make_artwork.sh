#!/usr/bin/env bash
# Draws the wizard's pictures into src/app/resources with ImageMagick:
#   141.png  48 x 48   logo (a photo on a blue tile)
#   142.png  290 x 70  green "Recover Now" button with a magnifier (the
#                      program draws the caption over it)
#   144.png  16 x 16   Help button (a question mark on a blue disc)
#   150.png  160 x 120 picture shown for a photo that cannot be previewed
#   131.bmp  32 x 32   hard disk, 24-bit, black = transparent
#   139.bmp  32 x 32   USB flash drive, 24-bit, black = transparent
# and renders the menu icon of data/icons with rsvg-convert (librsvg2-bin).
# The results are committed; run again only to change them.
set -euo pipefail
out="$(cd "$(dirname "$0")/.." && pwd)/src/app/resources"
bold=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf
regular=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$out"

# 141: rounded tile with a vertical blue gradient and a framed landscape.
convert -size 48x48 gradient:'#5BB8FF-#1B4FA6' "$tmp/tile.png"
convert -size 48x48 xc:none -fill white -draw "roundrectangle 2,1 45,44 10,10" "$tmp/tilemask.png"
convert "$tmp/tile.png" "$tmp/tilemask.png" -alpha off -compose CopyOpacity -composite \
  -fill none -stroke '#143D80' -strokewidth 1 -draw "roundrectangle 2,1 45,44 10,10" \
  -stroke none -fill white -draw "roundrectangle 10,11 37,35 3,3" \
  -fill '#BFE3FF' -draw "rectangle 12,13 35,33" \
  -fill '#FFC928' -draw "circle 30,18 30,15" \
  -fill '#3F9B45' -draw "polygon 12,33 19,21 24,27 28,23 35,33" \
  -fill '#2E7A34' -draw "polygon 21,33 28,23 35,33" \
  PNG32:"$out/141.png"

# 142: glossy green button, magnifier on the left.
convert -size 290x70 gradient:'#6CD46A-#2B8A2E' "$tmp/btn.png"
convert -size 290x70 xc:none -fill white -draw "roundrectangle 0,0 289,69 14,14" "$tmp/btnmask.png"
convert -size 290x70 xc:none -fill 'rgba(255,255,255,0.22)' -draw "roundrectangle 3,3 286,34 12,12" "$tmp/gloss.png"
convert "$tmp/btn.png" "$tmp/btnmask.png" -alpha off -compose CopyOpacity -composite \
  "$tmp/gloss.png" -compose Over -composite \
  -fill none -stroke '#1F6B22' -strokewidth 2 -draw "roundrectangle 1,1 288,68 13,13" \
  -stroke white -strokewidth 5 -fill 'rgba(255,255,255,0.25)' -draw "circle 38,31 38,17" \
  -stroke white -strokewidth 8 -draw "line 49,43 61,56" \
  PNG32:"$out/142.png"

# 144: question mark on a blue disc.
convert -size 16x16 xc:none -fill '#2D7DD2' -stroke '#1B5AA0' -strokewidth 1 -draw "circle 7.5,7.5 7.5,0.5" \
  -stroke none -fill white -font "$bold" -pointsize 12 -gravity center -annotate +0+0 '?' \
  PNG32:"$out/144.png"

# 150: a grey landscape outline over "No Preview".
convert -size 160x120 xc:'#F2F2F2' \
  -fill none -stroke '#C8C8C8' -strokewidth 1 -draw "rectangle 0,0 159,119" \
  -stroke '#A0A0A0' -strokewidth 2 -draw "roundrectangle 50,22 110,70 4,4" \
  -draw "circle 96,35 96,30" -draw "polyline 53,67 70,46 81,58 90,50 107,67" \
  -stroke '#B4B4B4' -strokewidth 3 -draw "line 46,76 114,18" \
  -stroke none -fill '#808080' -font "$regular" -pointsize 11 -gravity north -annotate +0+84 'No Preview' \
  PNG24:"$out/150.png"

# 131: hard disk, drawn without smoothing so that only the background is black.
convert -size 32x32 xc:black +antialias \
  -fill '#5A616B' -draw "rectangle 3,8 28,25" \
  -fill '#C4C9D0' -draw "rectangle 4,9 27,18" \
  -fill '#8E96A1' -draw "rectangle 4,19 27,24" \
  -fill '#E6E9ED' -draw "rectangle 5,10 26,11" \
  -fill '#6D7580' -draw "rectangle 6,21 17,22" \
  -fill '#38D13B' -draw "rectangle 23,21 25,22" \
  -alpha off -type TrueColor BMP3:"$out/131.bmp"

# 139: USB flash drive.
convert -size 32x32 xc:black +antialias \
  -fill '#1C4A94' -draw "roundrectangle 1,9 21,23 3,3" \
  -fill '#2F6FD6' -draw "roundrectangle 2,10 20,22 2,2" \
  -fill '#F4F6F8' -draw "rectangle 5,13 15,19" \
  -fill '#7D828A' -draw "rectangle 21,11 30,21" \
  -fill '#D3D6DB' -draw "rectangle 22,12 29,20" \
  -fill '#5A5F66' -draw "rectangle 24,14 25,15" -draw "rectangle 24,17 25,18" \
  -alpha off -type TrueColor BMP3:"$out/139.bmp"

identify "$out"/1*.png "$out"/1*.bmp

# The menu icon: data/icons holds the drawing (scalable) and its 256 px
# rendering for the hicolor theme.
icons="$(cd "$(dirname "$0")/.." && pwd)/data/icons"
rsvg-convert -w 256 -h 256 "$icons/example.lumivista.Lumivista.svg" -o "$icons/256/example.lumivista.Lumivista.png"
