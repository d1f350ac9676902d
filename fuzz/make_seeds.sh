#!/usr/bin/env bash
# Rebuilds the seed corpora in fuzz/corpus/<target>/ from real images made by
# real tools (sfdisk, mkfs.fat + mtools, mkntfs + ntfscp), cut down to the
# sectors the parsers read by fuzz/seedtool.py (needs python3). The seeds are
# checked in; run this only to change them.
# Usage: fuzz/make_seeds.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
corpus=$root/fuzz/corpus
tool="python3 $root/fuzz/seedtool.py"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export MTOOLS_SKIP_CHECK=1

# Tiny photos re-encoded from the real ones, so a seed's files stay a few
# clusters long.
photos=$(bash tools/photos.sh "${XDG_CACHE_HOME:-$HOME/.cache}/lumivista-test-photos")
p=$work/photos
mkdir -p "$p"
convert "$photos/IMG_0105.JPG" -strip -resize 64x48 -quality 80 "$p/IMG_0001.JPG"
convert "$photos/IMG_0105.JPG" -strip -resize 96x72 -quality 90 "$p/IMG_0002.JPG"
convert "$photos/SCAN0004.PNG" -strip -resize 40x30 "$p/SCAN0001.PNG"
convert "$photos/ANIM0001.GIF" -strip -resize 40x30 "$p/ANIM0001.GIF"
convert "$photos/IMG_0105.JPG" -strip -resize 24x18 BMP3:"$p/PAINT001.BMP"
printf 'not a photo\n' > "$p/README.TXT"
# Large enough to span clusters of 4 KiB; file data never goes into a seed.
convert "$photos/IMG_0104.JPG" -strip -quality 95 "$p/BIG.JPG"

rm -rf "$corpus"
mkdir -p "$corpus"/{fuzz_drive_layout,fuzz_fat32,fuzz_ntfs,fuzz_ntfs_record,fuzz_raw_scan,fuzz_read_photo,fuzz_photo_readers,fuzz_exfat}

# ---- partition tables: 64 KiB disks (the target's smallest), cut after
# their last table sector ----
disk() {  # name, sfdisk script[, sectors looked at]
  local img=$work/$1.img
  truncate -s 64K "$img"
  printf '%s\n' "$2" | sfdisk -q --no-reread --no-tell-kernel "$img" >/dev/null
  $tool trim "$img" "$corpus/fuzz_drive_layout/$1" 1 "${3:-128}"
}
disk primaries 'label: dos
label-id: 0x4c564d31
start=1, size=30, type=c, bootable
start=32, size=40, type=7
start=80, size=20, type=6'
disk logicals 'label: dos
label-id: 0x4c564d32
start=2, size=5, type=c
start=8, size=100, type=5
start=10, size=5, type=7
start=20, size=5, type=c
start=30, size=30, type=83'
disk empty_extended 'label: dos
label-id: 0x4c564d33
start=2, size=10, type=c
start=16, size=60, type=f'
# The backup GPT at the disk's end is left out: the primary is whole.
disk gpt 'label: gpt
label-id: 4C564D34-0000-4000-8000-000000000001
first-lba: 34
start=40, size=20, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, uuid=4C564D34-0000-4000-8000-000000000002
start=64, size=20, type=0FC63DAF-8483-4772-8E79-3D69E4779C8E, uuid=4C564D34-0000-4000-8000-000000000003' 34
# A partition whose first sector is a real FAT32 boot record, and a table-less
# FAT32 "superfloppy".
truncate -s 1M "$work/fat.img"
mkfs.fat -F 32 -s 1 --invariant "$work/fat.img" >/dev/null 2>&1
dd if="$work/fat.img" of="$work/bootrec" bs=512 count=1 status=none
$tool trim "$work/fat.img" "$corpus/fuzz_drive_layout/superfloppy" 1 1
truncate -s 64K "$work/withfs.img"
printf 'label: dos\nlabel-id: 0x4c564d35\nstart=8, size=100, type=b\n' | sfdisk -q --no-reread --no-tell-kernel "$work/withfs.img" >/dev/null
dd if="$work/bootrec" of="$work/withfs.img" bs=512 seek=8 conv=notrunc status=none
$tool trim "$work/withfs.img" "$corpus/fuzz_drive_layout/fat32_boot_sector"

