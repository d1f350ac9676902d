#!/usr/bin/env bash
# The exFAT walk on an SDXC-sized card: a sparse 128 GiB image (truncate +
# mkfs.exfat) holding 20,000 photos in 100 folders, some deleted, written
# through exfat-fuse (needs a loop device and FUSE). Reports the CPU time of
# mounting, walking and building the map beside what it read, and the sizes
# of the allocation bitmap and of the map. The image is kept in BENCH_DIR
# (default build-bench/exfatwalk) for later runs.
# Usage: bench/exfatwalk.sh [PHOTOS]   (default 20000)
set -euo pipefail
cd "$(dirname "$0")/.."
n=${1:-20000}
build=${BENCH_BUILD:-build-bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUMIVISTA_BUILD_APP=OFF >/dev/null
cmake --build "$build" -j 2 --target exfatwalk_bench >/dev/null
photos=$(bash tools/photos.sh "${XDG_CACHE_HOME:-$HOME/.cache}/lumivista-test-photos")
dir=${BENCH_DIR:-$build/exfatwalk}
mkdir -p "$dir"
img=$dir/sdxc-$n.img
if [ ! -f "$img" ]; then
  recipe="for d in \$(seq -w 100 199); do mkdir -p DCIM/\${d}CANON; done
i=0
while [ \$i -lt $n ]; do
  d=\$((100 + i % 100))
  cp '$photos/IMG_0105.JPG' \"DCIM/\${d}CANON/IMG_\$(printf %05d \$i).JPG\"
  i=\$((i + 1))
done
rm DCIM/1?0CANON/IMG_0*0.JPG"
  bash tools/mkexfatimage.sh "$img.part" 131072 "$recipe" >/dev/null
  mv "$img.part" "$img"
fi
echo "image: $img ($(du -h "$img" | cut -f1) on disk of 128 GiB)"
"$build/bench/exfatwalk/exfatwalk_bench" "$img" 2048 $((131072 * 2048 - 2048))
