#!/usr/bin/env bash
# Peak memory of a whole scan (walk, allocation map, raw scan) of 2 GiB disk
# images: a FAT32 card, an NTFS volume and a partition with no file system,
# each holding real photos, scanned by lumivista-cli. What a scan should hold
# is the allocation map (one bit per sector: 512 KiB for 2 GiB), the FAT
# (FAT32) or one 8 MiB MFT batch (NTFS), and the raw scan's 8 MiB buffer; the
# peak resident size is printed beside that sum.
# Usage: bench/peakmem.sh [MIB]   (default 2048; BENCH_DIR: where the sparse
#                                  images go, default /tmp; LUMIVISTA_CLI: a
#                                  built lumivista-cli to use instead of
#                                  building one in build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
mib=${1:-2048}
source bench/cli.sh

photos=$(bash tools/photos.sh "${XDG_CACHE_HOME:-$HOME/.cache}/lumivista-test-photos")
dir=$(mktemp -d "${BENCH_DIR:-/tmp}/lumivista-peakmem.XXXXXX")
trap 'rm -rf "$dir"' EXIT
set -- "$photos"/IMG_000[1-5].JPG "$photos"/SCAN000[1-4].PNG "$photos"/ANIM000*.GIF "$photos"/PAINT00*.BMP

# FAT32 with 4 KiB clusters (the FAT itself is 2 MiB for 2 GiB).
bash tools/mkfatimage.sh -s 8 "$dir/fat32.img" "$mib" "$@" >/dev/null
# NTFS with 4 KiB clusters.
ntfs_args=()
for f in "$@"; do ntfs_args+=(put "$f" "$(basename "$f")"); done
bash tools/mkntfsimage.sh -s $((mib - 1)) -c 4096 "$dir/ntfs.img" "${ntfs_args[@]}"
# One partition of type 0x83 with photos written straight into its sectors:
# no walk, the whole partition is raw-scanned.
truncate -s "${mib}M" "$dir/raw.img"
echo "start=2048, type=83" | sfdisk -q "$dir/raw.img" >/dev/null
at=$((2048 + 4096))
for f in "$@"; do
  dd if="$f" of="$dir/raw.img" bs=512 seek="$at" conv=notrunc,sparse status=none
  at=$((at + ($(stat -c %s "$f") + 511) / 512 + 8192))
done

map_kb=$(( (mib * 2048 / 8 + 1023) / 1024 ))
printf '%-8s %12s %10s %12s  %s\n' image "peak RSS" photos "scan time" "expected: map ${map_kb} KiB + 8192 KiB buffer +"
for kind in fat32 ntfs raw; do
  /usr/bin/time -v "$cli" scan --image "$dir/$kind.img" --drive 1 --json >"$dir/$kind.json" 2>"$dir/$kind.time"
  rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$dir/$kind.time")
  wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$dir/$kind.time")
  found=$(grep -o '"name"' "$dir/$kind.json" | wc -l)
  case $kind in
    fat32) extra="the FAT ($(( mib * 2048 / 8 * 4 / 1024 )) KiB)" ;;
    ntfs) extra="one MFT batch (8192 KiB)" ;;
    raw) extra="nothing" ;;
  esac
  printf '%-8s %9s KiB %10s %12s  %s\n' "$kind" "$rss" "$found" "$wall" "$extra"
done
# The program's own floor: the C++ runtime and blkid with no scan at all.
/usr/bin/time -v "$cli" drives --image "$dir/raw.img" >/dev/null 2>"$dir/drives.time"
echo "lumivista-cli drives (no scan): $(sed -n 's/.*Maximum resident set size (kbytes): //p' "$dir/drives.time") KiB"
