#!/usr/bin/env python3
"""Builds a camera-card disk image of the newer photo types, and its ground truth.

Like tools/make-camera-card.py (whose card, pool and scoring it shares), an
MBR disk with one FAT32 partition at sector 8192, made by sfdisk and
mkfs.fat and filled with mtools, the way a season of use would leave it:

  0. an earlier shoot of RAW + JPEG pairs, then the card is formatted in
     the camera (the old photos stay in the data area);
  1. a new shoot: RAW + JPEG pairs from cameras of nine makers (CR2, NEF,
     ARW, DNG, PEF, ORF, RW2, RAF, CR3, each with its JPEG), a phone's HEIC
     photos, scanned TIFFs and WebP pictures saved from the web;
  2. photos deleted with mdel, singly and in runs: both files of some
     pairs, only the RAW or only the JPEG of others;
  3. a new shoot from the start of the card over some of the deleted ones.

The RAW files are synthetic (tools/make-raw.py: each maker's documented
layout, a real JPEG preview, noise as sensor data); HEIC is made by heif-enc,
WebP by cwebp, TIFF by ImageMagick, the JPEGs as for the camera card.

The ground truth has the camera card's fields; each photo's "type" is the
command line's type word (jpg, raw, heic, tiff, webp) and "kind" its
extension (nef, cr3, ...).

Usage: make-format-card.py --out IMAGE --truth JSON [--size-mib N]
                           [--photos DIR] [--pool DIR] [--jobs N]
Cards under 512 MiB use a small recipe (small pictures, RAW files of a
megabyte or less, 512-byte clusters); larger ones camera-sized pictures and RAW
files of 8 to 20 MB (8 KiB clusters).
Needs: what make-camera-card.py needs, heif-enc (libheif-examples), cwebp (webp).
"""

import argparse
import concurrent.futures
import json
import os
import random
import runpy
import sys
import tempfile
import threading
import types
from pathlib import Path

HERE = Path(__file__).resolve().parent
# The camera card's photo makers, shared with make-camera-card.py.
cc = types.SimpleNamespace(**runpy.run_path(str(HERE / "make-camera-card.py"), run_name="camera_card"))

# Bump when a recipe below changes, so cached pools are made again.
FORMAT_POOL_VERSION = 2

# The makers, in the order the pairs cycle through them: kind, folder, name pattern.
CAMERAS = [
    ("nef", "/DCIM/100NIKON", "DSC_{n:04d}"),
    ("cr2", "/DCIM/100CANON", "IMG_{n:04d}"),
    ("arw", "/DCIM/100MSDCF", "DSC{n:05d}"),
    ("raf", "/DCIM/100_FUJI", "DSCF{n:04d}"),
    ("orf", "/DCIM/100OLYMP", "P{n:07d}"),
    ("rw2", "/DCIM/100_PANA", "P10{n:05d}"),
    ("cr3", "/DCIM/101CANON", "IMG_{n:04d}"),
    ("pef", "/DCIM/100PENTX", "IMGP{n:04d}"),
    ("dng", "/DCIM/100GOOGL", "PXL_{n:04d}"),
]

PROFILES = {
    # cluster size in sectors; shares of the data area the shoots write; RAW
    # sensor data sizes; every n-th item of a shoot is a HEIC, TIFF or WebP
    "small": dict(spc=1, old=0.70, shoot=0.20, new=0.04, sensor=(300_000, 1_200_000),
                  heic=4, tiff=6, webp=5),
    "full": dict(spc=16, old=0.55, shoot=0.30, new=0.05, sensor=(8_000_000, 20_000_000),
                 heic=4, tiff=6, webp=5),
}


