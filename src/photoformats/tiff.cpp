// TIFF and the camera RAW files built on it (CR2, NEF, NRW, ARW, SR2, DNG,
// PEF, SRW, ERF, 3FR, IIQ, ORF, RW2). Such a file is a header, a chain of
// image file directories (IFDs) and the data they point to, in any order;
// the file ends at the furthest byte any directory points to. The reader
// follows IFD0 and its chain, SubIFDs, the Exif, GPS and interoperability
// IFDs and the maker notes it knows, reading only the directories and the
// offset arrays, never the image data.
#include <algorithm>
#include <cstring>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "photoformats/byteorder.h"
#include "photoformats/readers.h"

using namespace byteorder;
using namespace std::string_view_literals;

namespace {

// Tags that point at data or at other directories.
enum Tag : uint16_t {
    kNewSubfileType = 254,
    kImageWidth = 256,
    kImageLength = 257,
    kCompression = 259,
    kPhotometric = 262,
    kMake = 271,
    kStripOffsets = 273,
    kStripByteCounts = 279,
    kTileOffsets = 324,
    kTileByteCounts = 325,
    kSubIfds = 330,
    kJpegOffset = 513,   // JPEGInterchangeFormat
    kJpegLength = 514,   // JPEGInterchangeFormatLength
    kExifIfd = 34665,
    kGpsIfd = 34853,
    kMakerNote = 37500,
    kInteropIfd = 40965,
    kDngVersion = 50706,
    kDngPrivateData = 50740,  // Sony ARW: the SR2Private directory
    kCr2Slice = 50752,        // Canon CR2: the raw directory's slices
    kJpgFromRaw = 0x002E,     // Panasonic RW2: the preview JPEG as a value
};

constexpr uint32_t kPhotometricCfa = 32803;
constexpr uint32_t kPhotometricLinearRaw = 34892;
constexpr uint32_t kCompressionJpeg = 6;

// Limits that no real file comes near; a hostile file meets them and gets a verdict.
constexpr uint32_t kMaxEntries = 4096;          // entries in one directory
constexpr int kMaxIfds = 512;                   // directories in one file
constexpr uint64_t kMaxArrayValues = 1u << 22;  // offsets and counts read, all arrays together

// Bytes per value of each field type (1..13; 13 is IFD, a 32-bit offset).
constexpr uint8_t kTypeSize[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
constexpr uint16_t kTypeShort = 3, kTypeLong = 4, kTypeIfd = 13;

enum class Kind { None, Tiff, Cr2, Orf, Rw2 };

struct Header {
    Kind kind = Kind::None;
    Order order;
    uint32_t ifd0 = 0;
    bool rw2Magic = false;  // Panasonic's 16 bytes at 8 that tell RW2 from its older RAW
};

constexpr uint8_t kRw2Magic[16] = {0x88, 0xe7, 0x74, 0xd8, 0xf8, 0x25, 0x1d, 0x4d,
                                   0x94, 0x7a, 0x6e, 0x77, 0x82, 0x2b, 0x5d, 0x6a};

Header ParseHeader(Bytes h) {
    Header r;
    if (h.size() < 8) return r;
    if (h[0] == 'I' && h[1] == 'I') r.order.big = false;
    else if (h[0] == 'M' && h[1] == 'M') r.order.big = true;
    else return r;
    uint16_t magic = r.order.U16(h, 2);
    r.ifd0 = r.order.U32(h, 4);
    if (magic == 42) {
        // Canon's CR2: "CR", major version 2, then the raw directory's offset.
        bool cr2 = !r.order.big && h.size() >= 16 && h[8] == 'C' && h[9] == 'R' && h[10] == 2;
        r.kind = cr2 ? Kind::Cr2 : Kind::Tiff;
    } else if (magic == 0x4F52 || magic == 0x5352) {  // Olympus: "IIRO", "MMOR", "IIRS"
        r.kind = Kind::Orf;
    } else if (magic == 0x55 && !r.order.big) {       // Panasonic: "IIU"
        r.kind = Kind::Rw2;
        r.rw2Magic = r.ifd0 >= 24 && h.size() >= 24 && std::memcmp(h.data() + 8, kRw2Magic, 16) == 0;
    }
    if (r.ifd0 < 8) r.kind = Kind::None;
    return r;
}

// The directory at `ifd0` looks like one, as far as `head` holds it: an entry
// count a directory can have and field types that exist. Ordinary junk that
// happens to begin with a TIFF header fails here.
bool PlausibleIfd0(Bytes head, const Header& h) {
    if (!Fits(head, h.ifd0, 2)) return true;  // not in the first sector: the reader decides
    uint16_t n = h.order.U16(head, h.ifd0);
    if (n == 0 || n > kMaxEntries) return false;
    for (uint32_t i = 0; i < n; ++i) {
        uint64_t e = uint64_t{h.ifd0} + 2 + 12ull * i;
        if (!Fits(head, e, 12)) break;
        uint16_t type = h.order.U16(head, e + 2);
        if (type == 0 || type > kTypeIfd) return false;
    }
    return true;
}

struct Ifd {
    uint64_t pos = 0;   // absolute
    uint64_t base = 0;  // offsets inside are counted from here
    Order order;
    bool main = true;   // false: a maker note's own directory, trusted less
    bool chain = false; // follow its next-IFD pointer
    int makerKind = 0;  // which maker's directory (MakerKind), for its own data tags
};

enum MakerKind { kNoMaker = 0, kNikonMaker, kNikonPreview, kOlympusMaker, kOlympusSub, kPentaxMaker,
                 kSonyMaker, kSonySr2Private, kOtherMaker };

struct Entry {
    uint16_t tag = 0, type = 0;
    uint32_t count = 0;
    uint64_t valuePos = 0;  // absolute position of the value (inline or not)
    uint64_t bytes = 0;
};

class TiffWalk {
public:
    TiffWalk(IByteSource& src, const Header& h) : m_src(src), m_size(src.Size()), m_header(h) {}

    StructureResult Run();
    // Blocks that may be JPEG previews, found by Run: JPEG interchange data,
    // single strips of images that are not sensor data, maker-note previews
    // and Panasonic's JpgFromRaw.
    const std::vector<ByteRange>& PreviewCandidates() const { return m_previews; }

private:
    bool ReadIfd(const Ifd& ifd, bool isIfd0);
    void NoteExtent(uint64_t pos, uint64_t bytes, bool trusted);
    bool ReadValues(const Ifd& ifd, const Entry& e, std::vector<uint64_t>& out);
    void AddPairs(const Ifd& ifd, const std::vector<uint64_t>& offsets, const std::vector<uint64_t>& lengths);
    void Queue(const Ifd& parent, uint64_t offset, bool chain, int makerKind, bool main);
    void ReadMakerNote(const Ifd& exif, uint64_t pos, uint64_t bytes);
    std::string ReadAscii(const Entry& e, size_t max);
    std::string_view Extension() const;
    void Fail(ReadStatus s, uint64_t pos, std::string_view why) {
        if (m_broken) return;
        m_broken = true;
        m_readError = s == ReadStatus::Error;
        m_why = s == ReadStatus::Error ? "unreadable bytes in a TIFF directory"sv : why;
        (void)pos;
    }

    IByteSource& m_src;
    uint64_t m_size;
    Header m_header;
    std::deque<Ifd> m_queue;
    std::set<uint64_t> m_seen;
    int m_ifds = 0;
    uint64_t m_valuesLeft = kMaxArrayValues;
    uint64_t m_end = 8;        // furthest byte of the file found so far
    bool m_broken = false, m_readError = false, m_unbounded = false;
    std::string_view m_why;
    // What tells the maker's format apart.
    std::string m_make;
    bool m_dng = false, m_cfa = false, m_hasImage = false, m_phaseOneNote = false, m_sonySr2 = false;
    uint32_t m_ifd0Compression = 0;
    std::vector<std::pair<uint64_t, uint64_t>> m_makerNotes;  // (pos, bytes) found in Exif IFDs
    std::vector<ByteRange> m_previews;
};

void TiffWalk::NoteExtent(uint64_t pos, uint64_t bytes, bool trusted) {
    if (pos > m_size || bytes > m_size - pos) {
        // A maker note's directory is read on trust and may be misread:
        // what it points to past the end is left out, not held against the file.
        if (trusted) Fail(ReadStatus::Short, pos, "TIFF data past the end"sv);
        return;
    }
    m_end = std::max(m_end, pos + bytes);
}

void TiffWalk::Queue(const Ifd& parent, uint64_t offset, bool chain, int makerKind, bool main) {
    if (offset == 0) return;
    Ifd next;
    next.base = parent.base;
    next.pos = parent.base + offset;
    next.order = parent.order;
    next.main = main;
    next.chain = chain;
    next.makerKind = makerKind;
    m_queue.push_back(next);
}

bool TiffWalk::ReadValues(const Ifd& ifd, const Entry& e, std::vector<uint64_t>& out) {
    out.clear();
    if (e.type != kTypeShort && e.type != kTypeLong && e.type != kTypeIfd) return false;
    if (e.count > m_valuesLeft) {
        if (ifd.main) Fail(ReadStatus::Short, e.valuePos, "too many TIFF offsets"sv);
        return false;
    }
    m_valuesLeft -= e.count;
    if (e.valuePos > m_size || e.bytes > m_size - e.valuePos) {
        if (ifd.main) Fail(ReadStatus::Short, e.valuePos, "TIFF offsets past the end"sv);
        return false;
    }
    out.reserve(e.count);
    unsigned width = kTypeSize[e.type];
    uint8_t chunk[4096];
    uint64_t done = 0;
    while (done < e.bytes) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof chunk, e.bytes - done));
        ReadStatus s = ReadExact(m_src, e.valuePos + done, std::span<uint8_t>(chunk, n));
        if (s != ReadStatus::Ok) {
            if (ifd.main || s == ReadStatus::Error) Fail(s, e.valuePos + done, "TIFF offsets cut short"sv);
            return false;
        }
        Bytes b(chunk, n);
        for (size_t i = 0; i + width <= n; i += width)
            out.push_back(width == 2 ? ifd.order.U16(b, i) : ifd.order.U32(b, i));
        done += n;
    }
    return true;
}

