// ISO base media files that hold photos: HEIF (HEIC from phones, AVIF) and
// Canon's CR3. The file is a row of top-level boxes, each a 32-bit size (1:
// a 64-bit size follows the type; 0: the box runs to the end of the file)
// and a four-letter type, led by "ftyp" whose brands say what the file is.
// It ends with the last top-level box that belongs to it. For HEIF the item
// locations in "meta"/"iloc" tell where the coded images lie, which bounds
// a last "mdat" of size 0 and tells a file whose data was cut away.
#include <algorithm>
#include <cstring>
#include <vector>

#include "photoformats/byteorder.h"
#include "photoformats/readers.h"

using namespace byteorder;
using namespace std::string_view_literals;

namespace {

enum class Family { None, Heic, Heif, Avif, Cr3 };

constexpr uint64_t kMaxFtyp = 1024;          // a brand list longer than this is no photo's
constexpr int kMaxTopBoxes = 4096;
constexpr uint64_t kMaxMetaBytes = 4u << 20;  // a "meta" box read whole to find its "iloc"
constexpr uint64_t kMaxIlocEntries = 1u << 20;

bool Is(Bytes b, uint64_t off, std::string_view fourcc) {
    return Fits(b, off, 4) && std::memcmp(b.data() + off, fourcc.data(), 4) == 0;
}

Family BrandFamily(Bytes b, uint64_t off) {
    if (Is(b, off, "crx "sv)) return Family::Cr3;
    if (Is(b, off, "avif"sv) || Is(b, off, "avis"sv)) return Family::Avif;
    for (std::string_view hevc : {"heic"sv, "heix"sv, "heim"sv, "heis"sv, "hevc"sv, "hevx"sv})
        if (Is(b, off, hevc)) return Family::Heic;
    for (std::string_view heif : {"mif1"sv, "msf1"sv, "mif2"sv, "miaf"sv})
        if (Is(b, off, heif)) return Family::Heif;
    return Family::None;
}

// What an "ftyp" box (its whole bytes, header included) says the file is:
// the major brand, made more exact by a compatible brand when it only says HEIF.
Family ClassifyFtyp(Bytes ftyp) {
    uint64_t size = Be32(ftyp, 0);
    if (size < 16 || size > ftyp.size() || (size - 16) % 4 != 0 || !Is(ftyp, 4, "ftyp"sv)) return Family::None;
    Family major = BrandFamily(ftyp, 8);
    if (major != Family::Heif && major != Family::None) return major;
    Family best = major;
    for (uint64_t at = 16; at + 4 <= size; at += 4) {
        Family f = BrandFamily(ftyp, at);
        if (f == Family::Heic || f == Family::Avif) return f;
        if (f == Family::Heif) best = Family::Heif;
    }
    return best;
}

bool TopLevelType(Bytes b, uint64_t off) {
    for (std::string_view t : {"meta"sv, "moov"sv, "mdat"sv, "free"sv, "skip"sv, "uuid"sv, "wide"sv, "pdin"sv,
                               "moof"sv, "mfra"sv, "sidx"sv, "ssix"sv, "prft"sv, "emsg"sv, "meco"sv, "styp"sv})
        if (Is(b, off, t)) return true;
    return false;
}

uint64_t BeN(Bytes b, uint64_t off, unsigned width) {
    switch (width) {
    case 0: return 0;
    case 2: return Be16(b, off);
    case 4: return Be32(b, off);
    case 8: return Be64(b, off);
    default: return 0;
    }
}

// The furthest byte the items of an "iloc" box (its payload after the box
// header) place in the file itself; 0 when there is none or the box is
// malformed. Items built from "idat" or from other items are not in the file's
// own offsets and are left out.
uint64_t IlocEnd(Bytes p) {
    if (p.size() < 8) return 0;
    unsigned version = p[0];
    if (version > 2) return 0;
    unsigned offsetSize = p[4] >> 4, lengthSize = p[4] & 0xF, baseSize = p[5] >> 4;
    unsigned indexSize = version >= 1 ? (p[5] & 0xF) : 0;
    for (unsigned w : {offsetSize, lengthSize, baseSize, indexSize})
        if (w != 0 && w != 4 && w != 8) return 0;
    uint64_t at = 6;
    uint64_t items = version < 2 ? Be16(p, at) : Be32(p, at);
    at += version < 2 ? 2 : 4;
    uint64_t end = 0, entries = 0;
    for (uint64_t i = 0; i < items; ++i) {
        at += version < 2 ? 2 : 4;  // item id
        unsigned method = 0;
        if (version >= 1) {
            method = Be16(p, at) & 0xF;
            at += 2;
        }
        at += 2;  // data reference index
        uint64_t base = BeN(p, at, baseSize);
        at += baseSize;
        if (!Fits(p, at, 2)) return 0;
        unsigned extents = Be16(p, at);
        at += 2;
        for (unsigned x = 0; x < extents; ++x) {
            if (++entries > kMaxIlocEntries) return 0;
            at += indexSize;
            uint64_t off = BeN(p, at, offsetSize);
            at += offsetSize;
            uint64_t len = BeN(p, at, lengthSize);
            at += lengthSize;
            if (at > p.size()) return 0;
            if (method != 0 || len == 0) continue;  // length 0: to the end of the file, which says nothing
            if (base > UINT64_MAX - off || base + off > UINT64_MAX - len) return UINT64_MAX;
            end = std::max(end, base + off + len);
        }
        if (at > p.size()) return 0;
    }
    return end;
}

// The "iloc" end inside a "meta" box (its whole bytes).
uint64_t MetaIlocEnd(Bytes meta, uint64_t headerLen) {
    uint64_t at = headerLen + 4;  // "meta" is a full box: version and flags
    for (int i = 0; i < 256 && Fits(meta, at, 8); ++i) {
        uint64_t size = Be32(meta, at);
        if (size < 8 || size > meta.size() - at) return 0;
        if (Is(meta, at + 4, "iloc"sv)) return IlocEnd(meta.subspan(at + 8, size - 8));
        at += size;
    }
    return 0;
}

std::string_view ExtensionOf(Family f) {
    switch (f) {
    case Family::Heic: return "heic"sv;
    case Family::Heif: return "heif"sv;
    case Family::Avif: return "avif"sv;
    case Family::Cr3: return "cr3"sv;
    default: return {};
    }
}

Family SignatureFamily(std::span<const uint8_t> head) {
    uint64_t size = Be32(head, 0);
    if (size < 16 || size > kMaxFtyp || !Fits(head, 0, size)) return Family::None;
    return ClassifyFtyp(head.first(size));
}

}  // namespace