class FormatPool(cc.Pool):
    """The camera card's pool, with the newer types: "raw" (a RAW whose
    preview is cut from one of the card's JPEGs, which is its pair),
    "heic", "tiff" and "webp"."""

    def __init__(self, profile, photos, folder, jobs):
        self.fprofile = profile
        super().__init__(profile, photos, folder, jobs)
        self.formats_dir = Path(folder) / f"{profile}-formats-v{FORMAT_POOL_VERSION}"
        self.formats_dir.mkdir(parents=True, exist_ok=True)
        for kind in ("raw", "heic", "tiff", "webp"):
            self.recipes[kind] = self._format_recipes(kind)

    def _make(self, recipe):
        # The newer types live in a folder of their own, beside the shared JPEGs.
        name, cmd, _ = recipe[:3]
        if not name.startswith("fmt-"):
            return super()._make(recipe)
        with self.guard:
            lock = self.locks.setdefault(name, threading.Lock())
        with lock:
            if (self.formats_dir / name).exists():
                return
            tmp = self.formats_dir / f".{name}.tmp"
            cc.run([a.replace("{out}", str(tmp)) for a in cmd])
            os.replace(tmp, self.formats_dir / name)

    def take(self, kind):
        path = super().take(kind)
        if path is not None and path.name.startswith("fmt-"):
            return self.formats_dir / path.name
        return path

    def raw_pair(self, i):
        """The i-th RAW and the JPEG it was made from, made (a batch ahead,
        in parallel) when missing; None past the last."""
        recipes = self.recipes["raw"]
        if i >= len(recipes):
            return None
        if not (self.formats_dir / recipes[i][0]).exists():
            with concurrent.futures.ThreadPoolExecutor(self.jobs) as ex:
                list(ex.map(self._make_raw, recipes[i:i + 2 * self.jobs]))
        return self.formats_dir / recipes[i][0], self.path_of(recipes[i][3][0])

    def path_of(self, name):
        return (self.formats_dir if name.startswith("fmt-") else self.dir) / name

    def _make_raw(self, recipe):
        """A RAW: its preview is cut from a shared JPEG, then make-raw.py."""
        name, cmd, preview, base = recipe
        if (self.formats_dir / name).exists():
            return
        self._make(base)
        self._make(preview)
        tmp = self.formats_dir / f".{name}.tmp"
        cc.run([a.replace("{out}", str(tmp)).replace("{dep}", str(self.formats_dir / preview[0])) for a in cmd])
        os.replace(tmp, self.formats_dir / name)

    def _format_recipes(self, kind):
        small = self.fprofile == "small"
        rnd = random.Random(f"formats-{kind}")
        sensor = PROFILES[self.fprofile]["sensor"]
        bases = self.recipes["jpeg"]
        if small:
            # Small photos: the camera card's, then noisy crops of the large ones.
            bases = list(self.recipes["medium"])
            for m in range(60):
                w, h = [(1024, 768), (800, 600), (1280, 960)][m % 3]
                bases.append((f"fmt-small-{m:02d}.jpg",
                              [cc.CONVERT, self._src(cc.LARGE_JPEGS[m % len(cc.LARGE_JPEGS)]),
                               "-crop", f"{2400 + 10 * m}x1800+{13 * m}+{7 * m}", "+repage",
                               "-resize", f"{w}x{h}!", "-seed", str(m), "-attenuate", "0.3",
                               "+noise", "Gaussian", "-quality", str(85 + m % 10), "-strip", "JPEG:{out}"], None))
        out = []
        if kind == "raw":
            # The pairs' JPEGs are the camera card's (made once for both cards).
            for i, base in enumerate(bases):
                preview = (f"fmt-preview-{i:03d}.jpg",
                           [cc.CONVERT, str(self.path_of(base[0])), "-resize", "1620x1080>", "-quality", "85",
                            "JPEG:{out}"], None)
                kind_ = CAMERAS[i % len(CAMERAS)][0]
                out.append((f"fmt-raw-{i:03d}.{kind_}",
                            [sys.executable, str(HERE / "make-raw.py"), kind_, "{dep}", "{out}",
                             "--sensor-bytes", str(rnd.randint(*sensor)), "--seed", str(i)],
                            preview, base))
        elif kind == "heic":
            for i in range(40):
                src = self._src((cc.LARGE_JPEGS + cc.LARGE_PNGS)[i % 9])
                w, h = (640, 480) if small else (2016, 1512)
                out.append((f"fmt-heic-{i:02d}.heic",
                            ["sh", "-c", f"{cc.CONVERT} '{src}' -crop 2400x1800+{23 * i}+{11 * i} +repage "
                             f"-resize {w}x{h}! -seed {i} -attenuate 0.3 +noise Gaussian -quality 95 -strip "
                             f"JPEG:\"$1.jpg\" && heif-enc -q {60 + i % 30} \"$1.jpg\" -o \"$1.heic\" >/dev/null "
                             f"&& mv \"$1.heic\" \"$1\" && rm -f \"$1.jpg\"", "sh", "{out}"], None))
        elif kind == "tiff":
            for i in range(20):
                src = self._src((cc.LARGE_PNGS + cc.LARGE_JPEGS)[i % 9])
                w, h = (400, 300) if small else (1600, 1200)
                comp = ["none", "lzw", "zip"][i % 3]
                extra = ["-define", "tiff:tile-geometry=256x256"] if i % 4 == 1 else []
                endian = ["-endian", "MSB" if i % 2 else "LSB"]
                out.append((f"fmt-tiff-{i:02d}.tif",
                            [cc.CONVERT, src, "-resize", f"{w}x{h}!", "-compress", comp, *extra, *endian,
                             "-strip", "TIFF:{out}"], None))
        elif kind == "webp":
            for i in range(40):
                src = self._src((cc.LARGE_JPEGS + cc.LARGE_PNGS)[(i + 3) % 9])
                w, h = (480, 360) if small else (1600, 1200)
                lossless = ["-lossless"] if i % 5 == 4 else ["-q", str(70 + i % 25)]
                out.append((f"fmt-webp-{i:02d}.webp",
                            ["sh", "-c", f"{cc.CONVERT} '{src}' -crop 2400x1800+{31 * i}+{7 * i} +repage "
                             f"-resize {w}x{h}! -strip PNG24:\"$1.png\" && cwebp -quiet "
                             + " ".join(lossless) + " \"$1.png\" -o \"$1\" && rm -f \"$1.png\"", "sh", "{out}"],
                            None))
        return out


