#!/usr/bin/env python3
"""Writes synthetic camera RAW files for tests and benchmarks.

No real camera sample can be had here, so each file is built to its maker's
documented layout: the header, the directories with the tags the maker
writes (Make, Model, SubIFDs, the Exif IFD, the maker note in its own
layout), a real JPEG as the full-size preview, and the sensor data last,
where cameras put it. The sensor data is noise: only the structure is the
camera's. exiftool reads every kind as the maker's own.

Kinds: cr2 nef arw dng pef orf rw2 raf cr3.

Usage: make-raw.py KIND PREVIEW.JPG OUT [--sensor-bytes N] [--seed N]
  --sensor-bytes  size of the sensor data (default 36864)
  --seed          seed of the noise, so that files of one kind differ
"""

import argparse
import random
import struct
import sys

KINDS = ["cr2", "nef", "arw", "dng", "pef", "orf", "rw2", "raf", "cr3"]

BYTE, ASCII, SHORT, LONG, UNDEFINED, IFD = 1, 2, 3, 4, 7, 13

# Tags
NEW_SUBFILE, WIDTH, LENGTH, BITS, COMPRESSION, PHOTOMETRIC = 254, 256, 257, 258, 259, 262
MAKE, MODEL, STRIP_OFFSETS, SAMPLES, ROWS, STRIP_COUNTS = 271, 272, 273, 277, 278, 279
SUB_IFDS, JPEG_OFFSET, JPEG_LENGTH = 330, 513, 514
CFA_DIM, CFA_PATTERN, EXPOSURE, EXIF_IFD, MAKER_NOTE = 33421, 33422, 33434, 34665, 37500
DNG_VERSION, DNG_BACKWARD, UNIQUE_MODEL, DNG_PRIVATE = 50706, 50707, 50708, 50740


class Tiff:
    """A header of the caller's bytes, then each directory followed by its
    values, then the data blocks in the order they were added: the last
    block ends the file. Offsets count from the first header byte."""

    def __init__(self, big, header, ifd0_at=4):
        self.big, self.header, self.ifd0_at = big, bytes(header), ifd0_at
        self.ifds, self.blocks, self.next, self.extra = [], [], {}, []

    def e(self):
        return ">" if self.big else "<"

    def ifd(self):
        self.ifds.append([])
        return len(self.ifds) - 1

    def block(self, data):
        self.blocks.append(bytes(data))
        return len(self.blocks) - 1

    def add(self, ifd, tag, typ, count, data=b"", refs=(), whole=False):
        self.ifds[ifd].append(dict(tag=tag, type=typ, count=count, data=bytearray(data), refs=list(refs),
                                   whole=whole))

    def ascii(self, ifd, tag, text):
        self.add(ifd, tag, ASCII, len(text) + 1, text.encode() + b"\0")

    def numbers(self, ifd, tag, typ, values):
        fmt = "H" if typ == SHORT else "I"
        self.add(ifd, tag, typ, len(values), b"".join(struct.pack(self.e() + fmt, v) for v in values))

    def short(self, ifd, tag, *v):
        self.numbers(ifd, tag, SHORT, v)

    def long(self, ifd, tag, *v):
        self.numbers(ifd, tag, LONG, v)

    def raw(self, ifd, tag, typ, data):
        self.add(ifd, tag, typ, len(data), data)

    def offsets(self, ifd, tag, targets, to_ifd, typ=LONG):
        self.add(ifd, tag, typ, len(targets), bytes(4 * len(targets)), [(to_ifd, t) for t in targets])

    def data(self, ifd, offset_tag, length_tag, blk):
        self.offsets(ifd, offset_tag, [blk], False)
        self.long(ifd, length_tag, len(self.blocks[blk]))

    def block_value(self, ifd, tag, typ, blk):
        self.add(ifd, tag, typ, len(self.blocks[blk]), refs=[(False, blk)], whole=True)

    def build(self):
        pos, ifd_pos, blk_pos = len(self.header), [], []
        for entries in self.ifds:
            pos += pos & 1
            ifd_pos.append(pos)
            pos += 2 + 12 * len(entries) + 4
            pos += sum(len(x["data"]) + (len(x["data"]) & 1) for x in entries if len(x["data"]) > 4)
        for b in self.blocks:
            pos += pos & 1
            blk_pos.append(pos)
            pos += len(b)
        out = bytearray(pos)
        out[:len(self.header)] = self.header
        e = self.e()
        if self.ifd0_at >= 0 and self.ifds:
            struct.pack_into(e + "I", out, self.ifd0_at, ifd_pos[0])
        for at, i in self.extra:
            struct.pack_into(e + "I", out, at, ifd_pos[i])
        for i, entries in enumerate(self.ifds):
            entries = sorted(entries, key=lambda x: x["tag"])
            p = ifd_pos[i]
            values = p + 2 + 12 * len(entries) + 4
            struct.pack_into(e + "H", out, p, len(entries))
            for k, x in enumerate(entries):
                at = p + 2 + 12 * k
                struct.pack_into(e + "HHI", out, at, x["tag"], x["type"], x["count"])
                if x["whole"]:
                    struct.pack_into(e + "I", out, at + 8, blk_pos[x["refs"][0][1]])
                    continue
                for r, (to_ifd, t) in enumerate(x["refs"]):
                    struct.pack_into(e + "I", x["data"], 4 * r, ifd_pos[t] if to_ifd else blk_pos[t])
                d = x["data"]
                if len(d) <= 4:
                    out[at + 8:at + 8 + len(d)] = d
                else:
                    struct.pack_into(e + "I", out, at + 8, values)
                    out[values:values + len(d)] = d
                    values += len(d) + (len(d) & 1)
            struct.pack_into(e + "I", out, p + 2 + 12 * len(entries),
                             ifd_pos[self.next[i]] if i in self.next else 0)
        for b, data in zip(blk_pos, self.blocks):
            out[b:b + len(data)] = data
        return bytes(out)