bool IsHeifSignature(std::span<const uint8_t> head) {
    Family f = SignatureFamily(head);
    return f == Family::Heic || f == Family::Heif || f == Family::Avif;
}

bool IsCr3Signature(std::span<const uint8_t> head) { return SignatureFamily(head) == Family::Cr3; }

StructureResult ReadIsoBmffStructure(IByteSource& src) {
    uint8_t h[16];
    ReadStatus s = ReadExact(src, 0, std::span<uint8_t>(h, 8));
    if (s == ReadStatus::Error) return {StructureVerdict::Broken, 0, "unreadable ftyp box"sv, {}};
    uint64_t ftypSize = s == ReadStatus::Ok ? Be32(h, 0) : 0;
    if (ftypSize < 16 || ftypSize > kMaxFtyp || !Is(h, 4, "ftyp"sv))
        return {StructureVerdict::NotThisFormat, 0, "no ftyp box"sv, {}};
    std::vector<uint8_t> ftyp(ftypSize);
    s = ReadExact(src, 0, ftyp);
    if (s == ReadStatus::Error) return {StructureVerdict::Broken, 0, "unreadable ftyp box"sv, {}};
    Family family = s == ReadStatus::Ok ? ClassifyFtyp(ftyp) : Family::None;
    if (family == Family::None) return {StructureVerdict::NotThisFormat, 0, "no photo brand in ftyp"sv, {}};
    std::string_view ext = ExtensionOf(family);

    const uint64_t total = src.Size();
    uint64_t pos = ftypSize;
    bool meta = false, moov = false, mdat = false, toEnd = false;
    uint64_t ilocEnd = 0;
    for (int boxes = 0;; ++boxes) {
        if (boxes == kMaxTopBoxes) return {StructureVerdict::Broken, pos, "too many boxes"sv, ext};
        if (pos == total) break;
        s = ReadExact(src, pos, std::span<uint8_t>(h, 8));
        if (s == ReadStatus::Error) return {StructureVerdict::Broken, pos, "unreadable box header"sv, ext};
        if (s != ReadStatus::Ok || !TopLevelType(h, 4)) break;  // the bytes after the file
        uint64_t size = Be32(h, 0), headerLen = 8;
        if (size == 1) {
            s = ReadExact(src, pos + 8, std::span<uint8_t>(h + 8, 8));
            if (s == ReadStatus::Error) return {StructureVerdict::Broken, pos, "unreadable box header"sv, ext};
            if (s != ReadStatus::Ok) return {StructureVerdict::Broken, pos, "box header past the end"sv, ext};
            size = Be64(h, 8);
            headerLen = 16;
            if (size < 16) return {StructureVerdict::Broken, pos, "64-bit box size below its header"sv, ext};
        } else if (size == 0) {
            toEnd = true;  // runs to the end of the file, which nothing else tells
        } else if (size < 8) {
            return {StructureVerdict::Broken, pos, "box size below its header"sv, ext};
        }
        if (!toEnd && size > total - pos) return {StructureVerdict::Broken, pos, "box past the end"sv, ext};

        bool isMeta = Is(h, 4, "meta"sv);
        meta = meta || isMeta;
        moov = moov || Is(h, 4, "moov"sv);
        mdat = mdat || Is(h, 4, "mdat"sv);
        if (isMeta && !toEnd && size <= kMaxMetaBytes) {
            std::vector<uint8_t> box(size);
            s = ReadExact(src, pos, box);
            if (s == ReadStatus::Error) return {StructureVerdict::Broken, pos, "unreadable meta box"sv, ext};
            ilocEnd = std::max(ilocEnd, MetaIlocEnd(box, headerLen));
        }
        if (toEnd) {
            pos += headerLen;
            break;
        }
        pos += size;
    }

    bool heif = family != Family::Cr3;
    if (heif ? !meta : !moov) return {StructureVerdict::NotThisFormat, 0, "no meta or moov box"sv, {}};
    if (toEnd) {
        // A last box without a size: HEIF's items say where its data ends.
        if (!heif || ilocEnd == 0) return {StructureVerdict::Unbounded, 0, "last box runs to the end of the file"sv, ext};
        if (ilocEnd > total) return {StructureVerdict::Broken, pos, "image data past the end"sv, ext};
        return {StructureVerdict::Whole, std::max(pos, ilocEnd), {}, ext};
    }
    if (ilocEnd > pos) return {StructureVerdict::Broken, pos, "image data past the last box"sv, ext};
    if (!heif && !mdat) return {StructureVerdict::Broken, pos, "CR3 without its mdat box"sv, ext};
    return {StructureVerdict::Whole, pos, {}, ext};
}

