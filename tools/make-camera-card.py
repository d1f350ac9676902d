#!/usr/bin/env python3
"""Builds a camera-card disk image with a known history, and its ground truth.

The card is an MBR disk with one FAT32 partition (type 0x0C) at sector 8192
(with --fat 16 a FAT16 one, type 0x06, as on cards up to 2 GB), made by sfdisk
and mkfs.fat and filled with mtools (with --exfat an exFAT one, type 0x07, as on
SDXC cards, made by mkfs.exfat and filled through exfat-fuse on a loop device;
its PNG, GIF and BMP pictures get long names), the way a camera would leave it
after a season of use:

  0. an earlier shoot fills most of the card, then the card is formatted in
     the camera (a second mkfs.fat: the old photos stay in the data area);
  1. a new shoot in DCIM/100CANON, some PNG, GIF and BMP pictures in
     PICTURES, a PDF manual and two ZIP archives;
  2. fragmentation: medium photos in DCIM/101CANON, every other one deleted,
     then big photos written into the holes;
  3. many photos deleted with mdel, singly and in runs;
  4. the camera, which looks for free clusters from the start of the card,
     shoots again into DCIM/102CANON and overwrites some of the deleted
     photos, and two more photos land in the tails of deleted ones.

The ground truth (JSON) lists every photo ever written to the card: its
bytes (path of an identical copy and SHA-256), where its clusters are, and
whether it is live or deleted and how much of it the final image still holds.

Usage: make-camera-card.py --out IMAGE --truth JSON [--size-mib N] [--fat 32|16 | --exfat]
                           [--photos DIR] [--pool DIR] [--jobs N]
Cards under 1 GiB use a small recipe (photos straight from tools/photos.sh and
lossless variants of them; 512-byte clusters); larger ones re-encode many
distinct multi-megabyte photos with ImageMagick (16 KiB clusters). A FAT16
card takes larger clusters where it needs them to stay under 65525 clusters;
it has no next-free hint, so mtools, like a camera, always writes into the
first free clusters (holes left by deleted files first).
Needs: sfdisk, mkfs.fat, mtools, ImageMagick's convert, jpegtran, zip, gs; for
exFAT mkfs.exfat, exfat-fuse, losetup (root) and the sleuthkit.
"""

import argparse
import concurrent.futures
import hashlib
import json
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

# Bump when a recipe below changes, so cached pools are made again.
POOL_VERSION = 4
PART_START = 8192  # sectors; SD cards align their first partition to 4 MiB
SECTOR = 512

HERE = Path(__file__).resolve().parent
CONVERT = "/usr/bin/convert" if os.path.exists("/usr/bin/convert") else "convert"


STARTED = time.monotonic()


def log(msg):
    print(f"make-camera-card: [{time.monotonic() - STARTED:5.1f}s] {msg}", file=sys.stderr, flush=True)


def run(cmd, **kw):
    try:
        return subprocess.run(cmd, check=True, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, **kw).stdout
    except subprocess.CalledProcessError as e:
        sys.exit(f"make-camera-card: {' '.join(map(str, cmd))} failed:\n{e.stderr}")


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


# ---------------------------------------------------------------------------
# The pool of distinct pictures the card is filled from.
# ---------------------------------------------------------------------------

LARGE_JPEGS = ["IMG_0001.JPG", "IMG_0002.JPG", "IMG_0003.JPG", "IMG_0004.JPG", "IMG_0005.JPG"]
LARGE_PNGS = ["SCAN0001.PNG", "SCAN0002.PNG", "SCAN0003.PNG", "SCAN0004.PNG"]
JPEGTRAN_VARIANTS = [
    ["-rotate", "90"], ["-rotate", "180"], ["-rotate", "270"],
    ["-flip", "horizontal"], ["-transpose"], ["-progressive"],
]


def new_card_image(image, size, part_type):
    """An empty card image of `size` bytes with one partition of MBR type
    `part_type` from PART_START to its end."""
    if image.exists():
        image.unlink()
    with open(image, "wb") as f:
        f.truncate(size)
    run(["sfdisk", "-q", str(image)],
        input=f"label: dos\nlabel-id: 0x4c560001\nstart={PART_START}, type={part_type}\n")


