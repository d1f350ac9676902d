#!/usr/bin/env bash
# What looking inside files costs: a scan lists a live file whose name is not
# a photo name when its first sector begins like a photo (a JPEG saved as
# "holiday photo.dat", a renamed RAW). This makes a FAT32 card (mtools) and
# an NTFS volume (ntfs-3g) holding many small files that are not photos and
# a few renamed photos, then times `lumivista-cli scan` on each with and
# without --names-only, in interleaved rounds, and counts the device reads
# the look inside took (from the log).
# Usage: bench/contentsniff.sh [FILES] [ROUNDS]   (default 20000 files, 5 rounds)
#   BENCH_DIR  where the images go (default /dev/shm)
#   LUMIVISTA_CLI  the lumivista-cli to time (default: a Release build in build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
files=${1:-20000}
rounds=${2:-5}
source bench/cli.sh
photos=$(bash tools/photos.sh "${XDG_CACHE_HOME:-$HOME/.cache}/lumivista-test-photos")
formats=$(bash tools/formats.sh "$photos")
dir=$(mktemp -d "${BENCH_DIR:-/dev/shm}/lumivista-sniff.XXXXXX")
mnt=""
cleanup() {
  if [ -n "$mnt" ] && mountpoint -q "$mnt"; then umount "$mnt" 2>/dev/null || fusermount -u "$mnt"; fi
  rm -rf "$dir"
}
trap cleanup EXIT

# The files: notes, settings and logs of 100 bytes to 6 KB in 100 folders,
# and renamed photos among them.
tree=$dir/tree
python3 - "$tree" "$files" <<'EOF'
import os, random, sys
root, n = sys.argv[1], int(sys.argv[2])
rnd = random.Random(5)
words = "the of card photo camera note settings log backup page list day trip".split()
for i in range(n):
    d = os.path.join(root, f"docs{i % 100:03d}")
    os.makedirs(d, exist_ok=True)
    ext = rnd.choice(["txt", "log", "ini", "xml", "csv", "dat", "cfg"])
    with open(os.path.join(d, f"file{i:05d}.{ext}"), "w") as f:
        f.write(" ".join(rnd.choice(words) for _ in range(rnd.randint(20, 1000))))
EOF
renamed=("$photos/IMG_0101.JPG:holiday photo.dat" "$photos/SCAN0003.PNG:scan.bin"
         "$photos/IMG_0103.JPG:beach.jpe" "$formats/camera.nef:DSC_0001.tmp"
         "$formats/camera.cr3:IMG_0002.bak" "$formats/photo.heic:phone.dat"
         "$formats/strips-le.tif:page.000" "$formats/lossy.webp:image")
mkdir -p "$tree/renamed"
for r in "${renamed[@]}"; do cp "${r%%:*}" "$tree/renamed/${r#*:}"; done

mib=$(( $(du -sm "$tree" | cut -f1) * 3 + 128 ))
fat=$dir/fat.img
# FAT32 wants 65525 clusters or more: small images get 512-byte clusters.
spc=8; [ "$mib" -lt 300 ] && spc=1
bash tools/mkfatimage.sh -s "$spc" "$fat" "$mib" >/dev/null
MTOOLS_SKIP_CHECK=1 mcopy -s -Q -i "$fat@@1048576" "$tree"/* ::/
ntfs=$dir/ntfs.img
truncate -s "${mib}M" "$ntfs"
mkntfs -F -Q -q "$ntfs" >/dev/null 2>&1
mnt=$dir/mnt
mkdir -p "$mnt"
ntfs-3g "$ntfs" "$mnt"
cp -r "$tree"/* "$mnt"/
umount "$mnt" 2>/dev/null || fusermount -u "$mnt"
mnt=""
rm -rf "$tree"

export XDG_STATE_HOME=$dir/state  # the log goes here
best() { sort -n | head -1; }
for img in "$fat" "$ntfs"; do
  cat "$img" > /dev/null
  on=() off=()
  for ((r = 0; r < rounds; r++)); do
    t0=$(date +%s.%N); "$cli" scan --image "$img" --drive 1 --json > "$dir/on.json"; t1=$(date +%s.%N)
    "$cli" scan --image "$img" --drive 1 --json --names-only > "$dir/off.json"; t2=$(date +%s.%N)
    on+=("$(echo "$t1 - $t0" | bc)") off+=("$(echo "$t2 - $t1" | bc)")
  done
  # Once more with contents, for its log.
  "$cli" scan --image "$img" --drive 1 > /dev/null
  found_on=$( (grep -o '"origin": *"filesystem"' "$dir/on.json" || true) | wc -l)
  found_off=$( (grep -o '"origin": *"filesystem"' "$dir/off.json" || true) | wc -l)
  # (each run writes a log of its own)
  reads=$( (cat "$dir"/state/lumivista/Lumivista*.log 2>/dev/null || true) |
    (grep -o 'first sector of [0-9]* files in [0-9]* reads' || true) | tail -1)
  echo "$(basename "$img" .img): $files small files, ${#renamed[@]} renamed photos, image $mib MiB"
  echo "  scan, names and contents: $(printf '%s\n' "${on[@]}" | best) s (best of $rounds), $found_on listed photos"
  echo "  scan, names only:         $(printf '%s\n' "${off[@]}" | best) s (best of $rounds), $found_off listed photos"
  echo "  looked at the ${reads:-?}"
done
