#!/usr/bin/env bash
# Builds a disk image holding one FAT32 partition, as a camera card or a USB
# stick would: an MBR (sfdisk) with one partition of type 0x0C, formatted by
# mkfs.fat, optionally filled with files and folders through mtools.
#
# Usage: tools/mkfatimage.sh [-s SECTORS_PER_CLUSTER] [-o START_SECTOR]
#                            [-l LABEL] IMAGE SIZE_MIB [FILE|DIR ...]
#   -s  sectors per cluster (default 1; FAT32 needs at least 65525 clusters,
#       so 40 MiB suits -s 1, 64 MiB -s 1 or 2, larger images larger clusters)
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

spc=1
start=2048
label=LUMIVISTA
while getopts "s:o:l:" opt; do
  case $opt in
    s) spc=$OPTARG ;;
    o) start=$OPTARG ;;
    l) label=$OPTARG ;;
    *) echo "usage: $0 [-s SPC] [-o START_SECTOR] [-l LABEL] IMAGE SIZE_MIB [FILE|DIR ...]" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
if [ $# -lt 2 ]; then
  echo "usage: $0 [-s SPC] [-o START_SECTOR] [-l LABEL] IMAGE SIZE_MIB [FILE|DIR ...]" >&2
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
echo "start=$start, size=$length, type=c" | sfdisk -q "$image" >/dev/null
# mkfs.fat counts its size in 1 KiB blocks.
mkfs.fat -F 32 -s "$spc" -h "$start" -n "$label" --invariant --offset="$start" \
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
