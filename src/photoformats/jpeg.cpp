// JPEG: a start-of-image marker, marker segments with their lengths (APPn
// segments carry Exif and its thumbnail, whose own end-of-image marker lies
// inside the segment), one scan or many (progressive files), each followed
// by entropy-coded data in which 0xFF is stuffed as FF 00 and restart markers
// FF D0..D7 may occur, and the end-of-image marker FF D9. Cameras and phones
// store more images after that marker (a large preview, an HDR gain map) and
// list them in a multi-picture (MPF) index in an APP2 segment: the photo's
// file ends after the last of them.
#include <algorithm>
#include <cstring>
#include <vector>

#include "photoformats/bytecursor.h"
#include "photoformats/readers.h"

namespace {

constexpr int kTEM = 0x01;
constexpr int kAPP2 = 0xE2;
constexpr int kDHT = 0xC4;
constexpr int kDAC = 0xCC;
constexpr int kSOI = 0xD8;
constexpr int kEOI = 0xD9;
constexpr int kSOS = 0xDA;
constexpr int kDQT = 0xDB;
constexpr int kDNL = 0xDC;
constexpr int kDRI = 0xDD;
constexpr int kDHP = 0xDE;
constexpr int kEXP = 0xDF;
constexpr int kCOM = 0xFE;

bool IsSof(int m) { return m >= 0xC0 && m <= 0xCF && m != kDHT && m != 0xC8 && m != kDAC; }
bool IsApp(int m) { return m >= 0xE0 && m <= 0xEF; }
bool IsRst(int m) { return m >= 0xD0 && m <= 0xD7; }
// Tables and other segments that may stand between any two frames or scans.
bool IsTableOrMisc(int m) {
    return m == kDHT || m == kDAC || m == kDQT || m == kDRI || m == kCOM || IsApp(m);
}
// JPGn extensions: segments with a length that no baseline decoder reads.
bool IsExtension(int m) { return m >= 0xF0 && m <= 0xFD; }

StructureResult Not(std::string_view why) { return {StructureVerdict::NotThisFormat, 0, why, {}}; }
StructureResult Broken(uint64_t good, std::string_view why) { return {StructureVerdict::Broken, good, why, {}}; }
StructureResult Ended(const CByteCursor& c, uint64_t good) {
    return Broken(good, c.Failed() ? "JPEG bytes unreadable" : "JPEG cut short");
}

// Bytes looked at together by the search for markers in entropy-coded data
// (GCC and Clang vectors: SSE2 or AVX2 on x86-64, NEON on ARM).
using Bytes16 = uint8_t __attribute__((vector_size(16)));

// Where in `q`'s sixteen bytes an FF stands that is neither a stuffed FF 00
// nor a restart marker: lanes of all ones there. Reads q[0..16].
inline Bytes16 MarkerLanes(const uint8_t* q) {
    Bytes16 a, b;
    std::memcpy(&a, q, 16);
    std::memcpy(&b, q + 1, 16);
    return reinterpret_cast<Bytes16>((a == 0xFF) & ~((b == 0) | ((b & 0xF8) == 0xD0)));
}

// The first lane of all ones, or 16 when there is none.
size_t FirstLane(const Bytes16& v) {
    uint64_t lo, hi;
    std::memcpy(&lo, &v, 8);
    std::memcpy(&hi, reinterpret_cast<const uint8_t*>(&v) + 8, 8);
    if (lo) return static_cast<size_t>(__builtin_ctzll(lo)) / 8;
    if (hi) return 8 + static_cast<size_t>(__builtin_ctzll(hi)) / 8;
    return 16;
}

using Bytes32 = uint8_t __attribute__((vector_size(32)));

// Bytes from `p` on, in whole blocks of 64, before the first block that
// holds an FF not followed by a zero (the byte after each block is read).
// Where the processor has 32-byte vectors they are used.
#if defined(__x86_64__) && defined(__linux__)
__attribute__((target_clones("avx2", "default")))
#endif
size_t PlainBlocks(const uint8_t* p, const uint8_t* end) {
    const uint8_t* q = p;
    for (; end - q >= 65; q += 64) {
        Bytes32 a0, b0, a1, b1;
        std::memcpy(&a0, q, 32);
        std::memcpy(&b0, q + 1, 32);
        std::memcpy(&a1, q + 32, 32);
        std::memcpy(&b1, q + 33, 32);
        const Bytes32 hit = reinterpret_cast<Bytes32>(((a0 == 0xFF) & (b0 != 0)) | ((a1 == 0xFF) & (b1 != 0)));
        uint64_t w[4];
        std::memcpy(w, &hit, sizeof w);
        if (w[0] | w[1] | w[2] | w[3]) break;
    }
    return static_cast<size_t>(q - p);
}

// Offset in [p, end) of the first FF that is neither a stuffed FF 00 nor a
// restart marker, or of a last FF whose next byte lies past `end`; `end` - `p`
// when there is none. Compressed data holds an FF every few hundred bytes,
// too often for a call to memchr each, and a marker only every few hundred
// kilobytes: 64 bytes are tested at once, and only a block with an FF not
// followed by a zero (a restart marker, or the marker) is looked at closer.
size_t FindMarker(const uint8_t* p, const uint8_t* end) {
    const uint8_t* q = p;
    for (;;) {
        q += PlainBlocks(q, end);
        if (end - q < 65) break;
        for (size_t k = 0; k < 64; k += 16)
            if (const size_t lane = FirstLane(MarkerLanes(q + k)); lane < 16)
                return static_cast<size_t>(q - p) + k + lane;
        q += 64;
    }
    for (; end - q >= 17; q += 16)
        if (const size_t lane = FirstLane(MarkerLanes(q)); lane < 16) return static_cast<size_t>(q - p) + lane;
    for (; q < end; ++q) {
        if (*q != 0xFF) continue;
        if (end - q < 2) break;
        if (q[1] == 0x00 || IsRst(q[1])) {
            ++q;
            continue;
        }
        break;
    }
    return static_cast<size_t>(q - p);
}

// Walks entropy-coded data from the cursor on to the marker that ends it:
// FF 00 (a stuffed FF), restart markers and fill bytes FF FF belong to the
// data. Answers that marker's second byte, with the cursor just past it and
// `markerAt` at its first FF, or -1 when the bytes ran out first.
int SkipEntropyData(CByteCursor& c, uint64_t& markerAt) {
    for (;;) {
        std::span<const uint8_t> w = c.Peek();
        if (w.empty()) return -1;
        // Stuffed bytes and restart markers are passed over inside the
        // window; anything else is looked at through the cursor.
        const size_t k = FindMarker(w.data(), w.data() + w.size());
        c.Skip(k);
        if (k == w.size()) continue;
        markerAt = c.Pos();
        c.Skip(1);
        int m;
        do {
            m = c.Byte();
        } while (m == 0xFF);
        if (m < 0) return -1;
        if (m == 0x00 || IsRst(m)) continue;
        return m;
    }
}

// An image the multi-picture index places after the first one: its offset
// from the file's start and its length.
struct MpImage {
    uint64_t offset = 0;
    uint64_t size = 0;
};
constexpr size_t kMaxMpImages = 16;

// Reads a multi-picture index from an APP2 segment's body, whose TIFF-style
// header (after "MPF\0") lies at `tiffStart` in the file: tag 0xB002 holds
// one 16-byte entry per image (attributes, size, offset from the TIFF header;
// the first image's offset is 0). Entries that do not fit are left out.
void ReadMpIndex(std::span<const uint8_t> body, uint64_t tiffStart, std::vector<MpImage>& out) {
    if (body.size() < 12 || std::memcmp(body.data(), "MPF", 4) != 0) return;
    const std::span<const uint8_t> t = body.subspan(4);
    bool little;
    if (std::memcmp(t.data(), "II*\0", 4) == 0) little = true;
    else if (std::memcmp(t.data(), "MM\0*", 4) == 0) little = false;
    else return;
    auto u16 = [&](size_t at) -> uint32_t {
        if (at > t.size() || t.size() - at < 2) return 0;
        return little ? (t[at] | t[at + 1] << 8) : (t[at] << 8 | t[at + 1]);
    };
    auto u32 = [&](size_t at) -> uint32_t {
        if (at > t.size() || t.size() - at < 4) return 0;
        return little ? (u16(at) | u16(at + 2) << 16) : (u16(at) << 16 | u16(at + 2));
    };
    const uint32_t ifd = u32(4);
    const uint32_t count = u16(ifd);
    for (uint32_t k = 0; k < count && k < 64; ++k) {
        const size_t e = size_t{ifd} + 2 + size_t{k} * 12;
        if (e + 12 > t.size()) return;
        if (u16(e) != 0xB002) continue;
        const uint32_t bytes = u32(e + 4);
        const uint32_t at = u32(e + 8);
        for (uint32_t i = 1; i < bytes / 16 && i < kMaxMpImages; ++i) {
            const size_t entry = size_t{at} + size_t{i} * 16;
            if (entry + 16 > t.size()) return;
            const uint32_t size = u32(entry + 4), offset = u32(entry + 8);
            if (size > 0 && offset > 0) out.push_back({tiffStart + offset, size});
        }
        return;
    }
}

}  // namespace

