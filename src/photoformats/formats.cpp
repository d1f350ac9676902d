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

constexpr uint8_t kJpegLead[] = {0xFF};
constexpr uint8_t kPngLead[] = {0x89};
constexpr uint8_t kGifLead[] = {'G'};
constexpr uint8_t kBmpLead[] = {'B'};

const PhotoFormat kFormats[] = {
    {"JPEG"sv, "jpg"sv, Jpg, "jpg"sv, kJpegExt, IsJpeg, kJpegLead, ReadJpegStructure},
    {"PNG"sv, "png"sv, Png, "png"sv, kPngExt, IsPng, kPngLead, ReadPngStructure},
    {"GIF"sv, "gif"sv, Gif, "gif"sv, kGifExt, IsGif, kGifLead, ReadGifStructure},
    {"BMP"sv, "bmp"sv, Bmp, "bmp"sv, kBmpExt, IsBmp, kBmpLead, ReadBmpStructure},
};

}  // namespace

std::span<const PhotoFormat> PhotoFormats() { return kFormats; }

const PhotoFormat* MatchPhotoFormat(std::span<const uint8_t> head) {
    for (const PhotoFormat& f : kFormats)
        if (f.matchSignature(head)) return &f;
    return nullptr;
}

const PhotoFormat* PhotoFormatOfName(std::string_view name) {
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) return nullptr;
    std::string_view ext = name.substr(dot + 1);
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
