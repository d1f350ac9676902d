#!/usr/bin/env bash
# Builds a disk image holding one exFAT partition, as an SDXC card leaves the
# camera: an MBR (sfdisk) with one partition of type 0x07, formatted by
# mkfs.exfat (exfatprogs), then filled through exfat-fuse by a recipe.
#
# Usage: tools/mkexfatimage.sh [-c CLUSTER_BYTES] [-o START_SECTOR] [-l LABEL]
#                              [-w] IMAGE SIZE_MIB [RECIPE]
#   -c  cluster size in bytes (default: mkfs.exfat's choice for the size);
#       small volumes get a 4 KiB boundary alignment with it
#   -o  first sector of the partition (default 2048)
#   -l  volume label (default CARD)
#   -w  no partition table: the whole image is the volume (a "superfloppy")
#   RECIPE  bash commands run in the mounted volume's root folder, e.g.
#           'mkdir DCIM && cp IMG_0001.JPG DCIM/ && rm DCIM/IMG_0001.JPG'
# The image may be sparse (SIZE_MIB up to the file system's limits).
# Prints the partition's first sector.
#
# exfat-fuse mounts a block device, so the partition is attached to a loop
# device first. Exits 77 (and leaves no image) when no loop device or FUSE
# can be had, so tests can skip.
set -euo pipefail

cluster=
start=2048
label=CARD
whole=0
while getopts "c:o:l:w" opt; do
  case $opt in
    c) cluster=$OPTARG ;;
    o) start=$OPTARG ;;
    l) label=$OPTARG ;;
    w) whole=1 ;;
    *) echo "usage: $0 [-c CLUSTER_BYTES] [-o START_SECTOR] [-l LABEL] [-w] IMAGE SIZE_MIB [RECIPE]" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
if [ $# -lt 2 ]; then
  echo "usage: $0 [-c CLUSTER_BYTES] [-o START_SECTOR] [-l LABEL] [-w] IMAGE SIZE_MIB [RECIPE]" >&2
  exit 2
fi
image=$1
size_mib=$2
recipe=${3:-}
[ "$whole" = 1 ] && start=0

for tool in mkfs.exfat mount.exfat-fuse losetup fusermount sfdisk; do
  command -v "$tool" >/dev/null || { echo "mkexfatimage.sh: $tool is missing" >&2; exit 77; }
done

total=$((size_mib * 2048))
if [ "$start" -ge "$total" ]; then
  echo "mkexfatimage.sh: start sector $start lies past the image's end" >&2
  exit 2
fi
length=$((total - start))

rm -f "$image"
truncate -s "${size_mib}M" "$image"
[ "$whole" = 1 ] || echo "start=$start, size=$length, type=7" | sfdisk -q "$image" >/dev/null

loop=$(losetup -f --show --offset $((start * 512)) --sizelimit $((length * 512)) "$image" 2>/dev/null) || {
  echo "mkexfatimage.sh: no loop device can be had" >&2; rm -f "$image"; exit 77; }
mnt=$(mktemp -d)
pid=
cleanup() {
  if [ -n "$pid" ]; then
    fusermount -u "$mnt" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  losetup -d "$loop" 2>/dev/null || true
  rmdir "$mnt" 2>/dev/null || true
}
trap cleanup EXIT

align=()
[ -n "$cluster" ] && [ "$size_mib" -lt 64 ] && align=(-b 4K)
mkfs.exfat -L "$label" ${cluster:+-c "$cluster"} "${align[@]}" "$loop" >/dev/null

if [ -n "$recipe" ]; then
  # In the foreground (-d, its debug output dropped) under our own watch: its
  # end is the end of its writes.
  mount.exfat-fuse -d "$loop" "$mnt" >/dev/null 2>&1 &
  pid=$!
  for _ in $(seq 100); do
    mountpoint -q "$mnt" && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  if ! mountpoint -q "$mnt"; then
    echo "mkexfatimage.sh: exfat-fuse cannot mount (no FUSE here?)" >&2
    pid=
    cleanup
    trap - EXIT
    rm -f "$image"
    exit 77
  fi
  (cd "$mnt" && bash -euo pipefail -c "$recipe")
  sync
  fusermount -u "$mnt"
  wait "$pid"
  pid=
fi
cleanup
trap - EXIT
echo "$start"