class FormatHistory(cc.History):
    def __init__(self, card, pool, profile, rnd, work):
        super().__init__(card, pool, "small", rnd, work)
        self.p = PROFILES[profile]
        self.counter = {}

    def _next(self, key):
        self.counter[key] = self.counter.get(key, 0) + 1
        return self.counter[key]

    def _put(self, src, path, typ, kind, phase):
        extents = self.card.put(src, path)
        photo = dict(path=path, type=typ, kind=kind, size=os.path.getsize(src), sha256=cc.sha256(src),
                     source=str(src), extents=extents, phase=phase, state="live")
        self.photos.append(photo)
        return photo

    def write_pair(self, phase):
        """A RAW and its JPEG, under one name in the camera's folder."""
        i = self.pool.next.get("raw", 0)
        made = self.pool.raw_pair(i)
        if made is None:
            return []
        self.pool.next["raw"] = i + 1
        raw, jpeg = made
        kind, folder, pattern = CAMERAS[i % len(CAMERAS)]
        if folder not in self.folders:
            self.card.mkdir(folder)
            self.folders.add(folder)
        stem = pattern.format(n=self._next(kind))
        # Cameras write the JPEG first, then the RAW.
        return [self._put(jpeg, f"{folder}/{stem}.JPG", "jpg", "jpg", phase),
                self._put(raw, f"{folder}/{stem}.{kind.upper()}", "raw", kind, phase)]

    def write_single(self, typ, phase):
        src = self.pool.take(typ)
        if src is None:
            return []
        n = self._next(typ)
        folder, name = {"heic": ("/DCIM/102APPLE", f"IMG_{n:04d}.HEIC"),
                        "tiff": ("/SCANS", f"SCAN{n:04d}.TIF"),
                        "webp": ("/Download", f"photo_{n:04d}.webp")}[typ]
        if folder not in self.folders:
            self.card.mkdir(folder)
            self.folders.add(folder)
        kind = {"heic": "heic", "tiff": "tif", "webp": "webp"}[typ]
        return [self._put(src, f"{folder}/{name}", typ, kind, phase)]

    def shoot(self, fraction, phase):
        goal = fraction * self.card.clusters * self.card.cluster_bytes
        written, i, out = 0, 0, []
        while written < goal:
            i += 1
            typ = ("heic" if i % self.p["heic"] == 0 else "tiff" if i % self.p["tiff"] == 0
                   else "webp" if i % self.p["webp"] == 0 else "pair")
            items = self.write_pair(phase) if typ == "pair" else self.write_single(typ, phase)
            if not items and typ == "pair":
                cc.log(f"the pool ran out of pairs in phase {phase}")
                break
            written += sum(p["size"] for p in items)
            out.append(items)
        return out

    def run(self):
        card = self.card
        card.create()
        card.format()
        self.folders = {"/DCIM"}
        card.mkdir("/DCIM")
        cc.log("phase 0: an earlier shoot, then the card is formatted")
        self.shoot(self.p["old"], 0)
        card.format()
        for item in self.photos:
            item["state"], item["how"] = "deleted", "format"
        self.folders = {"/DCIM"}
        card.mkdir("/DCIM")

        cc.log("phase 1: pairs, phone photos, scans and web pictures")
        shot = self.shoot(self.p["shoot"], 1)

        cc.log("phase 2: photos deleted")
        i = 0
        while i < len(shot):
            if self.rnd.random() < 0.35:
                run_len = self.rnd.choice([1, 1, 2, 3])
                for items in shot[i:i + run_len]:
                    if len(items) == 2:
                        # Both files of the pair, or only one of them.
                        items = self.rnd.choice([items, items, items[1:], items[:1]])
                    for ph in items:
                        card.delete(ph["path"])
                        ph["state"], ph["how"] = "deleted", "mdel"
                i += run_len + 1
            else:
                i += 1

        cc.log("phase 3: a new shoot from the start of the card")
        card.set_next_free(2)
        self.shoot(self.p["new"], 3)
        card.set_next_free(0xFFFFFFFF)
        self.embedded = []