void TiffWalk::AddPairs(const Ifd& ifd, const std::vector<uint64_t>& offsets, const std::vector<uint64_t>& lengths) {
    if (lengths.size() < offsets.size()) {
        // Offsets without lengths: the data's end is not written anywhere.
        if (ifd.main) m_unbounded = true;
        return;
    }
    for (size_t i = 0; i < offsets.size(); ++i)
        if (lengths[i] > 0) NoteExtent(ifd.base + offsets[i], lengths[i], ifd.main);
}

std::string TiffWalk::ReadAscii(const Entry& e, size_t max) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(e.bytes, max));
    std::string s(n, '\0');
    if (ReadExact(m_src, e.valuePos, std::span<uint8_t>(reinterpret_cast<uint8_t*>(s.data()), n)) != ReadStatus::Ok)
        return {};
    s.resize(std::strlen(s.c_str()));
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

bool TiffWalk::ReadIfd(const Ifd& ifd, bool isIfd0) {
    uint8_t countBytes[2];
    ReadStatus s = ReadExact(m_src, ifd.pos, countBytes);
    if (s != ReadStatus::Ok) {
        if (ifd.main || s == ReadStatus::Error) Fail(s, ifd.pos, "TIFF directory past the end"sv);
        return false;
    }
    uint16_t n = ifd.order.U16(countBytes, 0);
    if (n == 0 || n > kMaxEntries) return false;
    std::vector<uint8_t> raw(2 + 12u * n + 4);
    s = ReadExact(m_src, ifd.pos, raw);
    if (s != ReadStatus::Ok) {
        if (ifd.main || s == ReadStatus::Error) Fail(s, ifd.pos, "TIFF directory cut short"sv);
        return false;
    }
    Bytes b(raw);
    if (isIfd0) {
        for (uint32_t i = 0; i < n; ++i) {
            uint16_t type = ifd.order.U16(b, 2 + 12 * i + 2);
            if (type == 0 || type > kTypeIfd) return false;
        }
    }
    NoteExtent(ifd.pos, raw.size(), ifd.main);

    std::vector<uint64_t> stripOffsets, stripCounts, tileOffsets, tileCounts, values;
    uint64_t jpegOffset = 0, jpegLength = 0;
    bool width = false, length = false;
    // Offset and length tags of the maker notes' own previews.
    uint16_t previewStartTag = 0, previewLengthTag = 0;
    switch (ifd.makerKind) {
    case kNikonPreview: previewStartTag = kJpegOffset; previewLengthTag = kJpegLength; break;
    case kOlympusSub: previewStartTag = 0x0101; previewLengthTag = 0x0102; break;
    case kPentaxMaker: previewStartTag = 0x0004; previewLengthTag = 0x0003; break;
    case kSonySr2Private: previewStartTag = 0x7200; previewLengthTag = 0x7201; break;
    default: break;
    }
    uint64_t previewStart = 0, previewLength = 0;
    bool sensorData = false;  // this directory's image is the sensor's (not a preview)

    for (uint32_t i = 0; i < n; ++i) {
        size_t at = 2 + 12 * i;
        Entry e;
        e.tag = ifd.order.U16(b, at);
        e.type = ifd.order.U16(b, at + 2);
        e.count = ifd.order.U32(b, at + 4);
        if (e.type == 0 || e.type > kTypeIfd) continue;  // a type this reader does not know: skipped
        e.bytes = uint64_t{e.count} * kTypeSize[e.type];
        if (e.bytes <= 4) {
            e.valuePos = ifd.pos + at + 8;
        } else {
            e.valuePos = ifd.base + ifd.order.U32(b, at + 8);
            NoteExtent(e.valuePos, e.bytes, ifd.main);
        }
        uint64_t first = 0;  // the first value of a SHORT or LONG entry
        if (e.count >= 1 && e.bytes <= 4)
            first = kTypeSize[e.type] == 2 ? ifd.order.U16(b, at + 8) : ifd.order.U32(b, at + 8);
        bool number = e.type == kTypeShort || e.type == kTypeLong || e.type == kTypeIfd;

        if (ifd.makerKind != kNoMaker) {
            if (e.tag == previewStartTag && number) previewStart = first;
            if (e.tag == previewLengthTag && number) previewLength = first;
            // Maker directories that point to further directories.
            // Sony's FileFormat: 1 0 0 0 is the DSC-R1's SR2, later values ARW.
            if (ifd.makerKind == kSonyMaker && e.tag == 0xB000 && e.count == 4 && e.bytes <= 4)
                m_sonySr2 = b[at + 8] == 1 && b[at + 9] == 0 && b[at + 10] == 0 && b[at + 11] == 0;
            if (ifd.makerKind == kNikonMaker && e.tag == 0x0011 && number)
                Queue(ifd, first, false, kNikonPreview, false);
            if (ifd.makerKind == kOlympusMaker && e.tag >= 0x2010 && e.tag <= 0x5000 && (e.tag & 0xF) == 0 &&
                (e.type == kTypeIfd || (e.type == kTypeLong && e.count == 1)))
                Queue(ifd, first, false, kOlympusSub, false);
            continue;
        }

        switch (e.tag) {
        case kImageWidth: width = true; break;
        case kImageLength: length = true; break;
        case kCompression:
            if (isIfd0) m_ifd0Compression = static_cast<uint32_t>(first);
            break;
        case kPhotometric:
            if (first == kPhotometricCfa || first == kPhotometricLinearRaw) m_cfa = sensorData = true;
            break;
        case kMake:
            if (isIfd0 && e.type == 2) m_make = ReadAscii(e, 64);
            break;
        case kDngVersion: m_dng = true; break;
        case kCr2Slice: sensorData = true; break;
        case kJpgFromRaw:
            if (m_header.kind == Kind::Rw2 && e.bytes > 4) m_previews.push_back({e.valuePos, e.bytes});
            break;
        case kStripOffsets: ReadValues(ifd, e, stripOffsets); break;
        case kStripByteCounts: ReadValues(ifd, e, stripCounts); break;
        case kTileOffsets: ReadValues(ifd, e, tileOffsets); break;
        case kTileByteCounts: ReadValues(ifd, e, tileCounts); break;
        case kJpegOffset: if (number) jpegOffset = first; break;
        case kJpegLength: if (number) jpegLength = first; break;
        case kSubIfds:
            if (ReadValues(ifd, e, values))
                for (uint64_t v : values) Queue(ifd, v, false, kNoMaker, true);
            break;
        case kExifIfd:
        case kGpsIfd:
        case kInteropIfd:
            if (number && e.count == 1) Queue(ifd, first, false, kNoMaker, true);
            break;
        case kMakerNote:
            if (e.bytes > 4) m_makerNotes.emplace_back(e.valuePos, e.bytes);
            break;
        case kDngPrivateData:
            // Sony writes a LONG here: the offset of its SR2Private directory.
            if ((e.type == kTypeLong || e.type == kTypeIfd) && e.count == 1)
                Queue(ifd, first, false, kSonySr2Private, false);
            break;
        default:
            if (e.type == kTypeIfd && ReadValues(ifd, e, values))
                for (uint64_t v : values) Queue(ifd, v, false, kNoMaker, true);
            break;
        }
    }

    if (ifd.makerKind != kNoMaker) {
        if (previewStart && previewLength) {
            // Olympus counts its preview from the maker note, the others as the directory does.
            NoteExtent(ifd.base + previewStart, previewLength, false);
            m_previews.push_back({ifd.base + previewStart, previewLength});
        }
    } else {
        AddPairs(ifd, stripOffsets, stripCounts);
        AddPairs(ifd, tileOffsets, tileCounts);
        if (jpegOffset && jpegLength) {
            NoteExtent(ifd.base + jpegOffset, jpegLength, true);
            m_previews.push_back({ifd.base + jpegOffset, jpegLength});
        }
        if (stripOffsets.size() == 1 && stripCounts.size() == 1 && !sensorData)
            m_previews.push_back({ifd.base + stripOffsets[0], stripCounts[0]});
        // An image is a directory with its size and its data; an Exif block
        // (a directory of tags and a thumbnail) is none.
        if (width && length && (!stripOffsets.empty() || !tileOffsets.empty() || jpegLength)) m_hasImage = true;
    }
    if (ifd.chain) Queue(ifd, ifd.order.U32(b, 2 + 12u * n), true, kNoMaker, true);
    return true;
}

