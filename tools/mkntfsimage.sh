#!/usr/bin/env bash
# Builds a disk image with an MBR (sfdisk) and one NTFS partition (type 7)
# made by mkntfs, then fills the volume with real tools.
#
# Usage: tools/mkntfsimage.sh [-s MiB] [-o START] [-c CLUSTER] [-L LABEL]
#                             IMAGE [ACTION ARGS...]...
#   -s MiB      size of the NTFS partition in MiB (default 64)
#   -o START    first sector of the partition (default 2048)
#   -c CLUSTER  cluster size in bytes (default 4096)
#   -L LABEL    volume label
# Actions, applied in order on the partition before it is placed in IMAGE:
#   put SRC NAME    copy a file in with ntfscp (no FUSE needed); NAME is
#                   its path on the volume, whose folder must exist
#   frag SRC NAME   copy a file in split over two separated free holes, so
#                   that its data has at least two runs (no FUSE needed)
#   trunc NAME LEN  set a file's data length with ntfstruncate
#   mkdir DIR       make a folder (needs an ntfs-3g FUSE mount)
#   rm NAME         delete a file (needs an ntfs-3g FUSE mount)
#   rmtree DIR      delete a folder with everything in it (needs FUSE)
#   cput SRC NAME   copy a file in that NTFS keeps compressed: its folder is
#                   set to compress, as Windows does it (needs an ntfs-3g FUSE
#                   mount and setfattr; the folder must exist)
#   scatter SRC NAME
#                   copy a file in over as many one-cluster holes as it has
#                   clusters, as on a full drive long in use: hundreds of runs
#                   spill over its record into others that an attribute list
#                   names (needs an ntfs-3g FUSE mount)
#   dosname NAME SHORT
#                   give a file a DOS 8.3 name beside its long one, which then
#                   becomes a Win32 name, as Windows does (needs an ntfs-3g
#                   FUSE mount and setfattr from the attr package)
# Exit status: 0 done; 1 a tool failed; 2 usage; 3 an action needs FUSE (or
# setfattr) and cannot have it here.
set -euo pipefail

size_mib=64
start=2048
cluster=4096
label=""
while getopts "s:o:c:L:" opt; do
  case $opt in
    s) size_mib=$OPTARG ;;
    o) start=$OPTARG ;;
    c) cluster=$OPTARG ;;
    L) label=$OPTARG ;;
    *) echo "usage: $0 [-s MiB] [-o START] [-c CLUSTER] [-L LABEL] IMAGE [ACTION...]" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ $# -ge 1 ] || { echo "mkntfsimage.sh: no image given" >&2; exit 2; }
image=$1; shift

