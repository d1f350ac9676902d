#!/usr/bin/env python3
"""Builds an NTFS disk image with a known history of deleted photos, and its
ground truth, for bench/compare --volume ntfs.

The disk is an MBR (sfdisk) with one NTFS partition (type 7) at sector 2048,
made by mkntfs (4 KiB clusters) and filled with ntfs-3g's tools the way a
family computer's photo drive is used:

  1. photos in nested folders with long Unicode names (accents, Greek,
     Cyrillic, CJK, Korean), written with ntfscp;
  2. big photos, several over 10 MiB, each written in two or three parts
     with another file written between them, so that its data has two or
     three runs;
  3. about a third of the photos deleted through an ntfs-3g mount, singly,
     half of the fragmented ones with them, and one whole folder tree;
  4. new photos written afterwards with ntfscp, which takes the first free
     clusters and so overwrites some of the deleted ones.

The ground truth lists every photo ever written, in the format of
tools/make-camera-card.py: its bytes (an identical copy and its SHA-256),
its clusters, whether it is live or deleted, how much of it the final image
still holds, and for a deleted one whether sleuthkit still lists its record.

Usage: make-ntfs-bench.py --out IMAGE --truth JSON [--size-mib N]
                          [--photos DIR] [--pool DIR] [--jobs N]
Needs: sfdisk, mkntfs, ntfscp, ntfsfallocate, ntfstruncate, ntfs-3g (FUSE),
sleuthkit, ImageMagick's convert and jpegtran (through the camera card's
picture pool).
"""

import argparse
import hashlib
import json
import os
import random
import runpy
import re
import shutil
import subprocess
import sys
import tempfile
import time
import types
from pathlib import Path

HERE = Path(__file__).resolve().parent
PART_START = 2048
SECTOR = 512
CLUSTER = 4096
CONVERT = "/usr/bin/convert" if os.path.exists("/usr/bin/convert") else "convert"

# The camera card's photo makers, shared with make-camera-card.py.
camera_card = types.SimpleNamespace(**runpy.run_path(str(HERE / "make-camera-card.py"), run_name="camera_card"))

STARTED = time.monotonic()

FOLDERS = [
    "Photos/2023/Été à Nice – la Promenade des Anglais",
    "Photos/2023/Zürich – Großmünster im Schnee",
    "Photos/2024/日本旅行/東京 – 渋谷と新宿の夜景",
    "Photos/2024/서울 – 경복궁",
    "Familie/Geburtstage/Emmas erster Geburtstag",
    "Voyages/Ελλάδα/Κρήτη – Κνωσός",
    "Voyages/Россия/Москва – Красная площадь",
    "Scans/Großeltern/Hochzeit 1962",
]
TOPICS = ["Plage à Nice – coucher de soleil", "渋谷スクランブル交差点", "Κνωσός – το παλάτι του Μίνωα",
          "Emma – Kerzen auspusten", "Café de Flore – petit-déjeuner", "Kraków – Rynek Główny",
          "İstanbul – Ayasofya", "Москва – Храм Василия Блаженного", "경복궁 – 근정전", "Großmünster – Türme"]
# The tree deleted whole in phase 3.
DELETED_TREE = "Voyages/Ελλάδα"


def log(msg):
    print(f"make-ntfs-bench: [{time.monotonic() - STARTED:5.1f}s] {msg}", file=sys.stderr, flush=True)


def run(cmd, **kw):
    try:
        return subprocess.run(cmd, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True, **kw).stdout
    except subprocess.CalledProcessError as e:
        sys.exit(f"make-ntfs-bench: {' '.join(map(str, cmd))} failed:\n{e.stderr}")