// Maker notes whose layout is known: where their directory starts and what
// its offsets count from.
void TiffWalk::ReadMakerNote(const Ifd& exif, uint64_t pos, uint64_t bytes) {
    uint8_t p[16] = {};
    size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof p, bytes));
    if (ReadExact(m_src, pos, std::span<uint8_t>(p, n)) != ReadStatus::Ok) return;
    Bytes h(p, n);
    auto starts = [&](std::string_view m) { return n >= m.size() && std::memcmp(p, m.data(), m.size()) == 0; };
    auto orderAt = [&](size_t at, Order fallback) {
        if (p[at] == 'I' && p[at + 1] == 'I') return Order{false};
        if (p[at] == 'M' && p[at + 1] == 'M') return Order{true};
        return fallback;
    };
    Ifd note;
    note.main = false;
    note.order = exif.order;
    note.base = exif.base;
    if (starts("Nikon\0\x02"sv) && n >= 18) {
        // A TIFF header of its own at byte 10; offsets count from it.
        note.order = orderAt(10, exif.order);
        note.base = pos + 10;
        note.pos = note.base + note.order.U32(h, 14);
        note.makerKind = kNikonMaker;
    } else if (starts("OLYMPUS\0"sv) && n >= 12) {
        note.order = orderAt(8, exif.order);
        note.base = pos;
        note.pos = pos + 12;
        note.makerKind = kOlympusMaker;
    } else if (starts("OLYMP\0"sv)) {
        note.pos = pos + 8;
        note.makerKind = kOlympusMaker;
    } else if (starts("AOC\0"sv) && n >= 6) {
        note.order = orderAt(4, exif.order);
        note.pos = pos + 6;
        note.makerKind = kPentaxMaker;
    } else if (starts("SONY DSC \0\0\0"sv) || starts("SONY CAM \0\0\0"sv)) {
        note.pos = pos + 12;
        note.makerKind = kSonyMaker;
    } else if (starts("Panasonic\0\0\0"sv)) {
        note.pos = pos + 12;
        note.makerKind = kOtherMaker;
    } else if ((starts("IIII"sv) && n >= 8 && p[5] == 'w' && p[6] == 'a' && p[7] == 'R') || starts("MMMMRaw"sv)) {
        // Phase One's raw data: a block of its own, not a directory. Over a
        // megabyte of it makes the file an IIQ rather than a TIFF preview.
        m_phaseOneNote = bytes > 1000000;
        return;
    } else if (m_make.rfind("Canon", 0) == 0) {
        note.pos = pos;
        note.makerKind = kOtherMaker;
    } else {
        return;
    }
    if (m_seen.insert(note.pos).second && m_ifds < kMaxIfds) {
        ++m_ifds;
        ReadIfd(note, false);
    }
}