def header(big, magic=42):
    return (b"MM" + struct.pack(">H", magic) if big else b"II" + struct.pack("<H", magic)) + bytes(4)


def raw_ifd_tags(t, ifd, sensor, compression=1):
    width = 96
    height = max(1, len(t.blocks[sensor]) * 2 // 3 // width)
    t.long(ifd, NEW_SUBFILE, 0)
    t.long(ifd, WIDTH, width)
    t.long(ifd, LENGTH, height)
    t.short(ifd, BITS, 12)
    t.short(ifd, COMPRESSION, compression)
    t.short(ifd, PHOTOMETRIC, 32803)  # CFA
    t.short(ifd, SAMPLES, 1)
    t.long(ifd, ROWS, height)
    t.short(ifd, CFA_DIM, 2, 2)
    t.raw(ifd, CFA_PATTERN, BYTE, bytes([0, 1, 1, 2]))
    t.data(ifd, STRIP_OFFSETS, STRIP_COUNTS, sensor)


CAMERAS = {  # kind: (make, model, big-endian)
    "nef": ("NIKON CORPORATION", "NIKON Z 6", True),
    "arw": ("SONY", "ILCE-7M3", False),
    "dng": ("Google", "Pixel 7", False),
    "pef": ("PENTAX", "PENTAX K-3 Mark III", True),
}


def tiff_ep(kind, jpeg, sensor_data, rng):
    """The TIFF/EP layout of NEF, ARW, DNG and PEF: IFD0 a small RGB
    thumbnail with Make and Model, SubIFD 1 the full-size JPEG preview,
    SubIFD 2 the sensor data, the Exif IFD with the maker note."""
    make, model, big = CAMERAS[kind]
    t = Tiff(big, header(big))
    ifd0, preview, raw, exif = t.ifd(), t.ifd(), t.ifd(), t.ifd()
    thumb = t.block(rng.randbytes(24 * 16 * 3))
    jpeg_blk = t.block(jpeg)
    t.long(ifd0, NEW_SUBFILE, 1)
    t.long(ifd0, WIDTH, 24)
    t.long(ifd0, LENGTH, 16)
    t.short(ifd0, BITS, 8, 8, 8)
    t.short(ifd0, COMPRESSION, 1)
    t.short(ifd0, PHOTOMETRIC, 2)
    t.short(ifd0, SAMPLES, 3)
    t.long(ifd0, ROWS, 16)
    t.data(ifd0, STRIP_OFFSETS, STRIP_COUNTS, thumb)
    t.ascii(ifd0, MAKE, make)
    t.ascii(ifd0, MODEL, model)
    t.offsets(ifd0, EXIF_IFD, [exif], True)
    if kind == "dng":
        t.raw(ifd0, DNG_VERSION, BYTE, bytes([1, 4, 0, 0]))
        t.raw(ifd0, DNG_BACKWARD, BYTE, bytes([1, 1, 0, 0]))
        t.ascii(ifd0, UNIQUE_MODEL, f"{make} {model}")
    t.long(preview, NEW_SUBFILE, 1)
    t.short(preview, COMPRESSION, 6)
    t.data(preview, JPEG_OFFSET, JPEG_LENGTH, jpeg_blk)
    t.add(exif, EXPOSURE, 5, 1, struct.pack(t.e() + "II", 1, 250))  # RATIONAL 1/250 s
    if kind == "nef":
        # Nikon type 3: "Nikon\0", version 2.10, then a TIFF header of its own.
        note = Tiff(True, header(True))
        n0 = note.ifd()
        note.raw(n0, 0x0001, UNDEFINED, b"0210")
        t.raw(exif, MAKER_NOTE, UNDEFINED, b"Nikon\0\x02\x10\0\0" + note.build())
    elif kind == "arw":
        # "SONY DSC ", a directory whose FileFormat (0xB000) says ARW 2.3.
        t.raw(exif, MAKER_NOTE, UNDEFINED, b"SONY DSC \0\0\0" + struct.pack("<HHHI4s", 1, 0xB000, 1, 4, b"\3\3\0\0")
              + bytes(4))
    elif kind == "pef":
        t.raw(exif, MAKER_NOTE, UNDEFINED, b"AOC\0MM" + struct.pack(">HHHII", 1, 0x0001, 3, 1, 0) + bytes(4))
    sensor = t.block(sensor_data)
    raw_ifd_tags(t, raw, sensor, 32767 if kind == "arw" else 1)
    t.offsets(ifd0, SUB_IFDS, [preview, raw], True)
    return t.build()


def cr2(jpeg, sensor_data, rng):
    """Canon CR2: IFD0 at 16, "CR" 2 0 and the raw IFD's offset at 12; four
    directories in one chain: the full-size JPEG, the Exif thumbnail, a
    small RGB image and the sensor data (lossless JPEG with its slices)."""
    t = Tiff(False, header(False) + b"CR\x02\0\0\0\0\0")
    ifd0, ifd1, ifd2, ifd3, exif = t.ifd(), t.ifd(), t.ifd(), t.ifd(), t.ifd()
    t.extra.append((12, ifd3))
    big, small, rgb = t.block(jpeg), t.block(jpeg), t.block(rng.randbytes(32 * 24 * 6))
    t.long(ifd0, WIDTH, 160)
    t.long(ifd0, LENGTH, 120)
    t.short(ifd0, COMPRESSION, 6)
    t.ascii(ifd0, MAKE, "Canon")
    t.ascii(ifd0, MODEL, "Canon EOS 5D Mark IV")
    t.data(ifd0, STRIP_OFFSETS, STRIP_COUNTS, big)
    t.offsets(ifd0, EXIF_IFD, [exif], True)
    t.raw(exif, MAKER_NOTE, UNDEFINED, bytes([1, 0, 6, 0, 2, 0, 4, 0, 0, 0]) + b"EOS\0" + bytes(4))
    t.short(ifd1, COMPRESSION, 6)
    t.data(ifd1, JPEG_OFFSET, JPEG_LENGTH, small)
    t.long(ifd2, WIDTH, 32)
    t.long(ifd2, LENGTH, 24)
    t.short(ifd2, BITS, 16, 16, 16)
    t.short(ifd2, COMPRESSION, 1)
    t.short(ifd2, PHOTOMETRIC, 2)
    t.short(ifd2, SAMPLES, 3)
    t.data(ifd2, STRIP_OFFSETS, STRIP_COUNTS, rgb)
    sensor = t.block(sensor_data)
    t.short(ifd3, COMPRESSION, 6)
    t.data(ifd3, STRIP_OFFSETS, STRIP_COUNTS, sensor)
    t.short(ifd3, 0xC5D8, 1)
    t.short(ifd3, 0xC640, 1, 48, 48)  # CR2Slice
    t.next.update({ifd0: ifd1, ifd1: ifd2, ifd2: ifd3})
    return t.build()


def orf(jpeg, sensor_data, rng):
    """Olympus ORF: "IIRO", IFD0 the sensor data, the maker note in
    Olympus's new layout whose CameraSettings directory (0x2020) gives the
    preview JPEG's start (0x101) and length (0x102)."""
    t = Tiff(False, b"IIRO" + bytes(4))
    ifd0, exif = t.ifd(), t.ifd()
    note = Tiff(False, b"OLYMPUS\0II\3\0", ifd0_at=-1)
    main, settings = note.ifd(), note.ifd()
    note.raw(main, 0x0000, UNDEFINED, b"0100")
    note.offsets(main, 0x2020, [settings], True, IFD)
    prev = note.block(jpeg)
    note.offsets(settings, 0x0101, [prev], False)
    note.long(settings, 0x0102, len(jpeg))
    t.ascii(ifd0, MAKE, "OLYMPUS CORPORATION")
    t.ascii(ifd0, MODEL, "E-M1MarkII")
    t.offsets(ifd0, EXIF_IFD, [exif], True)
    t.raw(exif, MAKER_NOTE, UNDEFINED, note.build())
    sensor = t.block(sensor_data)
    raw_ifd_tags(t, ifd0, sensor)
    return t.build()


def rw2(jpeg, sensor_data, rng):
    """Panasonic RW2: "IIU\\0", IFD0 at 0x18 after Panasonic's magic, the
    preview as JpgFromRaw (0x2E), the sensor data through StripOffsets and
    RawDataOffset (0x118)."""
    magic = bytes([0x88, 0xe7, 0x74, 0xd8, 0xf8, 0x25, 0x1d, 0x4d, 0x94, 0x7a, 0x6e, 0x77, 0x82, 0x2b, 0x5d, 0x6a])
    t = Tiff(False, b"IIU\0\x18\0\0\0" + magic)
    ifd0 = t.ifd()
    t.raw(ifd0, 0x0001, UNDEFINED, b"0310")
    t.short(ifd0, 0x0002, 96)
    t.short(ifd0, 0x0003, 64)
    t.ascii(ifd0, MAKE, "Panasonic")
    t.ascii(ifd0, MODEL, "DC-GH5")
    prev = t.block(jpeg)
    t.block_value(ifd0, 0x002E, UNDEFINED, prev)
    sensor = t.block(sensor_data)
    t.data(ifd0, STRIP_OFFSETS, STRIP_COUNTS, sensor)
    t.long(ifd0, ROWS, 64)
    t.offsets(ifd0, 0x0118, [sensor], False)
    return t.build()


def raf(jpeg, sensor_data, rng):
    """Fujifilm RAF: header and offset directory, the JPEG at 0x94, the meta
    container (sensor size, raw info), the sensor data last."""
    f = bytearray(0x94)
    f[0:32] = b"FUJIFILMCCD-RAW 0201FF129502X-T2"
    f[60:64] = b"0100"
    f += jpeg + bytes(-len(jpeg) % 4)
    meta_at = len(f)
    meta = bytes([0, 0, 0, 2, 0x01, 0x00, 0, 4, 0, 64, 0, 96, 0x01, 0x30, 0, 4, 0, 0, 0, 12])
    f += meta
    cfa_at = len(f)
    f += sensor_data
    struct.pack_into(">IIIIII", f, 84, 0x94, len(jpeg), meta_at, len(meta), cfa_at, len(sensor_data))
    return bytes(f)


def box(kind, payload):
    return struct.pack(">I", 8 + len(payload)) + kind + payload


def cr3(jpeg, sensor_data, rng):
    """Canon CR3: ftyp "crx ", moov with Canon's uuid and its CNCV box, the
    preview's uuid holding a PRVW box and the JPEG, mdat with the sensor data."""
    canon = bytes.fromhex("85c0b687820f11e08111f4ce462b6a48")
    prvw_id = bytes.fromhex("eaf42b5e1c984b88b9fbb7dc406e4d16")
    f = box(b"ftyp", b"crx " + bytes(4) + b"crx isom")
    f += box(b"moov", box(b"uuid", canon + box(b"CNCV", b"CanonCR3_001/01.09.00/00.00.00")))
    p = struct.pack(">IHHHI", 1, 160, 120, 1, len(jpeg)) + jpeg
    f += box(b"uuid", prvw_id + bytes(8) + box(b"PRVW", p))
    f += box(b"mdat", sensor_data)
    return f


def make(kind, jpeg, sensor_bytes, seed):
    rng = random.Random(f"{kind}-{seed}")
    sensor_data = rng.randbytes(sensor_bytes)
    if kind in CAMERAS:
        return tiff_ep(kind, jpeg, sensor_data, rng)
    return {"cr2": cr2, "orf": orf, "rw2": rw2, "raf": raf, "cr3": cr3}[kind](jpeg, sensor_data, rng)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("kind", choices=KINDS)
    ap.add_argument("preview")
    ap.add_argument("out")
    ap.add_argument("--sensor-bytes", type=int, default=36864)
    ap.add_argument("--seed", type=int, default=0)
    a = ap.parse_args()
    with open(a.preview, "rb") as f:
        jpeg = f.read()
    if jpeg[:3] != b"\xff\xd8\xff":
        sys.exit(f"make-raw.py: {a.preview} is not a JPEG")
    with open(a.out, "wb") as f:
        f.write(make(a.kind, jpeg, a.sensor_bytes, a.seed))


if __name__ == "__main__":
    main()
