#!/usr/bin/env bash
# Scans of big disks: sparse disk images of 64 GB, 1 TB and 4 TB, each with a
# GUID partition table (sfdisk) and one partition holding a few thousand
# photos, scanned by lumivista-cli. It reports the peak resident memory, the
# wall and CPU time, how far the raw scan went and how fast, beside a plain
# read of the same image.
#
# Four disks are made at each size (truncate, so only what the tools write
# takes room; the images go to BENCH_DIR, by default /dev/shm, where reading
# a hole costs no disk):
#   raw    a partition with no file system; the photos are written straight
#          into its sectors, spread evenly from its start to its end
#   fat32  mkfs.fat -F 32 with 32 KiB clusters; the photos are copied in by
#          mtools in ten batches, each starting a tenth further into the
#          volume (the FSInfo "next free cluster" is set before each batch).
#          FAT32 counts 512-byte sectors in 32 bits, so on the 4 TB disk the
#          partition is the largest FAT32 can be, 2 TiB
#   ntfs   mkntfs -Q (4 KiB clusters), photos copied in through ntfs-3g
#   exfat  mkfs.exfat, photos copied in through exfat-fuse
# Each image is deleted once it is scanned.
#
# A scan of a disk up to FULL_MAX runs to its end. Past that it is stopped by
# Ctrl-C (SIGINT) after SCAN_SECONDS: it then has walked the file system,
# built the map of used sectors and raw-scanned from the partition's start,
# and the position it saved in its session file (--session) says how far.
# The plain read is dd over the same partition from its start, as many bytes
# as the scan covered but at most READ_GIB GiB.
#
# What is meaningful: the images are almost all holes, and reading a hole
# costs the kernel a page of zeros, not a disk read. So the scan's speed here
# is its own CPU cost per byte (looking for signatures in zero sectors),
# against a plain read that costs next to nothing; the raw scan against a
# real read of real data is bench/rawscan.sh. The figure this benchmark is
# for is the peak memory, which must stay flat from 64 GB to 4 TB.
#
# Usage: bench/bigdisk.sh [SIZE...]     (default: 64G 1T 4T; truncate sizes)
# Environment: KINDS (default "raw fat32 ntfs exfat"), PHOTOS (default 3000),
#   FULL_MAX (default 1T), SCAN_SECONDS (default 60), READ_GIB (default 64),
#   BENCH_DIR (default /dev/shm), LUMIVISTA_CLI (a built lumivista-cli; by
#   default one is built in build-bench, Release).
# Needs root for the loop devices, FUSE, sfdisk, dosfstools, mtools,
# ntfs-3g, exfatprogs and exfat-fuse.
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -gt 0 ] || set -- 64G 1T 4T
kinds=${KINDS:-raw fat32 ntfs exfat}
photos_n=${PHOTOS:-3000}
full_max=$(numfmt --from=iec "${FULL_MAX:-1T}")
scan_s=${SCAN_SECONDS:-60}
read_max=$(( ${READ_GIB:-64} * 1024 * 1024 * 1024 ))
source bench/cli.sh
src=$(bash tools/photos.sh "${XDG_CACHE_HOME:-$HOME/.cache}/lumivista-test-photos")

