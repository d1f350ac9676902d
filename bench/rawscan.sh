#!/usr/bin/env bash
# Raw scan of free space against a plain sequential read of the same cached
# image. Builds the benchmark (Release), makes a 2 GiB image with photos in
# its free space on tmpfs, then an all-zero and an all-FF one, and reports
# the best of interleaved runs of each and the scan's peak memory.
# Usage: bench/rawscan.sh [MIB]     (BENCH_DIR: where the image goes, default /dev/shm;
#       DISK_DIR: also time it from a disk, see below; ROUNDS: rounds of each)
set -euo pipefail
cd "$(dirname "$0")/.."
mib=${1:-2048}
build=${BENCH_BUILD:-build-bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUMIVISTA_BUILD_APP=OFF >/dev/null
cmake --build "$build" -j 2 --target rawscan_bench >/dev/null
bin=$build/bench/rawscan/rawscan_bench

photos=$(bash tools/photos.sh "${XDG_CACHE_HOME:-$HOME/.cache}/lumivista-test-photos")
dir=$(mktemp -d "${BENCH_DIR:-/dev/shm}/lumivista-rawscan.XXXXXX")
trap 'rm -rf "$dir"' EXIT
img=$dir/card.img
"$bin" build "$img" "$photos" "$mib"
cat "$img" > /dev/null

# Interleaved rounds in one process; the best of each is what the code costs
# when the machine is not busy with something else.
"$bin" compare "$img" "${ROUNDS:-7}"
cat_s=$( { /usr/bin/time -f %e cat "$img" > /dev/null; } 2>&1 )
echo "cat image > /dev/null: ${cat_s} s"

# Free space as freshly formatted cards have it: all zeros, and all FF
# (erased flash). Real pages, not a sparse file, whose holes read faster
# than any disk.
for fill in zeros FF; do
    blank=$dir/$fill.img
    if [ "$fill" = zeros ]; then head -c "${mib}M" /dev/zero > "$blank"
    else head -c "${mib}M" /dev/zero | tr '\0' '\377' > "$blank"; fi
    echo
    echo "free space of $fill:"
    "$bin" compare "$blank" "${ROUNDS:-7}" | tail -n +3
    rm -f "$blank"
done

# From a disk rather than the page cache (DISK_DIR, a folder on a disk; root,
# as the page cache is emptied before each read): the image is copied there
# and read and scanned in turn, each from the disk.
if [ -n "${DISK_DIR:-}" ]; then
    cold=$(mktemp -d "$DISK_DIR/lumivista-rawscan.XXXXXX")
    cp "$img" "$img.used" "$cold/"
    echo
    echo "from the disk under $DISK_DIR (page cache emptied before each):"
    for round in $(seq "${ROUNDS:-7}"); do
        sync; echo 3 > /proc/sys/vm/drop_caches
        "$bin" read "$cold/card.img" 512
        sync; echo 3 > /proc/sys/vm/drop_caches
        "$bin" scan "$cold/card.img"
    done
    rm -rf "$cold"
fi

/usr/bin/time -v "$bin" scan "$img" > /dev/null 2> "$dir/time.txt"
rss_kb=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$dir/time.txt")
map_kb=$(( (mib * 2048 / 8 + 1023) / 1024 ))

echo "image:                 $mib MiB on $(df --output=fstype "$dir" | tail -1)"
echo "scan peak RSS:         $rss_kb KiB     (buffers 512 + 512 KiB + map $map_kb KiB)"