class Pool:
    """Pictures by kind ("jpeg", "medium", "png", "bigpng", "gif", "bmp", "embed"),
    made on demand, cached in a folder, each distinct from every other.
    A recipe is (file name, command with {out} for the result and {dep} for
    the file of the recipe it starts from, that recipe or None)."""

    def __init__(self, profile, photos, folder, jobs):
        self.profile, self.photos, self.jobs = profile, Path(photos), jobs
        self.dir = Path(folder) / f"{profile}-v{POOL_VERSION}"
        self.dir.mkdir(parents=True, exist_ok=True)
        self.next = {}
        self.locks = {}
        self.guard = threading.Lock()
        self.recipes = {k: self._recipes(k)
                        for k in ("jpeg", "medium", "png", "bigpng", "gif", "bmp", "embed")}

    def take(self, kind):
        """The next unused picture of a kind, or None when none are left."""
        i = self.next.get(kind, 0)
        recipes = self.recipes[kind]
        if i >= len(recipes):
            return None
        self.next[kind] = i + 1
        if not (self.dir / recipes[i][0]).exists():
            # Make a batch ahead in parallel: the converts are the slow part.
            with concurrent.futures.ThreadPoolExecutor(self.jobs) as ex:
                list(ex.map(self._make, recipes[i:i + 3 * self.jobs]))
        return self.dir / recipes[i][0]

    def _make(self, recipe):
        name, cmd, dep = recipe
        with self.guard:
            lock = self.locks.setdefault(name, threading.Lock())
        with lock:
            if (self.dir / name).exists():
                return
            if dep:
                self._make(dep)
            tmp = self.dir / f".{name}.tmp"
            run([a.replace("{out}", str(tmp)).replace("{dep}", str(self.dir / dep[0]) if dep else "")
                 for a in cmd])
            os.replace(tmp, self.dir / name)

    def _src(self, name):
        return str(self.photos / name)

    def _recipes(self, kind):
        small = self.profile == "small"

        def copy(name):
            return (f"orig-{name.lower()}", ["cp", self._src(name), "{out}"], None)

        out = []
        if kind == "jpeg" and small:
            # The originals, then lossless variants of them: fast to make.
            out += [copy(n) for n in LARGE_JPEGS]
            for v, args in enumerate(JPEGTRAN_VARIANTS):
                for n in LARGE_JPEGS[1:]:
                    out.append((f"lossless-{v}-{n.lower()}", ["jpegtran", "-copy", "all", *args,
                                                             "-outfile", "{out}", self._src(n)], None))
        elif kind == "jpeg":
            # A re-encoded camera-sized photo with sensor-like noise, then lossless
            # variants of it: 110 bases make 660 distinct photos of several MB.
            for b in range(110):
                rnd = random.Random(1000 + b)
                src = self._src(LARGE_JPEGS[b % len(LARGE_JPEGS)] if b % 7 else LARGE_PNGS[b // 7 % 2])
                w, h = rnd.choice([(4000, 3000), (3264, 2448), (4608, 3072), (3840, 2560), (2592, 1944)])
                cw, ch = rnd.randint(2400, 3600), rnd.randint(1800, 2400)
                x, y = rnd.randint(0, 3640 - cw), rnd.randint(0, 2400 - ch)
                # Exif (with its thumbnail) stays; the megabytes of editing
                # history one original carries as XMP, and the rest, do not.
                base = (f"photo-{b:03d}.jpg",
                        [CONVERT, src, "+profile", "!exif,*", "-crop", f"{cw}x{ch}+{x}+{y}", "+repage",
                         "-resize", f"{w}x{h}!", "-modulate", f"100,{rnd.randint(90, 115)}",
                         "-seed", str(b), "-attenuate", str(rnd.choice([0.15, 0.25, 0.35, 0.45])),
                         "+noise", "Gaussian", "-sampling-factor", rnd.choice(["2x2", "2x1", "1x1"]),
                         "-quality", str(rnd.choice([88, 90, 92, 94, 96])), "JPEG:{out}"], None)
                out.append(base)
                for v, args in enumerate(JPEGTRAN_VARIANTS[:5]):
                    out.append((f"photo-{b:03d}-{v}.jpg",
                                ["jpegtran", "-copy", "all", *args, "-outfile", "{out}", "{dep}"], base))
        elif kind == "medium" and small:
            out += [copy(n) for n in ["IMG_0101.JPG", "IMG_0102.JPG", "IMG_0103.JPG", "IMG_0104.JPG"]]
            for v, args in enumerate(JPEGTRAN_VARIANTS):
                for n in ["IMG_0101.JPG", "IMG_0102.JPG", "IMG_0103.JPG"]:
                    out.append((f"lossless-{v}-{n.lower()}", ["jpegtran", "-copy", "all", *args,
                                                             "-outfile", "{out}", self._src(n)], None))
        elif kind == "medium":
            for m in range(70):
                w, h = [(1280, 960), (1024, 768), (1600, 1200)][m % 3]
                out.append((f"small-{m:02d}.jpg",
                            [CONVERT, self._src(LARGE_JPEGS[m % len(LARGE_JPEGS)]),
                             "-crop", f"{2400 + 20 * m}x1800+{17 * m}+{9 * m}", "+repage",
                             "-resize", f"{w}x{h}!", "-seed", str(m), "-attenuate", "0.3",
                             "+noise", "Gaussian", "-quality", str(85 + m % 10), "-strip",
                             "JPEG:{out}"], None))
        elif kind == "png" and small:
            out += [copy(n) for n in LARGE_PNGS]
        elif kind == "png":
            for i in range(20):
                rnd = random.Random(7000 + i)
                w, h = rnd.choice([(1600, 1200), (2048, 1536), (1200, 900), (800, 600)])
                noise = ["-seed", str(i), "-attenuate", "0.2", "+noise", "Gaussian"] if i % 2 else []
                out.append((f"png-{i:02d}.png",
                            [CONVERT, self._src((LARGE_PNGS + LARGE_JPEGS)[i % 9]),
                             "-crop", f"{w}x{h}+{rnd.randint(0, 1500)}+{rnd.randint(0, 600)}",
                             "+repage", *noise, "-strip", "PNG24:{out}"], None))
        elif kind == "bigpng" and not small:
            # Scans big enough to spread over several holes.
            for i in range(3):
                out.append((f"bigpng-{i}.png",
                            [CONVERT, self._src(LARGE_PNGS[i % 2]), "-resize", "2400x1800!",
                             "-seed", str(i), "-attenuate", "0.3", "+noise", "Gaussian",
                             "-strip", "PNG24:{out}"], None))
        elif kind == "gif" and small:
            out += [copy(n) for n in ["ANIM0001.GIF", "ANIM0002.GIF"]]
        elif kind == "gif":
            for i in range(20):
                w, h = [(640, 480), (800, 600), (480, 360), (320, 240)][i % 4]
                out.append((f"gif-{i:02d}.gif",
                            [CONVERT, self._src((LARGE_JPEGS + LARGE_PNGS)[i % 9]),
                             "-resize", f"{w}x{h}!", "-modulate", f"100,{90 + 3 * i}",
                             "-colors", str(64 + 16 * i), "-strip", "GIF:{out}"], None))
        elif kind == "bmp" and small:
            out += [copy(n) for n in ["PAINT001.BMP", "PAINT002.BMP"]]
        elif kind == "bmp":
            for i in range(20):
                w, h = [(1024, 768), (800, 600), (640, 480)][i % 3]
                depth = ["-type", "Palette"] if i % 4 == 3 else ["-type", "TrueColor"]
                out.append((f"bmp-{i:02d}.bmp",
                            [CONVERT, self._src((LARGE_JPEGS + LARGE_PNGS)[(i + 4) % 9]),
                             "-resize", f"{w}x{h}!", "-modulate", f"{95 + i},100",
                             "-strip", *depth, "BMP3:{out}"], None))
        elif kind == "embed":
            # Pictures only ever seen inside the PDF manuals: not card photos.
            for i in range(2):
                out.append((f"embed-{i}.jpg",
                            [CONVERT, self._src(LARGE_JPEGS[3 + i]), "-resize", "800x500!",
                             "-quality", "77", "-strip", "JPEG:{out}"], None))
        return out


# ---------------------------------------------------------------------------
# The card: an image file with an MBR and one FAT32 or FAT16 partition, driven by mtools.
# ---------------------------------------------------------------------------

class Card:
    def __init__(self, image, size_mib, sectors_per_cluster, bits=32):
        self.bits = bits
        self.image = Path(image)
        self.size = size_mib * 1024 * 1024
        self.part_sectors = self.size // SECTOR - PART_START
        self.spc = sectors_per_cluster
        self.mt = f"{self.image}@@{PART_START * SECTOR}"

    def create(self):
        new_card_image(self.image, self.size, 'c' if self.bits == 32 else '6')

    def format(self):
        """mkfs.fat over the partition: new FATs and root, data left as it was."""
        run(["mkfs.fat", "-F", str(self.bits), "-s", str(self.spc), "-S", "512", "-h", str(PART_START),
             "-n", "EOS_DIGITAL", "-i", "4C560002", "--invariant", f"--offset={PART_START}",
             str(self.image), str(self.part_sectors // 2)])
        self._geometry()

    def _geometry(self):
        with open(self.image, "rb") as f:
            f.seek(PART_START * SECTOR)
            bs = f.read(512)
        reserved = struct.unpack_from("<H", bs, 14)[0]
        fats = bs[16]
        fat_sectors = struct.unpack_from("<H", bs, 22)[0] or struct.unpack_from("<I", bs, 36)[0]
        # FAT16: no FSInfo sector, and the root folder in a region of its own.
        self.fsinfo = struct.unpack_from("<H", bs, 48)[0] if self.bits == 32 else None
        root = (struct.unpack_from("<H", bs, 17)[0] * 32 + SECTOR - 1) // SECTOR
        self.cluster_bytes = bs[13] * SECTOR
        self.fat_offset = (PART_START + reserved) * SECTOR
        self.fat_bytes = fat_sectors * SECTOR
        self.data_offset = (PART_START + reserved + fats * fat_sectors + root) * SECTOR
        self.clusters = (self.part_sectors - reserved - fats * fat_sectors - root) // bs[13]

    def mkdir(self, path):
        run(["mmd", "-i", self.mt, f"::{path}"])

    def put(self, src, dst):
        """Copies a file onto the card; returns its extents as (byte offset in
        the image, length) in file order."""
        run(["mcopy", "-i", self.mt, str(src), f"::{dst}"])
        return self.extents(dst, os.path.getsize(src))

    def extents(self, dst, size):
        text = run(["mshowfat", "-i", self.mt, f"::{dst}"])
        runs = [(int(a), int(b or a)) for a, b in re.findall(r"<(\d+)(?:-(\d+))?>", text)]
        out, left = [], size
        for first, last in runs:
            n = min(left, (last - first + 1) * self.cluster_bytes)
            out.append([self.data_offset + (first - 2) * self.cluster_bytes, n])
            left -= n
        if left != 0:
            sys.exit(f"make-camera-card: chain of {dst} does not cover its size")
        return out

    def delete(self, path):
        run(["mdel", "-i", self.mt, f"::{path}"])

    def sync(self):
        """mtools writes the image itself: extents are known at once."""

    def close(self):
        pass

    def set_next_free(self, cluster):
        """Points the FSInfo next-free hint at a cluster: where the next file
        goes. FAT16 has none: mtools starts from the first free cluster."""
        if self.fsinfo is None:
            return
        with open(self.image, "r+b") as f:
            f.seek(PART_START * SECTOR + self.fsinfo * SECTOR + 492)
            f.write(struct.pack("<I", cluster))

    def cluster_of(self, offset):
        return (offset - self.data_offset) // self.cluster_bytes + 2

    def free_clusters(self):
        with open(self.image, "rb") as f:
            f.seek(self.fat_offset)
            fat = f.read(self.fat_bytes)
        width = self.bits // 8
        n = min(self.clusters + 2, len(fat) // width)
        entries = struct.unpack_from(f"<{n}{'I' if width == 4 else 'H'}", fat)
        return {c for c in range(2, n) if entries[c] & 0x0FFFFFFF == 0}

    def used_bytes(self):
        return (self.clusters - len(self.free_clusters())) * self.cluster_bytes

    def listing(self):
        text = run(["mdir", "-i", self.mt, "-/", "-b", "::/"])
        return {line.strip()[2:] if line.startswith("::") else line.strip()
                for line in text.splitlines() if line.strip() and not line.strip().endswith("/")}


class ExfatCard:
    """The same card with one exFAT partition (type 0x07), as SDXC cards are
    formatted: mkfs.exfat (exfatprogs) and exfat-fuse over a loop device,
    since the kernel cannot mount it here. exfat-fuse, like a camera, puts a
    new file into the first free clusters (holes left by deleted files first)
    and a growing file into the next free ones after its last. Where a file's
    clusters are is only known once the volume is unmounted: copies are
    written while mounted, and sync() unmounts, reads their clusters with the
    sleuthkit (fls and istat) and mounts again."""

    def __init__(self, image, size_mib, cluster_bytes):
        self.bits = "exfat"
        self.image = Path(image)
        self.size = size_mib * 1024 * 1024
        self.part_sectors = self.size // SECTOR - PART_START
        self.cluster_bytes = cluster_bytes
        self.loop = None
        self.fuse = None
        self.mnt = Path(tempfile.mkdtemp(prefix="exfat-card-"))
        self.pending = []   # (path, size, extents list to fill) written since the last sync

    def create(self):
        new_card_image(self.image, self.size, '7')
        # exfat-fuse mounts block devices only: the partition goes on a loop device.
        self.loop = run(["losetup", "-f", "--show", "--offset", str(PART_START * SECTOR),
                         "--sizelimit", str(self.part_sectors * SECTOR), str(self.image)]).strip()

    def close(self):
        """Unmounts and detaches, whatever state the card is in."""
        if self.fuse is not None:
            subprocess.run(["fusermount", "-u", str(self.mnt)], stderr=subprocess.DEVNULL)
            try:
                self.fuse.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.fuse.kill()
                self.fuse.wait()
            self.fuse = None
        if self.loop:
            subprocess.run(["losetup", "-d", self.loop], stderr=subprocess.DEVNULL)
            self.loop = None
        if self.mnt.exists():
            try:
                self.mnt.rmdir()
            except OSError:
                pass

    def _mount(self):
        # In the foreground (-d, its debug output dropped): its end is the end of its writes.
        self.fuse = subprocess.Popen(["mount.exfat-fuse", "-d", self.loop, str(self.mnt)],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(200):
            if subprocess.run(["mountpoint", "-q", str(self.mnt)]).returncode == 0:
                return
            if self.fuse.poll() is not None:
                break
            time.sleep(0.05)
        sys.exit("make-camera-card: exfat-fuse cannot mount the card (no FUSE here?)")

    def _unmount(self):
        if self.fuse is None:
            return
        os.sync()
        run(["fusermount", "-u", str(self.mnt)])
        if self.fuse.wait(timeout=120) != 0:
            sys.exit("make-camera-card: exfat-fuse failed")
        self.fuse = None

    def format(self):
        """mkfs.exfat over the partition: new FAT, bitmap and root, data left as it was."""
        self.sync()  # the photos about to be forgotten: where they lie
        self._unmount()
        run(["mkfs.exfat", "-c", str(self.cluster_bytes), "-L", "EOS_DIGITAL", self.loop])
        with open(self.image, "rb") as f:
            f.seek(PART_START * SECTOR)
            bs = f.read(512)
        heap, count = struct.unpack_from("<II", bs, 88)
        if bs[3:11] != b"EXFAT   " or (SECTOR << bs[109]) != self.cluster_bytes:
            sys.exit("make-camera-card: mkfs.exfat made an unexpected volume")
        self.data_offset = (PART_START + heap) * SECTOR
        self.clusters = count
        self._mount()

    def _path(self, path):
        return self.mnt / path.lstrip("/")

    def mkdir(self, path):
        self._path(path).mkdir()

    def put(self, src, dst):
        """Copies a file onto the card; returns its extents, filled in at the next sync()."""
        shutil.copyfile(src, self._path(dst))
        extents = []
        self.pending.append((dst, os.path.getsize(src), extents))
        return extents

    def _inodes(self, deleted=False):
        out = {}
        text = run(["fls", "-r", "-p", "-F", "-o", str(PART_START), str(self.image)])
        for line in text.splitlines():
            m = re.match(r"\S+ (\*? ?)(\d+)(?:-\S+)?:\t(.*)$", line)
            if m and (deleted or not m.group(1)):
                out.setdefault(m.group(3), int(m.group(2)))
        return out

    def sync(self):
        """Unmounts, reads where the files written since the last sync lie, mounts again."""
        if not self.pending:
            return
        self._unmount()
        inodes = self._inodes()
        for dst, size, extents in self.pending:
            inode = inodes.get(dst.lstrip("/"))
            if inode is None:
                sys.exit(f"make-camera-card: fls does not list {dst}")
            text = run(["istat", "-o", str(PART_START), str(self.image), str(inode)])
            sectors = [int(x) for x in text.split("Sectors:", 1)[1].split()] if "Sectors:" in text else []
            left = size
            for s in sectors:
                if left <= 0:
                    break
                off, n = (PART_START + s) * SECTOR, min(SECTOR, left)
                if extents and extents[-1][0] + extents[-1][1] == off:
                    extents[-1][1] += n
                else:
                    extents.append([off, n])
                left -= n
            if left != 0:
                sys.exit(f"make-camera-card: istat's sectors of {dst} do not cover its size")
        self.pending = []
        self._mount()

    def delete(self, path):
        self.sync()  # a deleted file's FAT chain is gone: read its clusters first
        self._path(path).unlink()

    def set_next_free(self, cluster):
        """exFAT keeps no next-free hint: exfat-fuse starts from the first free cluster."""

    def cluster_of(self, offset):
        return (offset - self.data_offset) // self.cluster_bytes + 2

    def free_clusters(self):
        self.sync()
        self._unmount()
        inode = self._special("$ALLOC_BITMAP")
        bitmap = subprocess.run(["icat", "-o", str(PART_START), str(self.image), str(inode)],
                                check=True, stdout=subprocess.PIPE).stdout
        self._mount()
        return {c + 2 for c in range(min(self.clusters, 8 * len(bitmap)))
                if not bitmap[c >> 3] >> (c & 7) & 1}

    def _special(self, name):
        text = run(["fls", "-o", str(PART_START), str(self.image)])
        for line in text.splitlines():
            m = re.match(r"\S+ (\d+):\t(.*)$", line)
            if m and m.group(2) == name:
                return int(m.group(1))
        sys.exit(f"make-camera-card: fls lists no {name}")

    def used_bytes(self):
        return (self.clusters - len(self.free_clusters())) * self.cluster_bytes

    def listing(self):
        self.sync()
        self._unmount()
        return set(self._inodes())


# ---------------------------------------------------------------------------
# The card's history.
# ---------------------------------------------------------------------------

PROFILES = {
    # cluster size in sectors; share of the data area each shoot writes; one
    # picture in `every` is a PNG, GIF or BMP; holes and kind of the fragmented
    # photos; how many photos land in the tails of deleted ones
    "small": dict(spc=1, old=0.55, shoot=0.25, new=0.06, every=3,
                  frag=[(3, "jpeg"), (4, "bigpng")], tails=1),
    "full": dict(spc=32, old=0.60, shoot=0.40, new=0.08, every=8,
                 frag=[(3, "jpeg"), (5, "jpeg"), (7, "bigpng"), (4, "jpeg"), (6, "jpeg"), (2, "jpeg")],
                 tails=2),
}


class History:
    def __init__(self, card, pool, profile, rnd, work):
        self.card, self.pool, self.p, self.rnd, self.work = card, pool, PROFILES[profile], rnd, work
        self.photos = []    # every photo ever written
        self.others = []    # non-photo files
        self.counter = {"jpg": 0, "png": 0, "gif": 0, "bmp": 0}
        self.interleave = ["png", "gif", "bmp"]

    def _name(self, kind):
        ext = {"jpeg": "jpg", "medium": "jpg", "bigpng": "png"}.get(kind, kind)
        self.counter[ext] += 1
        n = self.counter[ext]
        if self.card.bits == "exfat" and ext != "jpg":
            # exFAT has long names only: what a phone or a computer leaves beside the camera's.
            return ext, {"png": f"Scan of the holiday map {n:04d}.png",
                         "gif": f"Birthday greeting (animated) {n:04d}.gif",
                         "bmp": f"Painting für Oma {n:03d}.bmp"}[ext]
        return ext, {"jpg": f"IMG_{n:04d}.JPG", "png": f"SCAN{n:04d}.PNG",
                     "gif": f"ANIM{n:04d}.GIF", "bmp": f"PAINT{n:03d}.BMP"}[ext]

    def write_photo(self, kind, folder, phase):
        src = self.pool.take(kind)
        if src is None:
            return None
        ext, name = self._name(kind)
        path = f"{folder}/{name}"
        extents = self.card.put(src, path)
        photo = dict(path=path, type=ext, size=os.path.getsize(src), sha256=sha256(src),
                     source=str(src), extents=extents, phase=phase, state="live")
        self.photos.append(photo)
        return photo

    def shoot(self, fraction, jpeg_folder, phase):
        """Writes photos until the phase has written its share of the data area."""
        goal = fraction * self.card.clusters * self.card.cluster_bytes
        written, i, out = 0, 0, []
        while written < goal:
            i += 1
            kind = "jpeg"
            if i % self.p["every"] == 0:
                kind = self.interleave[(i // self.p["every"]) % 3]
            folder = jpeg_folder if kind == "jpeg" else "/PICTURES"
            photo = self.write_photo(kind, folder, phase)
            if photo is None and kind != "jpeg":
                continue
            if photo is None:
                log(f"the pool ran out of photos in phase {phase}")
                break
            written += photo["size"]
            out.append(photo)
        return out

    def write_other(self, src, path, phase):
        self.card.put(src, path)
        self.others.append(dict(path=path, size=os.path.getsize(src), phase=phase, state="live"))

    def make_documents(self, tag):
        """A PDF manual with a picture in it and two ZIP archives."""
        pdf = self.work / f"manual-{tag}.pdf"
        embed = self.pool.take("embed")
        viewjpeg = next(Path("/usr/share/ghostscript").glob("*/lib/viewjpeg.ps"))
        text = " ".join(f"72 {700 - 16 * k} moveto (Chapter {k}: settings, batteries and cards.) show"
                        for k in range(30))
        run(["gs", "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", f"--permit-file-read={embed}",
             "-sDEVICE=pdfwrite", "-o", str(pdf), str(viewjpeg), "-c",
             f"({embed}) viewJPEG showpage /Helvetica findfont 11 scalefont setfont {text} showpage"])
        docs = self.work / f"docs-{tag}"
        docs.mkdir(exist_ok=True)
        for k, f in enumerate(sorted(Path("/usr/share/common-licenses").iterdir())[:8]):
            if f.is_file():
                shutil.copy(f, docs / f"NOTE{k}.TXT")
        zip1 = self.work / f"notes-{tag}.zip"
        zip1.unlink(missing_ok=True)
        run(["zip", "-q", "-9", "-r", "-X", str(zip1), "."], cwd=docs)
        # An archive of random-looking bytes, like a firmware or settings backup.
        blob = docs / "FIRMWARE.BIN"
        blob.write_bytes(random.Random(tag).randbytes(300_000))
        zip2 = self.work / f"backup-{tag}.zip"
        zip2.unlink(missing_ok=True)
        run(["zip", "-q", "-0", "-X", str(zip2), "FIRMWARE.BIN"], cwd=docs)
        return pdf, zip1, zip2, embed

    def run(self):
        card, p = self.card, self.p
        card.create()
        card.format()
        card.mkdir("/DCIM")
        card.mkdir("/DCIM/100CANON")
        card.mkdir("/PICTURES")
        log("phase 0: an earlier shoot, then the card is formatted")
        pdf, zip1, zip2, embed0 = self.make_documents("old")
        self.write_other(pdf, "/MANUAL.PDF", 0)
        self.shoot(p["old"], "/DCIM/100CANON", 0)
        self.write_other(zip1, "/NOTES.ZIP", 0)
        card.format()
        for item in self.photos + self.others:
            item["state"] = "deleted"
            item["how"] = "format"
        for folder in ("/DCIM", "/DCIM/100CANON", "/PICTURES"):
            card.mkdir(folder)

        log("phase 1: a new shoot, documents and archives")
        pdf, zip1, zip2, embed1 = self.make_documents("new")
        self.write_other(pdf, "/MANUAL.PDF", 1)
        shoot1 = self.shoot(p["shoot"] / 2, "/DCIM/100CANON", 1)
        self.write_other(zip1, "/NOTES.ZIP", 1)
        self.write_other(zip2, "/BACKUP.ZIP", 1)
        shoot1 += self.shoot(p["shoot"] / 2, "/DCIM/100CANON", 1)

        log("phase 2: fragmented photos")
        card.mkdir("/DCIM/101CANON")
        fragmented = []
        for holes, kind in p["frag"]:
            mediums = [self.write_photo("medium", "/DCIM/101CANON", 2) for _ in range(2 * holes + 1)]
            mediums = [m for m in mediums if m]
            gaps = mediums[0:2 * holes:2]
            for m in gaps:
                card.delete(m["path"])
                m["state"], m["how"] = "deleted", "mdel"
            card.set_next_free(card.cluster_of(gaps[0]["extents"][0][0]))
            folder = "/DCIM/101CANON" if kind == "jpeg" else "/PICTURES"
            big = self.write_photo(kind, folder, 2)
            if big is None and kind == "bigpng":
                big = self.write_photo("png", folder, 2)
            if big:
                fragmented.append(big)
            # Go on after everything this step wrote, as the camera would.
            card.set_next_free(1 + max(self._clusters(ph)[-1] for ph in mediums + fragmented[-1:]))

        log("phase 3: photos deleted")
        victims = []
        i = 0
        while i < len(shoot1):
            if self.rnd.random() < 0.35:
                run_len = self.rnd.choice([1, 1, 2, 3, 5])
                victims += shoot1[i:i + run_len]
                i += run_len + 1
            else:
                i += 1
        # Half the fragmented big photos go as well.
        victims += fragmented[::2]
        for v in victims:
            card.delete(v["path"])
            v["state"], v["how"] = "deleted", "mdel"
        for o in self.others:
            if o["path"] == "/BACKUP.ZIP" and o["state"] == "live":
                card.delete(o["path"])
                o["state"], o["how"] = "deleted", "mdel"

        log("phase 4: the camera shoots again from the start of the card")
        card.mkdir("/DCIM/102CANON")
        card.set_next_free(2)
        self.shoot(p["new"], "/DCIM/102CANON", 4)
        # A few photos land in the tails of deleted ones, leaving their heads.
        for _ in range(p["tails"]):
            small = self.pool.take("medium")
            if small is None:
                break
            free = card.free_clusters()
            need = -(-os.path.getsize(small) // card.cluster_bytes)
            candidates = [ph for ph in self.photos
                          if ph["state"] == "deleted" and ph["type"] == "jpg"
                          and len(ph["extents"]) == 1 and len(self._clusters(ph)) > 4 * need
                          and all(c in free for c in self._clusters(ph)) and self._intact(ph)]
            if not candidates:
                break
            ph = self.rnd.choice(candidates)
            clusters = self._clusters(ph)
            card.set_next_free(clusters[len(clusters) * 7 // 10])
            ext, name = self._name("medium")
            path = f"/DCIM/102CANON/{name}"
            extents = card.put(small, path)
            self.photos.append(dict(path=path, type=ext, size=os.path.getsize(small),
                                    sha256=sha256(small), source=str(small), extents=extents,
                                    phase=4, state="live"))
        card.set_next_free(0xFFFFFFFF)
        self.embedded = [embed0, embed1]

    def _intact(self, photo):
        data = Path(photo["source"]).read_bytes()
        pos = 0
        with open(self.card.image, "rb") as img:
            for off, n in photo["extents"]:
                img.seek(off)
                if img.read(n) != data[pos:pos + n]:
                    return False
                pos += n
        return True

    def _clusters(self, photo):
        self.card.sync()
        cb = self.card.cluster_bytes
        out = []
        for off, n in photo["extents"]:
            first = self.card.cluster_of(off)
            out += range(first, first + (n + cb - 1) // cb)
        return out

    def settle(self):
        """Compares each photo's clusters in the final image with its bytes."""
        live = self.card.listing()
        with open(self.card.image, "rb") as img:
            for ph in self.photos:
                data = Path(ph["source"]).read_bytes()
                pos, same, total = 0, 0, 0
                cb = self.card.cluster_bytes
                head = None
                for off, n in ph["extents"]:
                    img.seek(off)
                    now = img.read(n)
                    for k in range(0, n, cb):
                        total += 1
                        ok = now[k:k + cb] == data[pos + k:pos + k + cb]
                        same += ok
                        if head is None:
                            head = ok
                    pos += n
                ph["fragments"] = len(ph["extents"])
                ph["clusters"] = total
                ph["clusters_intact"] = same
                ph["condition"] = ("intact" if same == total else
                                   "overwritten" if same == 0 else
                                   "head intact" if head else "head overwritten")
                listed = ph["path"].lstrip("/") in live or ph["path"] in live
                if listed != (ph["state"] == "live"):
                    sys.exit(f"make-camera-card: {ph['path']} is {ph['state']} but "
                             f"{'listed' if listed else 'not listed'} by mdir")
                if ph["state"] == "live" and ph["condition"] != "intact":
                    sys.exit(f"make-camera-card: live photo {ph['path']} was overwritten")


def card_arguments(doc, size_mib, seed):
    """The options every card maker takes: where the image and its ground
    truth go, its size, the photos and the picture cache, jobs and seed."""
    ap = argparse.ArgumentParser(description=doc.split("\n")[0])
    ap.add_argument("--out", required=True, help="image file to write")
    ap.add_argument("--truth", required=True, help="ground-truth JSON to write")
    ap.add_argument("--size-mib", type=int, default=size_mib)
    ap.add_argument("--photos", default=None, help="folder made by tools/photos.sh")
    ap.add_argument("--pool", default=None, help="cache folder for the generated pictures")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--seed", type=int, default=seed)
    return ap


def main():
    ap = card_arguments(__doc__, size_mib=2048, seed=11)
    ap.add_argument("--fat", type=int, choices=[32, 16], default=32, help="FAT width")
    ap.add_argument("--exfat", action="store_true",
                    help="an exFAT card (128 KiB clusters, as on SDXC cards) instead of FAT")
    a = ap.parse_args()
    # The exFAT card is mounted through a loop device: unmount and detach on every way out.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("make-camera-card: terminated"))
    signal.signal(signal.SIGHUP, lambda *_: sys.exit("make-camera-card: hung up"))

    profile = "small" if a.size_mib < 1024 else "full"
    photos = a.photos or run(["bash", str(HERE / "photos.sh")]).strip().splitlines()[-1]
    pool_dir = Path(a.pool or Path(a.out).resolve().parent / "pool")
    os.environ["MTOOLS_SKIP_CHECK"] = "1"
    os.environ.setdefault("MTOOLSRC", "/dev/null")

    with tempfile.TemporaryDirectory() as tmp:
        pool = Pool(profile, photos, pool_dir, a.jobs)
        spc = PROFILES[profile]["spc"]
        part_sectors = a.size_mib * 2048 - PART_START
        while a.fat == 16 and part_sectors // spc >= 65525 - 64:
            spc *= 2
        card = (ExfatCard(a.out, a.size_mib, 128 * 1024) if a.exfat
                else Card(a.out, a.size_mib, spc, a.fat))
        hist = History(card, pool, profile, random.Random(a.seed), Path(tmp))
        try:
            hist.run()
            hist.settle()
        finally:
            card.close()
        embedded = [dict(source=str(e), size=os.path.getsize(e), sha256=sha256(e),
                         inside="MANUAL.PDF") for e in hist.embedded if e]

    truth = dict(
        image=str(Path(a.out).resolve()), image_bytes=card.size, profile=profile,
        partition=dict(number=1, start_sector=PART_START, sectors=card.part_sectors,
                       fs="exfat" if a.exfat else f"fat{a.fat}",
                       cluster_bytes=card.cluster_bytes, data_offset=card.data_offset,
                       clusters=card.clusters),
        photos=hist.photos, others=hist.others, embedded=embedded)
    Path(a.truth).write_text(json.dumps(truth, indent=1))
    by = {}
    for ph in hist.photos:
        key = ph["state"] if ph["state"] == "live" else f"deleted, {ph['condition']}"
        by[key] = by.get(key, 0) + 1
    log(f"{len(hist.photos)} photos: " + ", ".join(f"{v} {k}" for k, v in sorted(by.items())))


if __name__ == "__main__":
    main()
