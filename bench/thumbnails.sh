#!/usr/bin/env bash
# Thumbnails of one screenful of camera photos (24 JPEGs of 12 megapixels,
# 4000 x 3000): decoding at a reduced scale against a full decode and scale,
# in one run. Builds the benchmark (Release) and makes the photos from the
# real ones of tools/photos.sh with ImageMagick (cached).
# Usage: bench/thumbnails.sh
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BENCH_BUILD:-build-bench-app}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j 2 --target thumbnail_bench >/dev/null
bin=$build/bench/thumbnails/thumbnail_bench

cache=${XDG_CACHE_HOME:-$HOME/.cache}
photos=$(bash tools/photos.sh "$cache/lumivista-test-photos")
dir=$cache/lumivista-bench-12mp
if [ ! -f "$dir/.done" ]; then
  mkdir -p "$dir"
  n=0
  for variant in "95" "90 -flop" "85 -flip"; do
    set -- $variant
    quality=$1
    shift
    for src in "$photos"/IMG_000?.JPG "$photos"/SCAN000?.PNG; do
      n=$((n + 1))
      [ "$n" -le 24 ] || break 2
      convert "$src" -resize 4000x3000^ -gravity center -extent 4000x3000 "$@" -quality "$quality" \
        -sampling-factor 2x2 "$dir/$(printf 'DSC%04d.JPG' "$n")"
    done
  done
  touch "$dir/.done"
fi
QT_QPA_PLATFORM=offscreen "$bin" "$dir"