std::string_view TiffWalk::Extension() const {
    switch (m_header.kind) {
    case Kind::Cr2: return "cr2"sv;
    case Kind::Orf: return "orf"sv;
    case Kind::Rw2:
        if (!m_header.rw2Magic) return "raw"sv;  // Panasonic's older RAW
        return m_make.rfind("LEICA", 0) == 0 ? "rwl"sv : "rw2"sv;
    default: break;
    }
    if (m_dng) return "dng"sv;
    std::string make;
    for (char c : m_make) make += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    auto is = [&](std::string_view m) { return make.rfind(m, 0) == 0; };
    if (m_phaseOneNote) return "iiq"sv;
    if (!m_cfa) return "tif"sv;  // a camera's TIFF without sensor data is a TIFF
    if (is("nikon")) return m_ifd0Compression == kCompressionJpeg ? "nrw"sv : "nef"sv;
    if (is("sony")) return m_sonySr2 ? "sr2"sv : "arw"sv;
    if (is("pentax") || is("ricoh imaging")) return "pef"sv;
    if (is("samsung")) return "srw"sv;
    if (is("seiko epson") || is("epson")) return "erf"sv;
    if (is("hasselblad")) return "3fr"sv;
    if (is("canon")) return "cr2"sv;
    return "tif"sv;
}

