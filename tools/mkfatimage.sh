#!/usr/bin/env bash
# Builds a disk image holding one FAT partition, as a camera card or a USB
# stick would: an MBR (sfdisk) with one partition of type 0x0C (FAT32), 0x06
# (FAT16) or 0x01 (FAT12), formatted by mkfs.fat, optionally filled with files
# and folders through mtools.
#
# Usage: tools/mkfatimage.sh [-F 12|16|32] [-s SECTORS_PER_CLUSTER]
#                            [-o START_SECTOR] [-l LABEL] IMAGE SIZE_MIB [FILE|DIR ...]
#   -F  FAT width (default 32)
#   -s  sectors per cluster (default 1; FAT32 needs at least 65525 clusters,
#       so 40 MiB suits -s 1, 64 MiB -s 1 or 2, larger images larger clusters;
#       FAT16 needs 4085 to 65524 clusters, FAT12 fewer than 4085)
#   -o  first sector of the partition (default 2048)
#   -l  volume label (default LUMIVISTA)
# Files and folders given after the size are copied into the root folder in
# the order given (folders recursively). Prints the partition's first sector.
#
# To change the image afterwards, address the partition with mtools'
# "IMAGE@@BYTE_OFFSET" form, e.g. with the defaults:
#   export MTOOLS_SKIP_CHECK=1
#   mmd   -i card.img@@1048576 ::/DCIM
#   mcopy -i card.img@@1048576 IMG_0001.JPG ::/DCIM/
#   mdel  -i card.img@@1048576 ::/DCIM/IMG_0001.JPG
set -euo pipefail

bits=32
spc=1
start=2048
label=LUMIVISTA
while getopts "F:s:o:l:" opt; do
  case $opt in
    F) bits=$OPTARG ;;
    s) spc=$OPTARG ;;
    o) start=$OPTARG ;;
    l) label=$OPTARG ;;
    *) echo "usage: $0 [-F BITS] [-s SPC] [-o START_SECTOR] [-l LABEL] IMAGE SIZE_MIB [FILE|DIR ...]" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
if [ $# -lt 2 ]; then
  echo "usage: $0 [-F BITS] [-s SPC] [-o START_SECTOR] [-l LABEL] IMAGE SIZE_MIB [FILE|DIR ...]" >&2
  exit 2
fi
image=$1
size_mib=$2
shift 2

total=$((size_mib * 2048))
if [ "$start" -ge "$total" ]; then
  echo "mkfatimage.sh: start sector $start lies past the image's end" >&2
  exit 2
fi
length=$((total - start))

rm -f "$image"
truncate -s "${size_mib}M" "$image"
case $bits in
  12) type=1 ;;
  16) type=6 ;;
  32) type=c ;;
  *) echo "mkfatimage.sh: -F takes 12, 16 or 32" >&2; exit 2 ;;
esac
echo "start=$start, size=$length, type=$type" | sfdisk -q "$image" >/dev/null
# mkfs.fat counts its size in 1 KiB blocks.
mkfs.fat -F "$bits" -s "$spc" -h "$start" -n "$label" --invariant --offset="$start" \
  "$image" $((length / 2)) >/dev/null

export MTOOLS_SKIP_CHECK=1
for item in "$@"; do
  if [ -d "$item" ]; then
    mcopy -s -Q -i "$image@@$((start * 512))" "$item" ::/
  else
    mcopy -Q -i "$image@@$((start * 512))" "$item" ::/
  fi
done
echo "$start"
