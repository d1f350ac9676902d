#include "volphotorev/photoparser.h"

#include <cstring>
#include <string_view>

#include "volphotorev/photoitems.h"

namespace {

bool StartsWith(std::span<const uint8_t> sector, std::string_view magic) {
    // The first byte settles almost every sector without a call.
    return sector.size() >= magic.size() && sector[0] == static_cast<uint8_t>(magic[0]) &&
           std::memcmp(sector.data(), magic.data(), magic.size()) == 0;
}

// ASCII comparison ignoring letter case; `magic` is lower case.
bool StartsWithNoCase(std::span<const uint8_t> sector, std::string_view magic) {
    if (sector.size() < magic.size()) return false;
    for (size_t i = 0; i < magic.size(); ++i) {
        uint8_t c = sector[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<uint8_t>(c - 'A' + 'a');
        if (c != static_cast<uint8_t>(magic[i])) return false;
    }
    return true;
}

using namespace std::string_view_literals;

struct OtherHeader {
    std::string_view magic;
    bool noCase;
};

// Tested in this order; the first match answers.
constexpr OtherHeader kOtherHeaders[] = {
    {"MZ"sv, false},                                  // executable
    {"PK\x03\x04"sv, false},                          // ZIP archive
    {"PK00"sv, false},                                // ZIP archive, spanned
    {"Rar!"sv, false},                                // RAR archive
    {"{\\rtf"sv, false},                              // RTF document
    {"<?xml"sv, false},                               // XML document
    {"<html"sv, true},                                // HTML page
    {"<!doctyp"sv, true},                             // HTML page
    {"<!--"sv, false},                                // HTML or XML comment
    {"Delivery-date:\0"sv, false},                    // mail message: the colon is followed by a zero byte
    {"\xCF\xAD\x12\xFE"sv, false},                    // mail database
    {"!BDN"sv, false},                                // mail database
    {"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"sv, false},    // compound document (office file)
    {"_Types].xml"sv, false},                         // office document package
    {"Standard J"sv, false},                          // database file
    {"%PDF-1."sv, false},                             // PDF document
    {"ITSF\x03\x00\x00\x00"sv, false},                // compiled help file
};

}  // namespace

int JpgParser::ParseHeader(std::span<const uint8_t> sector) const {
    return StartsWith(sector, "\xFF\xD8\xFF"sv) ? Jpg : -1;
}

int PngParser::ParseHeader(std::span<const uint8_t> sector) const {
    return StartsWith(sector, "\x89PNG\r\n\x1A\n"sv) ? Png : -1;
}

int GifParser::ParseHeader(std::span<const uint8_t> sector) const {
    return StartsWith(sector, "GIF8"sv) ? Gif : -1;
}

int BmpParser::ParseHeader(std::span<const uint8_t> sector) const {
    return StartsWith(sector, "BM"sv) ? Bmp : -1;
}

PhotoParserList MakePhotoParsers() {
    PhotoParserList parsers;
    parsers.push_back(std::make_unique<JpgParser>());
    parsers.push_back(std::make_unique<PngParser>());
    parsers.push_back(std::make_unique<GifParser>());
    parsers.push_back(std::make_unique<BmpParser>());
    return parsers;
}

int MatchPhotoHeader(const PhotoParserList& parsers, std::span<const uint8_t> sector) {
    for (const auto& p : parsers) {
        int c = p->ParseHeader(sector);
        if (c >= 0) return c;
    }
    return -1;
}

int MatchPhotoHeader(std::span<const uint8_t> sector) {
    static const PhotoParserList parsers = MakePhotoParsers();
    return MatchPhotoHeader(parsers, sector);
}

bool IsOtherFileHeader(std::span<const uint8_t> sector) {
    for (const auto& h : kOtherHeaders)
        if (h.noCase ? StartsWithNoCase(sector, h.magic) : StartsWith(sector, h.magic)) return true;
    return false;
}

bool MayBeOtherFileHeader(uint8_t firstByte) {
    for (const auto& h : kOtherHeaders) {
        auto lead = static_cast<uint8_t>(h.magic[0]);
        if (firstByte == lead) return true;
        if (h.noCase && lead >= 'a' && lead <= 'z' && firstByte == lead - 'a' + 'A') return true;
    }
    return false;
}