StructureResult TiffWalk::Run() {
    Ifd ifd0;
    ifd0.pos = m_header.ifd0;
    ifd0.order = m_header.order;
    ifd0.chain = true;
    m_seen.insert(ifd0.pos);
    ++m_ifds;
    if (!ReadIfd(ifd0, true) && !m_readError)
        return StructureResult{StructureVerdict::NotThisFormat, 0, "no TIFF directory at IFD0"sv, {}};
    if (m_readError) return StructureResult{StructureVerdict::Broken, 0, m_why, {}};

    size_t notesRead = 0;
    while (!m_broken) {
        if (m_queue.empty()) {
            // Maker notes last: their directories need the Make of IFD0.
            if (notesRead == m_makerNotes.size()) break;
            auto [pos, bytes] = m_makerNotes[notesRead++];
            Ifd exif;
            exif.order = m_header.order;
            ReadMakerNote(exif, pos, bytes);
            continue;
        }
        Ifd next = m_queue.front();
        m_queue.pop_front();
        if (!m_seen.insert(next.pos).second) continue;  // a directory already read: a loop
        if (++m_ifds > kMaxIfds) {
            Fail(ReadStatus::Short, next.pos, "too many TIFF directories"sv);
            break;
        }
        if (next.pos > m_size) {
            if (next.main) Fail(ReadStatus::Short, next.pos, "TIFF directory past the end"sv);
            continue;
        }
        ReadIfd(next, false);
    }

    bool raw = m_header.kind != Kind::Tiff;
    if (!m_hasImage && !raw && !m_broken)
        return StructureResult{StructureVerdict::NotThisFormat, 0, "TIFF without an image"sv, {}};
    StructureResult r;
    r.extension = Extension();
    if (m_broken) {
        r.verdict = StructureVerdict::Broken;
        r.length = std::min(m_end, m_size);
        r.why = m_why;
    } else if (m_unbounded) {
        r.verdict = StructureVerdict::Unbounded;
        r.why = "TIFF strips without byte counts"sv;
    } else {
        r.verdict = StructureVerdict::Whole;
        r.length = m_end;
    }
    return r;
}

}  // namespace