def main():
    ap = cc.card_arguments(__doc__, size_mib=1024, seed=17)
    a = ap.parse_args()

    profile = "small" if a.size_mib < 512 else "full"
    photos = a.photos or cc.run(["bash", str(HERE / "photos.sh")]).strip().splitlines()[-1]
    pool_dir = Path(a.pool or Path(a.out).resolve().parent / "pool")
    os.environ["MTOOLS_SKIP_CHECK"] = "1"
    os.environ.setdefault("MTOOLSRC", "/dev/null")

    with tempfile.TemporaryDirectory() as tmp:
        pool = FormatPool(profile, photos, pool_dir, a.jobs)
        card = cc.Card(a.out, a.size_mib, PROFILES[profile]["spc"])
        hist = FormatHistory(card, pool, profile, random.Random(a.seed), Path(tmp))
        hist.run()
        hist.settle()

    truth = dict(
        image=str(Path(a.out).resolve()), image_bytes=card.size, profile=profile, volume="formats",
        partition=dict(number=1, start_sector=cc.PART_START, sectors=card.part_sectors,
                       cluster_bytes=card.cluster_bytes, data_offset=card.data_offset,
                       clusters=card.clusters),
        photos=hist.photos, others=[], embedded=[])
    Path(a.truth).write_text(json.dumps(truth, indent=1))
    by = {}
    for ph in hist.photos:
        key = f"{ph['type']} {ph['state'] if ph['state'] == 'live' else 'deleted, ' + ph['condition']}"
        by[key] = by.get(key, 0) + 1
    cc.log(f"{len(hist.photos)} photos: " + ", ".join(f"{v} {k}" for k, v in sorted(by.items())))


if __name__ == "__main__":
    main()
