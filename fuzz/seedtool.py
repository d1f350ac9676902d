#!/usr/bin/env python3
"""Turns the real images that make_seeds.sh builds into small fuzz seeds.

  seedtool.py trim IN OUT [MIN_SECTORS [MAX_SECTORS]]
      IN up to its last sector that is not all zeros (at least MIN_SECTORS,
      looking at no more than MAX_SECTORS).
  seedtool.py fat IN OUT
      A FAT32 volume cut down to the clusters in use: the FAT shrinks to the
      entries of those clusters, the boot record says so, and the data area
      keeps clusters 2 up to the highest one in use.
  seedtool.py ntfs IN OUT
      An NTFS volume cut down to what mounting and walking it reads: the boot
      sector, then the MFT (its system records and the records written), the
      mirror and the $Bitmap data, one after the other, with the boot sector
      and the runlists patched to say so. File data is left behind.
  seedtool.py record IN NUMBER CLUSTER_BYTES OUT
      File record NUMBER of a seed made by `ntfs`, as fuzz_ntfs_record takes it.
"""
import struct
import sys

SECTOR = 512


def trim(data, min_sectors=1, max_sectors=None):
    end = len(data) // SECTOR
    if max_sectors is not None:
        end = min(end, max_sectors)
    while end > min_sectors and not any(data[(end - 1) * SECTOR:end * SECTOR]):
        end -= 1
    return data[:end * SECTOR]


def fat(data):
    spc = data[13]
    reserved, = struct.unpack_from('<H', data, 14)
    nfats = data[16]
    spf, = struct.unpack_from('<I', data, 36)
    fat0 = reserved * SECTOR
    entries = spf * SECTOR // 4
    used = [c for c in range(2, entries)
            if struct.unpack_from('<I', data, fat0 + 4 * c)[0] & 0x0FFFFFFF]
    highest = max(used)
    new_reserved = 8  # boot record, FSInfo and the backup at sector 6
    new_spf = ((highest + 1) * 4 + SECTOR - 1) // SECTOR
    first_data = reserved + nfats * spf
    clusters = data[first_data * SECTOR:(first_data + (highest - 1) * spc) * SECTOR]

    head = bytearray(data[:new_reserved * SECTOR])
    total = new_reserved + nfats * new_spf + (highest - 1) * spc
    for base in (0, 6 * SECTOR):
        struct.pack_into('<H', head, base + 14, new_reserved)
        struct.pack_into('<I', head, base + 32, total)
        struct.pack_into('<I', head, base + 36, new_spf)
    table = data[fat0:fat0 + new_spf * SECTOR]
    return bytes(head) + table * nfats + clusters


# ---- NTFS ----

def fixup(rec):
    """Puts back the bytes the update sequence displaced; returns the array."""
    usa_off, usa_count = struct.unpack_from('<HH', rec, 4)
    for i in range(1, usa_count):
        pos = i * SECTOR - 2
        rec[pos:pos + 2] = rec[usa_off + 2 * i:usa_off + 2 * i + 2]


def unfixup(rec):
    usa_off, usa_count = struct.unpack_from('<HH', rec, 4)
    check = rec[usa_off:usa_off + 2]
    for i in range(1, usa_count):
        pos = i * SECTOR - 2
        rec[usa_off + 2 * i:usa_off + 2 * i + 2] = rec[pos:pos + 2]
        rec[pos:pos + 2] = check


def attributes(rec):
    pos, = struct.unpack_from('<H', rec, 0x14)
    while pos + 8 <= len(rec):
        kind, length = struct.unpack_from('<II', rec, pos)
        if kind == 0xFFFFFFFF or length == 0:
            return
        yield kind, pos, length
        pos += length


def runs(rec, pos):
    """(lcn, length) pairs of the non-resident attribute at pos."""
    p = pos + struct.unpack_from('<H', rec, pos + 32)[0]
    lcn, out = 0, []
    while rec[p]:
        lb, ob = rec[p] & 15, rec[p] >> 4
        length = int.from_bytes(rec[p + 1:p + 1 + lb], 'little', signed=True)
        delta = int.from_bytes(rec[p + 1 + lb:p + 1 + lb + ob], 'little', signed=True)
        lcn += delta
        out.append((lcn, length))
        p += 1 + lb + ob
    return out