# ---- FAT32: real volumes made by mkfs.fat and mtools, cut down to the
# clusters in use ----
fat_volume() {  # name, sectors per cluster, then mtools commands run on ::
  local name=$1 spc=$2; shift 2
  local img=$work/$name.img
  local start
  # mtools wants the 65525 clusters of a real FAT32.
  start=$(bash tools/mkfatimage.sh -s "$spc" -l SEED "$img" $((33 * spc + 8)))
  dd if="$img" of="$work/$name.part" bs=512 skip="$start" status=none
  local cmd
  for cmd in "$@"; do
    if [ "$cmd" = forget-free-hint ]; then
      # FSInfo's next-free hint unknown: mtools then allocates from the
      # first free cluster, which makes holes left by deletions get used.
      printf '\xff\xff\xff\xff' | dd of="$work/$name.part" bs=1 seek=$((512 + 492)) conv=notrunc status=none
    else
      eval "${cmd%% *} -i '$work/$name.part' ${cmd#* }"
    fi
  done
  $tool fat "$work/$name.part" "$corpus/fuzz_fat32/$name"
}
fat_volume camera_card 1 \
  "mmd ::/DCIM" "mmd ::/DCIM/100CANON" "mmd ::/MISC" \
  "mcopy '$p/IMG_0001.JPG' '$p/IMG_0002.JPG' ::/DCIM/100CANON/" \
  "mcopy '$p/SCAN0001.PNG' '$p/ANIM0001.GIF' ::/" \
  "mcopy '$p/PAINT001.BMP' '$p/README.TXT' ::/MISC/" \
  "mcopy '$p/IMG_0001.JPG' '::/Holiday photo with a long name.jpeg'" \
  "mdel ::/DCIM/100CANON/IMG_0002.JPG"
# A file split around a hole left by a deleted one.
fat_volume fragmented 1 \
  "mcopy '$p/README.TXT' ::/A.TXT" "mcopy '$p/README.TXT' ::/B.TXT" "mcopy '$p/README.TXT' ::/C.TXT" \
  "mdel ::/B.TXT" forget-free-hint "mcopy '$p/IMG_0002.JPG' ::/FRAG.JPG" "mmd ::/SUB" "mcopy '$p/SCAN0001.PNG' ::/SUB/"
# Deleted entries: photos with and without long names, a folder tree
# deleted whole, then a live file after them so that their clusters stay in
# the seed.
fat_volume deleted_tree 1 \
  "mmd ::/DCIM" "mmd '::/Trip to Rome'" "mmd '::/Trip to Rome/Day 2'" \
  "mcopy '$p/IMG_0001.JPG' ::/DCIM/IMG_0040.JPG" "mcopy '$p/IMG_0001.JPG' ::/DCIM/IMG_0041.JPG" \
  "mcopy '$p/IMG_0002.JPG' '::/Trip to Rome/Colosseum at night.jpg'" \
  "mcopy '$p/ANIM0001.GIF' '::/Trip to Rome/Day 2/Trevi.gif'" \
  "mcopy '$p/SCAN0001.PNG' '::/Old photo.png'" "mcopy '$p/README.TXT' ::/LAST.TXT" \
  "mdel ::/DCIM/IMG_0041.JPG" "mdel '::/Old photo.png'" "mdeltree '::/Trip to Rome'"
fat_volume big_clusters 8 \
  "mmd ::/DCIM" "mcopy '$p/IMG_0002.JPG' '$p/PAINT001.BMP' ::/DCIM/"
# The card's boot record as it was before the cut: it counts the sectors of
# the whole 40 MiB volume, which the image (like a truncated one) lacks.
python3 - "$corpus/fuzz_fat32/camera_card" "$work/camera_card.part" "$corpus/fuzz_fat32/truncated" <<'EOF'
import struct, sys
seed = bytearray(open(sys.argv[1], 'rb').read())
whole = open(sys.argv[2], 'rb').read(512)
seed[32:36] = whole[32:36]
open(sys.argv[3], 'wb').write(seed)
EOF

# ---- FAT16 and FAT12: superfloppy volumes made by mkfs.fat (512-byte
# clusters; FAT16 needs its 4085 clusters), their root folder in the fixed
# region after the FATs, cut after their last used sector ----
narrow_fat_volume() {  # name, FAT width, KiB, then mtools commands run on ::
  local name=$1 bits=$2 kib=$3; shift 3
  local img=$work/$name.part
  rm -f "$img"
  truncate -s "${kib}K" "$img"
  mkfs.fat -F "$bits" -s 1 -n SEED --invariant "$img" >/dev/null 2>&1
  local cmd
  for cmd in "$@"; do eval "${cmd%% *} -i '$img' ${cmd#* }"; done
  $tool trim "$img" "$corpus/fuzz_fat32/$name"
}
narrow_fat_volume fat16_card 16 2200 \
  "mmd ::/DCIM" "mmd ::/DCIM/100CANON" "mcopy '$p/IMG_0001.JPG' '$p/IMG_0002.JPG' ::/DCIM/100CANON/" \
  "mcopy '$p/SCAN0001.PNG' '::/Holiday photo with a long name.png'" "mcopy '$p/ANIM0001.GIF' ::/" \
  "mmd '::/Trip to Rome'" "mcopy '$p/PAINT001.BMP' '::/Trip to Rome/'" \
  "mdel ::/DCIM/100CANON/IMG_0002.JPG" "mdel ::/ANIM0001.GIF" "mdeltree '::/Trip to Rome'"
