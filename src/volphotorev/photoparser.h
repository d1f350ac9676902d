// Signature tests for the first bytes of a sector: photo headers and the
// headers of common files that are not photos.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

// Recognises one photo format by the bytes at the start of a sector.
class IPhotoParser {
public:
    virtual ~IPhotoParser() = default;
    // The photo's PhotoCategory when `sector` begins with this format's
    // signature, else -1. Never reads past `sector`; a span shorter than the
    // signature does not match.
    virtual int ParseHeader(std::span<const uint8_t> sector) const = 0;
    // The byte every header this parser accepts begins with.
    virtual uint8_t LeadByte() const = 0;
};

class JpgParser : public IPhotoParser {  // FF D8 FF
public:
    int ParseHeader(std::span<const uint8_t> sector) const override;
    uint8_t LeadByte() const override { return 0xFF; }
};

class PngParser : public IPhotoParser {  // 89 "PNG" 0D 0A 1A 0A
public:
    int ParseHeader(std::span<const uint8_t> sector) const override;
    uint8_t LeadByte() const override { return 0x89; }
};

class GifParser : public IPhotoParser {  // "GIF8"
public:
    int ParseHeader(std::span<const uint8_t> sector) const override;
    uint8_t LeadByte() const override { return 'G'; }
};

class BmpParser : public IPhotoParser {  // "BM"
public:
    int ParseHeader(std::span<const uint8_t> sector) const override;
    uint8_t LeadByte() const override { return 'B'; }
};

using PhotoParserList = std::vector<std::unique_ptr<IPhotoParser>>;

// The four parsers in the order they are asked: JPEG, PNG, GIF, BMP.
PhotoParserList MakePhotoParsers();

// The first non-negative answer of `parsers`, in order, or -1.
int MatchPhotoHeader(const PhotoParserList& parsers, std::span<const uint8_t> sector);
// The same with the four standard parsers.
int MatchPhotoHeader(std::span<const uint8_t> sector);

// True when `sector` begins like an executable, archive, document, mail file,
// database, PDF or compiled help file: a file that cannot be part of a photo.
bool IsOtherFileHeader(std::span<const uint8_t> sector);
// False when no other-file header begins with `firstByte`: a sector that
// begins with it is no other-file header.
bool MayBeOtherFileHeader(uint8_t firstByte);