// Canon puts its preview in a top-level "uuid" box (eaf42b5e-1c98-4b88-
// b9fb-b7dc406e4d16): 8 bytes, then a "PRVW" box of 4 bytes, a 16-bit 1,
// width and height (16 bits each), a 16-bit 1, the JPEG's length (32 bits)
// and the JPEG.
std::vector<ByteRange> Cr3EmbeddedJpegs(IByteSource& src) {
    static constexpr uint8_t kPreviewUuid[16] = {0xea, 0xf4, 0x2b, 0x5e, 0x1c, 0x98, 0x4b, 0x88,
                                                 0xb9, 0xfb, 0xb7, 0xdc, 0x40, 0x6e, 0x4d, 0x16};
    std::vector<ByteRange> out;
    uint8_t h[64];
    uint64_t pos = 0;
    for (int boxes = 0; boxes < kMaxTopBoxes && pos < src.Size(); ++boxes) {
        if (ReadExact(src, pos, std::span<uint8_t>(h, 8)) != ReadStatus::Ok) break;
        uint64_t size = Be32(h, 0);
        if (size == 1) {
            if (ReadExact(src, pos + 8, std::span<uint8_t>(h + 8, 8)) != ReadStatus::Ok) break;
            size = Be64(h, 8);
            if (size < 16) break;
        } else if (size < 8) {
            break;
        }
        if (Is(h, 4, "uuid"sv) && size >= 8 + 16 + 8 + 8 + 16 &&
            ReadExact(src, pos, std::span<uint8_t>(h, 64)) == ReadStatus::Ok &&
            std::memcmp(h + 8, kPreviewUuid, 16) == 0 && Is(h, 36, "PRVW"sv)) {
            ByteRange r{pos + 56, Be32(h, 52)};
            if (r.length > 0 && r.offset <= src.Size() && r.length <= src.Size() - r.offset) out.push_back(r);
        }
        if (size > src.Size() - pos) break;
        pos += size;
    }
    return out;
}