class Volume:
    """The NTFS partition as a file, written by ntfs-3g's tools."""

    def __init__(self, path, size_mib, work):
        self.path, self.work = Path(path), Path(work)
        self.sectors = size_mib * 2048
        self.clusters = (self.sectors - 1) * SECTOR // CLUSTER
        self.mnt = self.work / "mnt"

    def create(self):
        self.path.unlink(missing_ok=True)
        with open(self.path, "wb") as f:
            f.truncate(self.sectors * SECTOR)
        run(["mkntfs", "-F", "-Q", "-q", "-T", "-c", str(CLUSTER), "-p", str(PART_START), "-H", "255",
             "-S", "63", "-L", "Photos", str(self.path)])

    def mounted(self):
        vol = self

        class Mount:
            # In the foreground, so that the end of the process, not just of
            # umount, says that everything is written back.
            def __enter__(self):
                vol.mnt.mkdir(exist_ok=True)
                self.proc = subprocess.Popen(["ntfs-3g", "-o", "no_detach", str(vol.path), str(vol.mnt)],
                                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                for _ in range(200):
                    if subprocess.run(["mountpoint", "-q", str(vol.mnt)]).returncode == 0:
                        return vol.mnt
                    if self.proc.poll() is not None:
                        sys.exit(f"make-ntfs-bench: ntfs-3g cannot mount here: {self.proc.stderr.read()}")
                    time.sleep(0.05)
                sys.exit("make-ntfs-bench: ntfs-3g did not mount")

            def __exit__(self, *exc):
                subprocess.run(["umount", str(vol.mnt)], check=False)
                self.proc.wait()
        return Mount()

    def put(self, src, dst):
        run(["ntfscp", "-f", str(self.path), str(src), dst])

    def inode(self, dst):
        return int(run(["ifind", "-n", dst, str(self.path)]).strip())

    def truncate(self, dst, size):
        run(["ntfstruncate", str(self.path), str(self.inode(dst)), str(size)])

    def free_clusters(self):
        bitmap = subprocess.run(["icat", str(self.path), "6"], check=True, stdout=subprocess.PIPE).stdout
        used = sum(bin(b).count("1") for b in bitmap[: (self.clusters + 7) // 8])
        return self.clusters - used

    def clusters_of(self, inode):
        """The clusters of a file's unnamed $DATA, as istat lists them."""
        text = run(["istat", str(self.path), str(inode)])
        out, in_data = [], False
        for line in text.splitlines():
            if line.startswith("Type: "):
                in_data = "$DATA (128-" in line and "Name: N/A" in line
                continue
            if in_data:
                out += [int(w) for w in line.split()]
        return out

    def listing(self, deleted):
        """fls: path -> inode of the regular files, live or deleted."""
        flags = ["-r", "-p", "-F"] + (["-d"] if deleted else ["-u"])
        out = {}
        for line in run(["fls", *flags, str(self.path)]).splitlines():
            m = re.match(r"^[-r]/r (?:\* )?(\d+)(?:-\d+-\d+)?:\t(.*)$", line)
            if m:
                out[m.group(2)] = int(m.group(1))
        return out


class History:
    def __init__(self, vol, pool, rnd, work):
        self.vol, self.pool, self.rnd, self.work = vol, pool, rnd, work
        self.photos = []
        self.n = 0
        self.seq = 0

    def name(self, ext):
        self.n += 1
        return f"{self.rnd.choice(TOPICS)} {self.n:04d}.{ext}"

    def write(self, src, folder, phase, kind):
        ext = {"jpeg": "jpg", "medium": "jpg", "bigpng": "png", "huge": "jpg"}.get(kind, kind)
        path = f"{folder}/{self.name(ext)}"
        self.vol.put(src, path)
        ph = dict(path=path, type=ext, size=os.path.getsize(src), sha256=camera_card.sha256(src),
                  source=str(src), phase=phase, state="live")
        self.photos.append(ph)
        return ph

    def fragmented(self, src, folder, phase, kind, pieces):
        """Writes the photo in `pieces` parts with another file written
        between two parts, as when two files are saved at once: the photo's
        data then has that many runs. The first part goes in with ntfscp,
        the others are appended through an ntfs-3g mount."""
        data = Path(src).read_bytes()
        cut = [len(data) * k // pieces // CLUSTER * CLUSTER for k in range(pieces)] + [len(data)]
        part = self.work / "part"
        part.write_bytes(data[:cut[1]])
        ph = self.write(part, folder, phase, kind)
        ph.update(size=len(data), sha256=camera_card.sha256(src), source=str(src))
        for k in range(1, pieces):
            self.seq += 1
            spacer = self.work / "spacer"
            spacer.write_bytes(self.rnd.randbytes(self.rnd.randint(2, 16) * CLUSTER))
            self.vol.put(spacer, f"Temp/spacer{self.seq}.bin")
            with self.vol.mounted() as mnt, open(mnt / ph["path"], "ab") as f:
                f.write(data[cut[k]:cut[k + 1]])
        return ph

    def run(self, fill):
        vol, rnd = self.vol, self.rnd
        vol.create()
        with vol.mounted() as mnt:
            for folder in FOLDERS + ["Temp"]:
                (mnt / folder).mkdir(parents=True, exist_ok=True)
        goal = fill * vol.clusters * CLUSTER
        log("phase 1: photos in nested folders with long Unicode names")
        written, i = 0, 0
        kinds = ["png", "gif", "bmp"]
        while written < goal:
            i += 1
            kind = "jpeg" if i % 8 else kinds[(i // 8) % 3]
            src = self.pool.take(kind)
            if src is None:
                if kind == "jpeg":
                    break
                continue
            written += self.write(src, FOLDERS[i % len(FOLDERS)], 1, kind)["size"]
        self.record()
        log(f"phase 2: big photos in several runs ({vol.free_clusters()} clusters free)")
        for k, src in enumerate(self.pool.huge):
            self.fragmented(src, FOLDERS[(3 * k) % len(FOLDERS)], 2, "huge", 2 + k % 2)
        for k in range(6):
            src = self.pool.take("jpeg")
            if src:
                self.fragmented(src, FOLDERS[(5 * k + 1) % len(FOLDERS)], 2, "jpeg", 2 + k % 2)
        self.record()

        log("phase 3: deletions through an ntfs-3g mount")
        with vol.mounted() as mnt:
            for ph in self.photos:
                if ph["state"] != "live":
                    continue
                tree = ph["path"].startswith(DELETED_TREE + "/")
                frag = ph["phase"] == 2 and ph["fragments"] > 1
                if tree or (frag and rnd.random() < 0.5) or (not frag and rnd.random() < 0.33):
                    ph["state"] = "deleted"
                    if not tree:
                        (mnt / ph["path"]).unlink()
            shutil.rmtree(mnt / DELETED_TREE)
        log("phase 4: new photos into the first free clusters")
        for k in range(12):
            src = self.pool.take("jpeg")
            if src is None:
                break
            ph = self.write(src, FOLDERS[k % 4], 4, "jpeg")
            self.record_one(ph, vol.listing(False))

    def record(self):
        live = None
        for ph in self.photos:
            if "clusters_before" not in ph:
                live = live or self.vol.listing(False)
                self.record_one(ph, live)

    def record_one(self, ph, live):
        inode = live[ph["path"]]
        ph["inode"] = inode
        clusters = self.vol.clusters_of(inode)
        ph["clusters_before"] = clusters
        ph["fragments"] = sum(1 for k, c in enumerate(clusters) if k == 0 or c != clusters[k - 1] + 1)

    def settle(self):
        """Compares each photo's clusters in the final volume with its bytes,
        and asks sleuthkit which deleted records it still lists."""
        deleted = self.vol.listing(True)
        orphans = {p.rsplit("/", 1)[-1] for p in deleted if p.startswith("$OrphanFiles/")}
        with open(self.vol.path, "rb") as img:
            for ph in self.photos:
                data = Path(ph["source"]).read_bytes()
                same, total, head = 0, 0, None
                for k, c in enumerate(ph.pop("clusters_before")):
                    img.seek(c * CLUSTER)
                    ok = img.read(CLUSTER)[:len(data) - k * CLUSTER] == data[k * CLUSTER:(k + 1) * CLUSTER]
                    total += 1
                    same += ok
                    head = ok if head is None else head
                ph["clusters"] = total
                ph["clusters_intact"] = same
                ph["condition"] = ("intact" if same == total else "overwritten" if same == 0 else
                                   "head intact" if head else "head overwritten")
                if ph["state"] == "live" and ph["condition"] != "intact":
                    sys.exit(f"make-ntfs-bench: live photo {ph['path']} was overwritten")
                if ph["state"] != "live":
                    name = ph["path"].rsplit("/", 1)[-1]
                    ph["record"] = ph["path"] in deleted or name in orphans
                ph["path"] = "/" + ph["path"]


class Pool(camera_card.Pool):
    """The camera card's pictures, and a few photos over 10 MiB."""

    def __init__(self, photos, folder, jobs):
        super().__init__("full", photos, folder, jobs)
        huge = Path(folder) / "huge-v1"
        huge.mkdir(parents=True, exist_ok=True)
        self.huge = []
        for i, (w, h, q) in enumerate([(6000, 4000, 97), (7008, 4672, 95), (5472, 3648, 98), (6720, 4480, 96)]):
            out = huge / f"huge-{i}.jpg"
            if not out.exists():
                src = self._src(camera_card.LARGE_JPEGS[i % len(camera_card.LARGE_JPEGS)])
                tmp = huge / f".huge-{i}.tmp"
                run([CONVERT, src, "+profile", "!exif,*", "-resize", f"{w}x{h}!", "-seed", str(50 + i),
                     "-attenuate", "0.5", "+noise", "Gaussian", "-quality", str(q), f"JPEG:{tmp}"])
                os.replace(tmp, out)
            self.huge.append(out)


def main():
    ap = camera_card.card_arguments(__doc__, size_mib=1024, seed=17)
    a = ap.parse_args()

    photos = a.photos or run(["bash", str(HERE / "photos.sh")]).strip().splitlines()[-1]
    pool_dir = Path(a.pool or Path(a.out).resolve().parent / "pool")
    with tempfile.TemporaryDirectory() as tmp:
        pool = Pool(photos, pool_dir, a.jobs)
        vol = Volume(Path(tmp) / "part.img", a.size_mib, tmp)
        hist = History(vol, pool, random.Random(a.seed), Path(tmp))
        hist.run(0.55 if a.size_mib >= 512 else 0.4)
        hist.settle()
        out = Path(a.out)
        out.unlink(missing_ok=True)
        with open(out, "wb") as f:
            f.truncate((PART_START + vol.sectors) * SECTOR)
        subprocess.run(["sfdisk", "-q", "--label", "dos", str(out)], input=f"{PART_START},{vol.sectors},7\n",
                       text=True, check=True, stdout=subprocess.DEVNULL)
        run(["dd", f"if={vol.path}", f"of={out}", "bs=1M", f"seek={PART_START * SECTOR}", "oflag=seek_bytes",
             "conv=notrunc,sparse", "status=none"])

    truth = dict(
        image=str(Path(a.out).resolve()), image_bytes=(PART_START + vol.sectors) * SECTOR, profile="ntfs",
        partition=dict(number=1, start_sector=PART_START, sectors=vol.sectors, cluster_bytes=CLUSTER,
                       clusters=vol.clusters, fs="ntfs"),
        photos=hist.photos, others=[], embedded=[])
    Path(a.truth).write_text(json.dumps(truth, indent=1, ensure_ascii=False))
    by = {}
    for ph in hist.photos:
        key = ph["state"] if ph["state"] == "live" else f"deleted, {ph['condition']}"
        by[key] = by.get(key, 0) + 1
    big = sum(1 for ph in hist.photos if ph["size"] > 10 << 20)
    log(f"{len(hist.photos)} photos ({big} over 10 MiB): " + ", ".join(f"{v} {k}" for k, v in sorted(by.items())))


if __name__ == "__main__":
    main()