narrow_fat_volume fat12_card 12 360 \
  "mcopy '$p/IMG_0001.JPG' '$p/README.TXT' ::/" "mmd ::/DCIM" "mcopy '$p/IMG_0002.JPG' ::/DCIM/" \
  "mcopy '$p/SCAN0001.PNG' '::/Old photo.png'" "mdel '::/Old photo.png'" "mdel ::/DCIM/IMG_0002.JPG"

# ---- exFAT: 1 MiB volumes made by mkfs.exfat (512-byte clusters) and filled
# through exfat-fuse, cut after their last used sector. Needs a loop device. ----
exfat_volume() {  # name, recipe
  local img=$work/$1.img
  bash tools/mkexfatimage.sh -w -c 512 "$img" 1 "$2" >/dev/null
  $tool trim "$img" "$corpus/fuzz_exfat/$1" 24
}
exfat_volume camera_card "mkdir -p DCIM/100CANON; cp '$p/IMG_0001.JPG' '$p/IMG_0002.JPG' DCIM/100CANON/;
  cp '$p/SCAN0001.PNG' 'Holiday photo with a long name – Café.png'; cp '$p/ANIM0001.GIF' DCIM/;
  rm DCIM/100CANON/IMG_0002.JPG"
exfat_volume fragmented "cp '$p/README.TXT' A.TXT; cp '$p/IMG_0001.JPG' gap.jpg; cp '$p/README.TXT' C.TXT;
  rm gap.jpg; cp '$p/IMG_0002.JPG' frag.jpg; cp '$p/PAINT001.BMP' gone.bmp; rm frag.jpg gone.bmp"

# ---- NTFS: real volumes made by mkntfs and ntfscp, cut down to the boot
# sector, the MFT, the mirror and the $Bitmap data ----
ntfs_volume() {  # name, cluster bytes, then mkntfsimage.sh actions
  local name=$1 cluster=$2; shift 2
  bash tools/mkntfsimage.sh -s 2 -o 1 -c "$cluster" "$work/$name.img" "$@"
  dd if="$work/$name.img" of="$work/$name.part" bs=512 skip=1 status=none
  $tool ntfs "$work/$name.part" "$corpus/fuzz_ntfs/$name"
}
ntfs_volume small_clusters 512 \
  put "$p/IMG_0002.JPG" IMG_0002.JPG put "$p/SCAN0001.PNG" SCAN0001.PNG \
  put "$p/PAINT001.BMP" PAINT001.BMP put "$p/README.TXT" README.TXT \
  frag "$p/BIG.JPG" FRAGMENT.JPG
ntfs_volume big_clusters 4096 put "$p/IMG_0002.JPG" IMG_0002.JPG put "$p/ANIM0001.GIF" ANIM0001.GIF \
  frag "$p/BIG.JPG" FRAGMENT.JPG
# Records no longer in use: deleted photos in nested folders and a deleted
# folder (needs an ntfs-3g FUSE mount).
ntfs_volume deleted_records 4096 mkdir "Photos/2023" put "$p/IMG_0002.JPG" "Photos/2023/Été.jpg" \
  put "$p/ANIM0001.GIF" "Photos/渋谷.gif" frag "$p/BIG.JPG" "Photos/2023/FRAGMENT.JPG" mkdir Trip \
  put "$p/SCAN0001.PNG" Trip/SCAN0001.PNG put "$p/IMG_0001.JPG" KEEP.JPG \
  rm "Photos/2023/Été.jpg" rm "Photos/2023/FRAGMENT.JPG" rmtree Trip
# Photos kept compressed, one of them deleted (needs an ntfs-3g FUSE mount).
ntfs_volume compressed 4096 mkdir Photos cput "$p/PAINT002.BMP" Photos/PAINT002.BMP \
  cput "$p/SCAN0004.PNG" Photos/SCAN0004.PNG rm Photos/PAINT002.BMP

# ---- NTFS file records: $MFT, $MFTMirr, $Bitmap and a photo ----
for n in 0 1 6 16; do
  $tool record "$corpus/fuzz_ntfs/small_clusters" "$n" 512 "$corpus/fuzz_ntfs_record/record_$n"
done
$tool record "$corpus/fuzz_ntfs/big_clusters" 16 4096 "$corpus/fuzz_ntfs_record/record_16_4k"