dir=$(mktemp -d "${BENCH_DIR:-/dev/shm}/lumivista-bigdisk.XXXXXX")
loop=""
mnt=$dir/mnt
fuse_pid=""
cleanup() {
  if [ -n "$fuse_pid" ]; then fusermount -u "$mnt" 2>/dev/null || true; wait "$fuse_pid" 2>/dev/null || true; fi
  [ -z "$loop" ] || losetup -d "$loop" 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
mkdir -p "$mnt"

# The photos, in ten folders of a tenth each: small JPEG, GIF and PNG files
# (the point is their number, not their bytes), hard links of five sources.
stage=$dir/photos
mkdir -p "$stage/src"
sources=(IMG_0102.JPG IMG_0103.JPG IMG_0104.JPG IMG_0105.JPG ANIM0002.GIF)
for f in "${sources[@]}"; do cp "$src/$f" "$stage/src/"; done
for ((i = 0; i < photos_n; i++)); do
  f=${sources[i % ${#sources[@]}]}
  b=$(( i * 10 / photos_n ))
  mkdir -p "$stage/$b"
  printf -v name "P%06d.%s" "$i" "${f##*.}"
  ln "$stage/src/$f" "$stage/$b/$name"
done

fuse_mount() {  # DEVICE COMMAND...: mounts DEVICE on $mnt in the foreground
  local dev=$1; shift
  "$@" "$dev" "$mnt" >/dev/null 2>&1 &
  fuse_pid=$!
  for _ in $(seq 200); do mountpoint -q "$mnt" && return 0; sleep 0.05; done
  echo "bigdisk.sh: cannot mount $dev (no FUSE here?)" >&2
  exit 1
}
fuse_umount() {
  sync
  fusermount -u "$mnt"
  wait "$fuse_pid"
  fuse_pid=""
}

copy_in() {  # copies the ten folders into the mounted volume
  for b in $(seq 0 9); do
    mkdir -p "$mnt/DCIM/1${b}0PHOTO"
    cp "$stage/$b"/* "$mnt/DCIM/1${b}0PHOTO/"
  done
}

# IMAGE SIZE KIND: makes the disk; sets start and len to its partition's
# first sector and length.
make_disk() {
  local img=$1 size=$2 kind=$3 type=0FC63DAF-8483-4772-8E3D-693D7984C4E4 sz=""
  case $kind in
    fat32) type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7
           [ "$(numfmt --from=iec "$size")" -le $((2 ** 41)) ] || sz="size=$(( 2 ** 32 - 1 - 2048 )), " ;;
    ntfs|exfat) type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7 ;;
  esac
  rm -f "$img"
  truncate -s "$size" "$img"
  printf 'label: gpt\nstart=2048, %stype=%s\n' "$sz" "$type" | sfdisk -q "$img" >/dev/null
  read -r start len < <(sfdisk -d "$img" | sed -n 's/.*start= *\([0-9]*\), size= *\([0-9]*\),.*/\1 \2/p')
  if [ "$kind" = raw ]; then
    # Each photo at an even share of the partition, 4 KiB aligned.
    python3 - "$img" "$start" "$len" "$stage" <<'EOF'
import os, sys
img, start, length, stage = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
files = sorted(os.path.join(stage, d, f) for d in os.listdir(stage) if d != "src" for f in os.listdir(os.path.join(stage, d)))
with open(img, "r+b") as out:
    for i, name in enumerate(files):
        at = start * 512 + (i + 1) * (length * 512 // (len(files) + 1)) // 4096 * 4096
        with open(name, "rb") as f:
            out.seek(at)
            out.write(f.read())
EOF
  else
    loop=$(losetup -f --show --offset $((start * 512)) --sizelimit $((len * 512)) "$img")
    case $kind in
      fat32)
        mkfs.fat -F 32 -s 64 "$loop" >/dev/null 2>&1
        local clusters
        clusters=$(python3 -c "import struct,sys; b=open(sys.argv[1],'rb').read(512); \
print((struct.unpack_from('<I',b,32)[0]-struct.unpack_from('<H',b,14)[0]-b[16]*struct.unpack_from('<I',b,36)[0])//b[13])" "$loop")
        for b in $(seq 0 9); do
          # mtools takes the next free cluster from FSInfo: start batch b a
          # tenth further in.
          python3 -c "import struct,sys; f=open(sys.argv[1],'r+b'); b=f.read(512); fi=struct.unpack_from('<H',b,48)[0]; \
f.seek(fi*512+492); f.write(struct.pack('<I',int(sys.argv[2])))" "$loop" $(( 2 + clusters / 10 * b ))
          sync
          MTOOLS_SKIP_CHECK=1 mmd -i "$img@@$((start * 512))" "::1${b}0PHOTO"
          MTOOLS_SKIP_CHECK=1 mcopy -i "$img@@$((start * 512))" "$stage/$b"/* "::1${b}0PHOTO/"
        done ;;
      ntfs)
        mkntfs -F -Q -q -p "$start" -H 255 -S 63 "$loop" >/dev/null
        fuse_mount "$loop" ntfs-3g -o no_detach
        copy_in
        fuse_umount ;;
      exfat)
        mkfs.exfat "$loop" >/dev/null
        fuse_mount "$loop" mount.exfat-fuse -d
        copy_in
        fuse_umount ;;
    esac
    losetup -d "$loop"
    loop=""
  fi
}

field() { sed -n "s/.*$1: //p" "$2"; }
echo "lumivista-cli: $cli; images in $dir; $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-5s %-6s %8s %10s %8s %8s %8s %9s %9s %9s %9s\n' size kind "on disk" "peak RSS" photos wall CPU scanned "GiB/s CPU" "GiB/s" "read GiB/s"
for size in "$@"; do
  for kind in $kinds; do
    img=$dir/$kind-$size.img
    make_disk "$img" "$size" "$kind"
    used=$(du -h "$img" | cut -f1)
    bytes=$(stat -c %s "$img")
    session=$dir/scan.session
    rm -f "$session"
    if [ "$bytes" -le "$full_max" ]; then
      /usr/bin/time -v "$cli" scan --image "$img" --drive 1 --session "$session" >/dev/null 2>"$dir/time.txt" || true
    else
      /usr/bin/time -v timeout -s INT "$scan_s" "$cli" scan --image "$img" --drive 1 --session "$session" \
        >/dev/null 2>"$dir/time.txt" || true
    fi
    rss=$(field 'Maximum resident set size (kbytes)' "$dir/time.txt")
    user=$(field 'User time (seconds)' "$dir/time.txt")
    sys=$(field 'System time (seconds)' "$dir/time.txt")
    wall=$(field 'Elapsed (wall clock) time (h:mm:ss or m:ss)' "$dir/time.txt")
    wall_s=$(echo "$wall" | awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s }')
    info=$("$cli" sessions list --json "$session")
    position=$(echo "$info" | sed -n 's/.*"position": \([0-9]*\).*/\1/p')
    found=$(echo "$info" | sed -n 's/.*"photos": \([0-9]*\).*/\1/p')
    state=$(echo "$info" | sed -n 's/.*"state": "\([^"]*\)".*/\1/p')
    scanned=$(( ${position:-0} * 512 ))
    cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
    # The plain read: the same partition from its start, as far as the scan
    # went (READ_GIB at most), in the scan's 8 MiB pieces.
    rbytes=$(( scanned < read_max ? scanned : read_max ))
    rcount=$(( (rbytes + 8388607) / 8388608 ))
    read_s=$( { /usr/bin/time -f %e dd if="$img" of=/dev/null bs=8M iflag=skip_bytes skip=$((start * 512)) \
      count="$rcount" status=none; } 2>&1 )
    gib=$(awk -v b="$scanned" 'BEGIN { printf "%.1f", b / 1073741824 }')
    rate() { awk -v b="$1" -v s="$2" 'BEGIN { if (s > 0) printf "%.2f", b / 1073741824 / s; else print "-" }'; }
    printf '%-5s %-6s %8s %7s KiB %8s %7ss %7ss %5s GiB %9s %9s %9s  %s\n' "$size" "$kind" "$used" "$rss" "$found" \
      "$wall_s" "$cpu" "$gib" "$(rate "$scanned" "$cpu")" "$(rate "$scanned" "$wall_s")" \
      "$(rate $((rcount * 8388608)) "$read_s")" "$state"
    rm -f "$img" "$session"
  done
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
