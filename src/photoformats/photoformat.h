// Photo formats: what each looks like at the start of a sector, how far its
// structure goes, and the one table that lists them. This layer knows nothing
// of disks, partitions or file systems: a reader sees a candidate photo's
// bytes through IByteSource and answers with a verdict.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

// Categories of the photo store, in the order the result tree shows them.
// The first four keep their numbers: scripts and saved results rely on them.
// Heic holds HEIF and AVIF; Raw every camera's raw format.
enum PhotoCategory : int32_t { Jpg = 0, Png = 1, Bmp = 2, Gif = 3, Raw = 4, Heic = 5, Tiff = 6, WebP = 7, Other = 8 };
constexpr int kPhotoCategoryCount = 9;

// The bytes of one candidate photo, counted from its first byte.
class IByteSource {
public:
    virtual ~IByteSource() = default;
    // Copies bytes [pos, pos + out.size()) into `out`. The number of bytes
    // copied: fewer than asked only when the range passes Size(); -1 when the
    // bytes could not be read (an unreadable sector).
    virtual int64_t Read(uint64_t pos, std::span<uint8_t> out) = 0;
    // Bytes the candidate may span at most (the end of the free run or of the
    // partition, or a file's size). A reader never needs to ask past it.
    virtual uint64_t Size() const = 0;
    // Bytes from `pos` that the source already holds in memory, for a reader
    // to look at without a copy: at most `max` of them, never past Size(),
    // valid until the next call on the source. Empty when the source has no
    // such bytes at hand; Read is then the way.
    virtual std::span<const uint8_t> View(uint64_t /*pos*/, size_t /*max*/) { return {}; }
};

// A byte source over bytes already in memory (tests, fuzzers, a file's data).
class CMemoryByteSource : public IByteSource {
public:
    explicit CMemoryByteSource(std::span<const uint8_t> bytes) : m_bytes(bytes) {}
    int64_t Read(uint64_t pos, std::span<uint8_t> out) override;
    uint64_t Size() const override { return m_bytes.size(); }
    std::span<const uint8_t> View(uint64_t pos, size_t max) override;

private:
    std::span<const uint8_t> m_bytes;
};

enum class StructureVerdict {
    NotThisFormat,  // the header is not a valid header of the format: no photo starts here
    Whole,          // the structure is complete: the photo is exactly `length` bytes
    Broken,         // the header is valid, the structure breaks at byte `length`
                    // (a tail overwritten, an unreadable sector, the bytes ran out)
    Unbounded,      // the header is valid but the format cannot tell where the photo ends
};

struct StructureResult {
    StructureVerdict verdict = StructureVerdict::NotThisFormat;
    uint64_t length = 0;         // Whole: the photo's size in bytes; Broken: bytes found good
    std::string_view why;        // static text for the log line when not Whole ("PNG chunk CRC mismatch")
    // The file's own kind when the reader tells it more exactly than its
    // format (a TIFF that is a Nikon NEF): the extension to give it, else empty.
    std::string_view extension;
    // Whole: true when the length comes from a header field alone and the
    // bytes after the headers were not checked against anything (a bitmap's
    // pixels). Another photo's valid header at a sector start inside such a
    // photo is then taken as a photo written over its tail, not as its data.
    bool lengthFromHeader = false;
};

struct PhotoFormat {
    std::string_view name;       // shown to users: "JPEG"
    std::string_view typeName;   // the command line's --type word: "jpg"
    PhotoCategory category;
    std::string_view extension;  // given to photos found without a name: "jpg"
    // Name endings (lower case, without the dot) that the walks take for this format.
    std::span<const std::string_view> walkExtensions;
    // True when `head` (the first bytes of a sector, at most one sector)
    // begins with the format's signature. Cheap: asked at every sector start
    // whose first byte is in leadBytes. Never reads past `head`. Never true
    // for a head whose first eight bytes are all the same (the raw scan passes
    // over zeroed or erased sectors without asking).
    bool (*matchSignature)(std::span<const uint8_t> head);
    // The bytes a signature of this format may begin with.
    std::span<const uint8_t> leadBytes;
    // Follows the structure from byte 0 of `src` to its end. Bounded: every
    // loop ends and every length is checked against src.Size(), whatever the
    // bytes say. Reads through `src` as it goes (never the whole photo at once).
    StructureResult (*readStructure)(IByteSource& src);
};

// Every photo format, in the order their signatures are tried.
std::span<const PhotoFormat> PhotoFormats();

// The format whose signature `head` begins with, or null.
const PhotoFormat* MatchPhotoFormat(std::span<const uint8_t> head);

// The format whose walkExtensions hold `ext` (without the dot, case
// ignored), or null.
const PhotoFormat* PhotoFormatOfExtension(std::string_view ext);

// The format a found photo is stored as: the one the reader named through
// the result's extension when it did (a TIFF that is a NEF is a RAW),
// else the one whose signature matched.
const PhotoFormat& PhotoFormatOfResult(const PhotoFormat& matched, const StructureResult& result);

// A block of bytes inside a photo.
struct ByteRange {
    uint64_t offset = 0;  // from the photo's first byte
    uint64_t length = 0;
};

// The JPEG previews a camera RAW file carries (TIFF-based, RAF, CR3),
// largest first; empty for other photos. Each begins with a JPEG's start
// marker and lies inside src.Size(). Reads only the file's directories.
std::vector<ByteRange> EmbeddedJpegs(IByteSource& src);

// The format a file name's extension names (case ignored; the whole name,
// UTF-8, is looked at, its last dot decides), or null when it is not a photo.
const PhotoFormat* PhotoFormatOfName(std::string_view utf8Name);