work=$(mktemp -d)
mnt=""
cleanup() {
  if [ -n "$mnt" ] && mountpoint -q "$mnt" 2>/dev/null; then umount "$mnt" 2>/dev/null || fusermount -u "$mnt" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
part="$work/part.img"
part_sectors=$((size_mib * 2048))

truncate -s "$((part_sectors * 512))" "$part"
mkntfs_args=(-F -Q -q -T -c "$cluster" -p "$start" -H 255 -S 63)
[ -n "$label" ] && mkntfs_args+=(-L "$label")
mkntfs "${mkntfs_args[@]}" "$part" >/dev/null 2>"$work/mkntfs.err" || { cat "$work/mkntfs.err" >&2; exit 1; }

q() { "$@" >"$work/tool.out" 2>&1 || { echo "mkntfsimage.sh: failed: $*" >&2; cat "$work/tool.out" >&2; exit 1; }; }

total_clusters=$(( (part_sectors - 1) * 512 / cluster ))

# Inode number of a file on the volume (sleuthkit's ifind).
inode_of() { ifind -n "$1" "$part"; }

# Free clusters of the volume, counted in $Bitmap (bit i = cluster i).
free_clusters() {
  icat "$part" 6 | perl -e 'local $/; my $b = <STDIN>; my ($n, $f) = (shift, 0);
    for my $i (0 .. $n - 1) { $f++ unless vec($b, $i, 1) } print $f' "$total_clusters"
}

fuse_mount() {
  mnt="$work/mnt"
  mkdir -p "$mnt"
  if ! ntfs-3g "$@" "$part" "$mnt" >"$work/fuse.err" 2>&1; then
    echo "mkntfsimage.sh: ntfs-3g cannot mount here (FUSE unavailable):" >&2
    cat "$work/fuse.err" >&2
    exit 3
  fi
}

fuse_umount() {
  umount "$mnt" 2>/dev/null || fusermount -u "$mnt"
  mnt=""
}

frag_seq=0
put_fragmented() {
  local src=$1 name=$2
  local bytes n k
  bytes=$(stat -c %s "$src")
  n=$(( (bytes + cluster - 1) / cluster ))
  [ "$n" -ge 3 ] || { echo "mkntfsimage.sh: frag needs a file of three clusters or more: $src" >&2; exit 1; }
  k=$(( (n + 1) / 2 ))
  frag_seq=$((frag_seq + 1))
  local h1="frag$frag_seq.h1" sp="frag$frag_seq.sp" h2="frag$frag_seq.h2" pad="frag$frag_seq.pad"
  # Two holes, each too small for the file but together large enough, with a
  # kept cluster between them and the rest of the volume taken by a pad: the
  # allocator then has to split the file over both holes.
  head -c $((k * cluster)) /dev/zero >"$work/h1"
  head -c $(((n - k + 1) * cluster)) /dev/zero >"$work/h2"
  head -c "$cluster" /dev/zero >"$work/sp"
  : >"$work/empty"
  q ntfscp "$part" "$work/h1" "$h1"
  q ntfscp "$part" "$work/sp" "$sp"
  q ntfscp "$part" "$work/h2" "$h2"
  q ntfscp "$part" "$work/empty" "$pad"
  local free
  free=$(free_clusters)
  # Keep a few clusters free for the file's own metadata.
  if [ "$free" -gt 4 ]; then q ntfsfallocate -l $(((free - 4) * cluster)) "$part" "$pad"; fi
  q ntfstruncate "$part" "$(inode_of "$h1")" 0
  q ntfstruncate "$part" "$(inode_of "$h2")" 0
  q ntfscp "$part" "$src" "$name"
  q ntfstruncate "$part" "$(inode_of "$pad")" 0
}

while [ $# -gt 0 ]; do
  action=$1; shift
  case $action in
    put)
      [ $# -ge 2 ] || { echo "mkntfsimage.sh: put SRC NAME" >&2; exit 2; }
      q ntfscp "$part" "$1" "$2"; shift 2 ;;
    frag)
      [ $# -ge 2 ] || { echo "mkntfsimage.sh: frag SRC NAME" >&2; exit 2; }
      put_fragmented "$1" "$2"; shift 2 ;;
    trunc)
      [ $# -ge 2 ] || { echo "mkntfsimage.sh: trunc NAME LEN" >&2; exit 2; }
      q ntfstruncate "$part" "$(inode_of "$1")" "$2"; shift 2 ;;
    mkdir)
      [ $# -ge 1 ] || { echo "mkntfsimage.sh: mkdir DIR" >&2; exit 2; }
      fuse_mount; mkdir -p "$mnt/$1"; fuse_umount; shift ;;
    rm)
      [ $# -ge 1 ] || { echo "mkntfsimage.sh: rm NAME" >&2; exit 2; }
      fuse_mount; rm -f "$mnt/$1"; fuse_umount; shift ;;
    rmtree)
      [ $# -ge 1 ] || { echo "mkntfsimage.sh: rmtree DIR" >&2; exit 2; }
      fuse_mount; rm -rf "${mnt:?}/$1"; fuse_umount; shift ;;
    cput)
      [ $# -ge 2 ] || { echo "mkntfsimage.sh: cput SRC NAME" >&2; exit 2; }
      command -v setfattr >/dev/null || { echo "mkntfsimage.sh: cput needs setfattr (package attr)" >&2; exit 3; }
      fuse_mount -o compression
      # The folder is set to compress (folder and compressed), as Windows
      # does it; a file made in it is compressed unit by unit.
      dir=$(dirname "$mnt/$2")
      setfattr -h -n system.ntfs_attrib_be -v 0x00000810 "$dir" && cp "$1" "$mnt/$2" ||
        { fuse_umount; echo "mkntfsimage.sh: failed: cput $1 $2" >&2; exit 1; }
      fuse_umount; shift 2 ;;
    scatter)
      [ $# -ge 2 ] || { echo "mkntfsimage.sh: scatter SRC NAME" >&2; exit 2; }
      n=$(( ($(stat -c %s "$1") + cluster - 1) / cluster * 2 + 2 ))
      fuse_mount
      for i in $(seq 1 "$n"); do head -c "$cluster" /dev/zero >"$mnt/.filler$i"; done
      # The rest of the space taken, then every other filler freed.
      free_kib=$(df -k "$mnt" | awk 'NR == 2 {print $4}')
      dd if=/dev/zero of="$mnt/.pad" bs="$cluster" count=$((free_kib * 1024 / cluster - 16)) status=none 2>/dev/null || true
      for i in $(seq 1 2 "$n"); do rm "$mnt/.filler$i"; done
      fuse_umount
      fuse_mount
      cp "$1" "$mnt/$2" || { fuse_umount; echo "mkntfsimage.sh: failed: scatter $1 $2" >&2; exit 1; }
      rm -f "$mnt"/.filler* "$mnt/.pad"
      fuse_umount; shift 2 ;;
    dosname)
      [ $# -ge 2 ] || { echo "mkntfsimage.sh: dosname NAME SHORT" >&2; exit 2; }
      command -v setfattr >/dev/null || { echo "mkntfsimage.sh: dosname needs setfattr (package attr)" >&2; exit 3; }
      fuse_mount
      setfattr -n system.ntfs_dos_name -v "$2" "$mnt/$1" || { fuse_umount; echo "mkntfsimage.sh: failed: dosname $1 $2" >&2; exit 1; }
      fuse_umount; shift 2 ;;
    *)
      echo "mkntfsimage.sh: unknown action $action" >&2; exit 2 ;;
  esac
done

# The disk: an MBR with the one partition, then the volume at its place.
rm -f "$image"
truncate -s "$(( (start + part_sectors) * 512 ))" "$image"
echo "$start,$part_sectors,7" | sfdisk -q --label dos "$image" >/dev/null
dd if="$part" of="$image" bs=1M seek="$((start * 512))" oflag=seek_bytes conv=notrunc,sparse status=none
