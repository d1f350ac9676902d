#include <algorithm>
#include <array>
#include <cstring>

#include "photoformats/photoformat.h"
#include "photoformats/readers.h"

int64_t CMemoryByteSource::Read(uint64_t pos, std::span<uint8_t> out) {
    if (pos >= m_bytes.size()) return 0;
    size_t n = std::min<uint64_t>(out.size(), m_bytes.size() - pos);
    std::memcpy(out.data(), m_bytes.data() + pos, n);
    return static_cast<int64_t>(n);
}

std::span<const uint8_t> CMemoryByteSource::View(uint64_t pos, size_t max) {
    if (pos >= m_bytes.size()) return {};
    return m_bytes.subspan(static_cast<size_t>(pos), static_cast<size_t>(std::min<uint64_t>(max, m_bytes.size() - pos)));
}

namespace {

using namespace std::string_view_literals;

bool StartsWith(std::span<const uint8_t> head, std::string_view magic) {
    return head.size() >= magic.size() && std::memcmp(head.data(), magic.data(), magic.size()) == 0;
}

bool IsJpeg(std::span<const uint8_t> h) { return StartsWith(h, "\xFF\xD8\xFF"sv); }
bool IsPng(std::span<const uint8_t> h) { return StartsWith(h, "\x89PNG\r\n\x1A\n"sv); }
bool IsGif(std::span<const uint8_t> h) { return StartsWith(h, "GIF8"sv); }
bool IsBmp(std::span<const uint8_t> h) { return StartsWith(h, "BM"sv); }

constexpr std::string_view kJpegExt[] = {"jpg"sv, "jpeg"sv};
constexpr std::string_view kPngExt[] = {"png"sv};
constexpr std::string_view kGifExt[] = {"gif"sv};
constexpr std::string_view kBmpExt[] = {"bmp"sv};
// Every raw format the readers can tell, and a few close kin the walks list by name.
constexpr std::string_view kRawExt[] = {"cr2"sv, "cr3"sv, "nef"sv, "nrw"sv, "arw"sv, "sr2"sv, "srf"sv,
                                        "dng"sv, "pef"sv, "srw"sv, "erf"sv, "3fr"sv, "fff"sv, "iiq"sv,
                                        "orf"sv, "rw2"sv, "rwl"sv, "raw"sv, "raf"sv};
constexpr std::string_view kHeicExt[] = {"heic"sv, "heif"sv, "hif"sv, "avif"sv};
constexpr std::string_view kTiffExt[] = {"tif"sv, "tiff"sv};
constexpr std::string_view kWebpExt[] = {"webp"sv};

constexpr uint8_t kJpegLead[] = {0xFF};
constexpr uint8_t kPngLead[] = {0x89};
constexpr uint8_t kGifLead[] = {'G'};
constexpr uint8_t kBmpLead[] = {'B'};
constexpr uint8_t kRawLead[] = {'I', 'M', 'F', 0x00};
constexpr uint8_t kHeicLead[] = {0x00};
constexpr uint8_t kTiffLead[] = {'I', 'M'};
constexpr uint8_t kWebpLead[] = {'R'};

const PhotoFormat kFormats[] = {
    {"JPEG"sv, "jpg"sv, Jpg, "jpg"sv, kJpegExt, IsJpeg, kJpegLead, ReadJpegStructure},
    {"PNG"sv, "png"sv, Png, "png"sv, kPngExt, IsPng, kPngLead, ReadPngStructure},
    {"GIF"sv, "gif"sv, Gif, "gif"sv, kGifExt, IsGif, kGifLead, ReadGifStructure},
    {"BMP"sv, "bmp"sv, Bmp, "bmp"sv, kBmpExt, IsBmp, kBmpLead, ReadBmpStructure},
    // Before TIFF: a CR2, ORF or RW2 header is a TIFF header too.
    {"Camera RAW"sv, "raw"sv, Raw, "raw"sv, kRawExt, IsRawSignature, kRawLead, ReadRawStructure},
    {"HEIF"sv, "heic"sv, Heic, "heic"sv, kHeicExt, IsHeifSignature, kHeicLead, ReadIsoBmffStructure},
    // Its reader names a TIFF that is a maker's raw file (NEF, ARW, DNG...).
    {"TIFF"sv, "tiff"sv, Tiff, "tif"sv, kTiffExt, IsTiffSignature, kTiffLead, ReadTiffStructure},
    {"WebP"sv, "webp"sv, WebP, "webp"sv, kWebpExt, IsWebpSignature, kWebpLead, ReadWebpStructure},
};

}  // namespace

std::span<const PhotoFormat> PhotoFormats() { return kFormats; }

const PhotoFormat* MatchPhotoFormat(std::span<const uint8_t> head) {
    if (head.empty()) return nullptr;
    // Only the formats whose signatures may begin with the first byte are
    // asked: free space is often all zeros or all FF.
    static const std::array<uint16_t, 256> kByLead = [] {
        static_assert(std::size(kFormats) <= 16);
        std::array<uint16_t, 256> byLead{};
        for (size_t k = 0; k < std::size(kFormats); ++k)
            for (uint8_t lead : kFormats[k].leadBytes) byLead[lead] |= static_cast<uint16_t>(1u << k);
        return byLead;
    }();
    for (unsigned mask = kByLead[head[0]]; mask != 0; mask &= mask - 1) {
        const PhotoFormat& f = kFormats[__builtin_ctz(mask)];
        if (f.matchSignature(head)) return &f;
    }
    return nullptr;
}

const PhotoFormat* PhotoFormatOfName(std::string_view name) {
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) return nullptr;
    return PhotoFormatOfExtension(name.substr(dot + 1));
}

const PhotoFormat& PhotoFormatOfResult(const PhotoFormat& matched, const StructureResult& result) {
    if (result.extension.empty()) return matched;
    const PhotoFormat* named = PhotoFormatOfExtension(result.extension);
    return named ? *named : matched;
}

const PhotoFormat* PhotoFormatOfExtension(std::string_view ext) {
    auto same = [](std::string_view a, std::string_view lower) {
        return a.size() == lower.size() && std::equal(a.begin(), a.end(), lower.begin(), [](char x, char y) {
                   return (x >= 'A' && x <= 'Z' ? static_cast<char>(x - 'A' + 'a') : x) == y;
               });
    };
    for (const PhotoFormat& f : kFormats)
        for (std::string_view e : f.walkExtensions)
            if (same(ext, e)) return &f;
    return nullptr;
}

std::vector<ByteRange> EmbeddedJpegs(IByteSource& src) {
    uint8_t head[512] = {};
    int64_t n = src.Read(0, head);
    if (n <= 0) return {};
    std::span<const uint8_t> h(head, static_cast<size_t>(n));
    std::vector<ByteRange> out;
    if (IsTiffSignature(h) || IsTiffRawSignature(h)) out = TiffEmbeddedJpegs(src);
    else if (IsRafSignature(h)) out = RafEmbeddedJpegs(src);
    else if (IsCr3Signature(h)) out = Cr3EmbeddedJpegs(src);
    std::stable_sort(out.begin(), out.end(), [](const ByteRange& a, const ByteRange& b) { return a.length > b.length; });
    return out;
}