def set_single_run(rec, pos, lcn, length):
    """Rewrites the attribute's mapping pairs as one run, in the same room."""
    p = pos + struct.unpack_from('<H', rec, pos + 32)[0]
    end = pos + struct.unpack_from('<I', rec, pos + 4)[0]

    def signed_bytes(v):
        n = 1
        while not -(1 << (8 * n - 1)) <= v < (1 << (8 * n - 1)):
            n += 1
        return v.to_bytes(n, 'little', signed=True)

    lb, ob = signed_bytes(length), signed_bytes(lcn)
    pairs = bytes([len(ob) << 4 | len(lb)]) + lb + ob + b'\0'
    assert p + len(pairs) <= end, 'no room for the new mapping pairs'
    rec[p:end] = pairs + bytes(end - p - len(pairs))


def ntfs(data):
    spc = data[13]
    cluster = SECTOR * spc
    mft_lcn, = struct.unpack_from('<q', data, 48)
    per_mft = struct.unpack_from('<b', data, 64)[0]
    rec_size = 1 << -per_mft if per_mft < 0 else per_mft * cluster

    def fixed(raw):
        r = bytearray(raw)
        fixup(r)
        return r

    def data_attr(rec):
        for kind, pos, _ in attributes(rec):
            if kind == 0x80:
                return pos
        raise SystemExit('no $DATA attribute')

    def read_runs(rec, pos):
        out = b''
        for lcn, length in runs(rec, pos):
            out += data[lcn * cluster:(lcn + length) * cluster]
        return out

    def resize(rec, pos, lcn, clusters, size):
        set_single_run(rec, pos, lcn, clusters)
        struct.pack_into('<q', rec, pos + 0x18, clusters - 1)
        struct.pack_into('<qqq', rec, pos + 0x28, clusters * cluster, size, size)

    rec0 = fixed(data[mft_lcn * cluster:mft_lcn * cluster + rec_size])
    init, = struct.unpack_from('<q', rec0, data_attr(rec0) + 0x38)
    mft = read_runs(rec0, data_attr(rec0))[:init]
    records = [bytearray(mft[i:i + rec_size]) for i in range(0, len(mft), rec_size)]
    # The system files, then every record written, in use or not (the walk
    # looks at deleted ones too): the empty stretch between them goes.
    kept = records[:16] + [r for r in records[16:] if r[:4] == b'FILE']
    for r in kept:
        if r[:4] == b'FILE':
            fixup(r)

    new_mft = 1  # right after the boot sector's cluster
    mft_clusters = (len(kept) * rec_size + cluster - 1) // cluster
    new_mirr = new_mft + mft_clusters
    mirr_clusters = (4 * rec_size + cluster - 1) // cluster
    new_bitmap = new_mirr + mirr_clusters

    resize(kept[0], data_attr(kept[0]), new_mft, mft_clusters, len(kept) * rec_size)
    pos = data_attr(kept[1])
    set_single_run(kept[1], pos, new_mirr, mirr_clusters)
    pos = data_attr(kept[6])
    size, = struct.unpack_from('<q', kept[6], pos + 0x30)
    bitmap_clusters = (size + cluster - 1) // cluster
    bitmap = read_runs(kept[6], pos)[:bitmap_clusters * cluster]
    resize(kept[6], pos, new_bitmap, bitmap_clusters, size)

    for r in kept:
        if r[:4] == b'FILE':
            unfixup(r)
    table = b''.join(kept)
    table += bytes(mft_clusters * cluster - len(table))
    mirror = table[:4 * rec_size]
    mirror += bytes(mirr_clusters * cluster - len(mirror))

    boot = bytearray(data[:SECTOR])
    struct.pack_into('<qq', boot, 48, new_mft, new_mirr)
    out = boot + bytes(cluster - SECTOR) + table + mirror + bitmap
    return bytes(out)


def record(data, number, cluster):
    mft_lcn, = struct.unpack_from('<q', data, 48)
    per_mft = struct.unpack_from('<b', data, 64)[0]
    rec_size = 1 << -per_mft if per_mft < 0 else per_mft * cluster
    at = mft_lcn * cluster + number * rec_size
    cluster_pick = (cluster // SECTOR).bit_length() - 1
    size_pick = (rec_size // SECTOR).bit_length() - 1
    return bytes([cluster_pick, size_pick]) + data[at:at + rec_size]


def main(argv):
    cmd = argv[1]
    if cmd == 'record':
        data = open(argv[2], 'rb').read()
        out = record(data, int(argv[3]), int(argv[4]))
        open(argv[5], 'wb').write(out)
        return
    data = open(argv[2], 'rb').read()
    if cmd == 'trim':
        out = trim(data, int(argv[4]) if len(argv) > 4 else 1, int(argv[5]) if len(argv) > 5 else None)
    elif cmd == 'fat':
        out = fat(data)
    elif cmd == 'ntfs':
        out = ntfs(data)
    else:
        sys.exit('unknown command ' + cmd)
    open(argv[3], 'wb').write(out)


if __name__ == '__main__':
    main(sys.argv)