# ---- raw scan: header (map bytes, sectors beyond), the map,
# then a disk whose free sectors hold photos, other files and noise ----
raw_seed() {  # name, map bytes (hex), then files placed at sectors "FILE@SECTOR"
  local name=$1 map=$2; shift 2
  python3 - "$corpus/fuzz_raw_scan/$name" "$map" "$@" <<'EOF'
import struct, sys
out, bits, files = sys.argv[1], bytes.fromhex(sys.argv[2]), sys.argv[3:]
disk = bytearray(64 * 1024)
for entry in files:
    path, sector = entry.rsplit('@', 1)
    data = open(path, 'rb').read()
    disk[int(sector) * 512:int(sector) * 512 + len(data)] = data
end = len(disk)
while end > 512 and not any(disk[end - 512:end]):
    end -= 512
open(out, 'wb').write(struct.pack('<HH', len(bits), 0) + bits + disk[:end])
EOF
}
printf 'MZ\x90\0' > "$work/exe"
raw_seed free_space_photos 00 \
  "$p/IMG_0002.JPG@2" "$p/SCAN0001.PNG@10" "$p/ANIM0001.GIF@13" "$p/PAINT001.BMP@18" "$work/exe@20"
raw_seed used_sectors_cut 0ff0ff00 \
  "$p/IMG_0002.JPG@4" "$p/IMG_0001.JPG@16" "$p/SCAN0001.PNG@26"

# ---- photo read-back: buffer size, runs (24 bytes each: sector in the
# photo, sector in the partition, sectors), the partition's first sector,
# then the disk ----
read_seed() {  # name, buffer bytes, partition first sector, runs "F:V:N"...
  local name=$1 size=$2 off=$3; shift 3
  {
    python3 - "$size" "$off" "$@" <<'EOF'
import struct, sys
size, off, runs = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3:]
out = struct.pack('<IB', size, len(runs))
for r in runs:
    out += struct.pack('<qqq', *map(int, r.split(':')))
sys.stdout.buffer.write(out + struct.pack('<H', off))
EOF
    head -c 8192 "$work/fragmented.part"
  } > "$corpus/fuzz_read_photo/$name"
}
read_seed one_run 4096 0 0:8:8 8:0:0
read_seed two_runs 8192 2 0:4:4 4:20:12 16:-3:0
read_seed hole 4096 0 0:-1:4 4:10:4 8:-3:0

# ---- structure readers: a control byte (0: whole windows, every byte
# readable), then a photo of each structure ----
s=$work/structure
mkdir -p "$s"
convert -seed 1 -size 48x32 plasma: -quality 85 "$s/baseline.jpg"
jpegtran -progressive -restart 1 -copy all "$s/baseline.jpg" > "$s/progressive.jpg"
convert "$s/baseline.jpg" -resize 16x12 "$s/thumb.jpg"
cp "$s/baseline.jpg" "$s/exif.jpg"
exiftool -q -overwrite_original -Make=Lumicam "-ThumbnailImage<=$s/thumb.jpg" "$s/exif.jpg"
rm "$s/thumb.jpg"
convert -seed 2 -size 24x16 plasma: -depth 8 "$s/plain.png"
convert -seed 2 -size 24x16 plasma: -interlace PNG "$s/interlaced.png"
convert -delay 10 -seed 3 -size 16x12 plasma: plasma: -loop 0 "$s/animated.gif"
convert -seed 4 -size 17x9 plasma: -colors 16 -compress None BMP3:"$s/bmp4.bmp"
convert -seed 4 -size 17x9 plasma: -colors 100 -type Palette -compress RLE BMP3:"$s/rle8.bmp"
convert -seed 4 -size 17x9 plasma: -alpha set -type TrueColorAlpha BMP:"$s/bmp32.bmp"
# The newer types: TIFF in strips and tiles in both byte orders, WebP, HEIC, AVIF.
convert "$photos/IMG_0105.JPG" -resize 16x12 -compress none -endian LSB "$s/strips_le.tif"
convert "$photos/IMG_0105.JPG" -resize 32x24 -compress lzw -endian MSB -define tiff:tile-geometry=16x16 "$s/tiles_be.tif"
convert "$photos/IMG_0105.JPG" -resize 16x12 "$work/small.png"
cwebp -quiet -q 50 "$work/small.png" -o "$s/lossy.webp"
cwebp -quiet -lossless "$work/small.png" -o "$s/lossless.webp"
heif-enc -q 20 "$work/small.png" -o "$s/photo.heic" >/dev/null
heif-enc --avif -q 20 "$work/small.png" -o "$s/photo.avif" >/dev/null
for f in "$s"/*; do
  name=$(basename "$f")
  { printf '\0'; cat "$f"; } > "$corpus/fuzz_photo_readers/${name/./_}"
done

ls -l "$corpus"/*
du -sh "$corpus"