bool IsTiffSignature(std::span<const uint8_t> head) {
    Header h = ParseHeader(head);
    return h.kind == Kind::Tiff && PlausibleIfd0(head, h);
}

bool IsTiffRawSignature(std::span<const uint8_t> head) {
    Header h = ParseHeader(head);
    return (h.kind == Kind::Cr2 || h.kind == Kind::Orf || h.kind == Kind::Rw2) && PlausibleIfd0(head, h);
}

StructureResult ReadTiffStructure(IByteSource& src) {
    uint8_t head[24] = {};
    ReadStatus s = ReadExact(src, 0, std::span<uint8_t>(head, 8));
    if (s == ReadStatus::Error) return StructureResult{StructureVerdict::Broken, 0, "unreadable TIFF header"sv, {}};
    (void)ReadExact(src, 8, std::span<uint8_t>(head + 8, 16));
    Header h = ParseHeader(Bytes(head, s == ReadStatus::Ok ? sizeof head : 0));
    if (h.kind == Kind::None) return StructureResult{StructureVerdict::NotThisFormat, 0, "no TIFF header"sv, {}};
    TiffWalk walk(src, h);
    return walk.Run();
}

std::vector<ByteRange> TiffEmbeddedJpegs(IByteSource& src) {
    uint8_t head[24] = {};
    if (ReadExact(src, 0, std::span<uint8_t>(head, 8)) != ReadStatus::Ok) return {};
    (void)ReadExact(src, 8, std::span<uint8_t>(head + 8, 16));
    Header h = ParseHeader(head);
    if (h.kind == Kind::None) return {};
    TiffWalk walk(src, h);
    (void)walk.Run();
    std::vector<ByteRange> out;
    for (const ByteRange& r : walk.PreviewCandidates()) {
        if (r.length < 4 || r.offset > src.Size() || r.length > src.Size() - r.offset) continue;
        uint8_t soi[3];
        if (ReadExact(src, r.offset, soi) != ReadStatus::Ok || soi[0] != 0xFF || soi[1] != 0xD8 || soi[2] != 0xFF)
            continue;
        bool seen = false;
        for (const ByteRange& o : out) seen = seen || (o.offset == r.offset && o.length == r.length);
        if (!seen) out.push_back(r);
    }
    return out;
}