namespace {

// Follows one JPEG image from the cursor (at its start of image) to its end of
// image; positions are the cursor's. The images its MPF index lists after it
// go to `mp` when given.
StructureResult WalkImage(CByteCursor& c, std::vector<MpImage>* mp) {
    const uint64_t start = c.Pos();
    uint8_t head[3];
    if (!c.Read(head)) return Not("JPEG header cut short");
    if (head[0] != 0xFF || head[1] != kSOI || head[2] != 0xFF) return Not("no JPEG start of image");
    c.Seek(start + 2);

    bool first = true;          // the segment after the start of image is the header's proof
    bool frame = false;         // a frame header was read
    bool hierarchical = false;  // a DHP segment allows several frames
    bool scanned = false;       // image data was read
    int m = -1;                 // a marker the entropy-coded data ended with, else -1
    uint64_t at = c.Pos();      // where that marker begins
    // Every pass moves the cursor on by at least two bytes, so the loop ends
    // within Size() / 2 passes whatever the bytes are.
    for (;;) {
        if (m < 0) {
            at = c.Pos();
            const int ff = c.Byte();
            if (ff != 0xFF) {
                if (first) return Not("no JPEG segment after the start of image");
                return ff < 0 ? Ended(c, at) : Broken(at, "JPEG segment expected, other bytes found");
            }
            do {
                m = c.Byte();
            } while (m == 0xFF);
            if (m < 0) return first ? Not("JPEG header cut short") : Ended(c, at);
        }
        const int marker = m;
        m = -1;
        if (first && !(IsTableOrMisc(marker) || IsSof(marker))) return Not("no JPEG segment after the start of image");

        if (marker == kEOI) {
            if (!scanned) return Broken(at, "JPEG ends before its image data");
            return {StructureVerdict::Whole, c.Pos(), {}, {}};
        }
        if (marker == kSOI) return Broken(at, "JPEG start of image inside the image");
        if (IsRst(marker) || marker == kTEM) continue;  // stand alone, no length
        if (marker == 0x00 || (marker >= 0x02 && marker <= 0xBF)) return Broken(at, "JPEG reserved marker");

        uint32_t len = 0;
        if (!c.Be16(len)) return first ? Not("JPEG header cut short") : Ended(c, at);
        if (len < 2) return first ? Not("JPEG segment length below 2") : Broken(at, "JPEG segment length below 2");
        const uint64_t body = c.Pos();
        const uint64_t next = body + (len - 2);
        if (next > c.Size()) return Broken(at, "JPEG segment passes the end of the bytes");
        first = false;

        if (IsSof(marker)) {
            if (frame && !hierarchical) return Broken(at, "JPEG second frame");
            // P (8), Y (16), X (16), Nf (8), then three bytes per component.
            uint8_t f[6];
            if (len < 8 || !c.Read(f)) return Broken(at, "JPEG frame header too short");
            const unsigned width = static_cast<unsigned>(f[3]) << 8 | f[4];
            const unsigned comps = f[5];
            if (comps == 0 || len != 8 + 3 * comps || width == 0 || f[0] == 0 || f[0] > 16)
                return Broken(at, "JPEG frame header not valid");
            frame = true;
        } else if (marker == kDHP) {
            hierarchical = true;
        } else if (marker == kAPP2 && mp && mp->empty() && len >= 2 + 12) {
            std::vector<uint8_t> seg(len - 2);
            if (!c.Read(seg)) return Ended(c, at);
            ReadMpIndex(seg, body + 4, *mp);
        } else if (marker == kSOS) {
            if (!frame) return Broken(at, "JPEG scan before its frame");
            // Ns (8), two bytes per component, Ss, Se, Ah/Al.
            const int comps = c.Byte();
            if (comps < 1 || comps > 4 || len != 6 + 2 * static_cast<unsigned>(comps))
                return Broken(at, "JPEG scan header not valid");
            c.Seek(next);
            scanned = true;
            uint64_t markerAt = 0;
            m = SkipEntropyData(c, markerAt);
            if (m < 0) return Ended(c, c.Pos());
            at = markerAt;
            // What may follow image data: the end, another scan (progressive
            // files) or the tables and notes before it, a DNL segment, or the
            // next frame of a hierarchical file.
            const bool fits = m == kEOI || m == kSOS || m == kDNL || IsTableOrMisc(m) ||
                              (hierarchical && (m == kEXP || IsSof(m)));
            if (!fits) return Broken(at, "JPEG marker that cannot follow image data");
            continue;
        } else if (!(IsTableOrMisc(marker) || marker == kDNL || marker == kEXP || IsExtension(marker))) {
            return Broken(at, "JPEG marker out of place");
        }
        c.Seek(next);
    }
}

}  // namespace

StructureResult ReadJpegStructure(IByteSource& src) {
    CByteCursor c(src);
    std::vector<MpImage> mp;
    StructureResult r = WalkImage(c, &mp);
    if (r.verdict != StructureVerdict::Whole || mp.empty()) return r;
    // The images of the multi-picture index, in the order they lie: each one
    // a whole JPEG exactly where and as long as the index says.
    std::sort(mp.begin(), mp.end(), [](const MpImage& a, const MpImage& b) { return a.offset < b.offset; });
    uint64_t end = r.length;
    for (const MpImage& img : mp) {
        if (img.offset < end || img.size > c.Size() || img.offset > c.Size() - img.size || !c.Seek(img.offset)) break;
        StructureResult next = WalkImage(c, nullptr);
        if (next.verdict != StructureVerdict::Whole || next.length > img.offset + img.size) break;
        end = img.offset + img.size;
    }
    if (end == r.length) r.why = "JPEG images its multi-picture index lists not found after it";
    r.length = end;
    return r;
}
