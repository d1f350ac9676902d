// Structure readers of the formats in the table, one source file each.
#pragma once

#include "photoformats/photoformat.h"

StructureResult ReadJpegStructure(IByteSource& src);
StructureResult ReadPngStructure(IByteSource& src);
StructureResult ReadGifStructure(IByteSource& src);
StructureResult ReadBmpStructure(IByteSource& src);

// The TIFF family: plain TIFF ("II*\0", "MM\0*"), and the raw formats whose
// header alone tells them (CR2, ORF, RW2). One reader for all; it names the
// maker's format through the result's extension.
bool IsTiffSignature(std::span<const uint8_t> head);
bool IsTiffRawSignature(std::span<const uint8_t> head);
StructureResult ReadTiffStructure(IByteSource& src);

bool IsRafSignature(std::span<const uint8_t> head);
StructureResult ReadRafStructure(IByteSource& src);

// ISO base media files: HEIF (HEIC, AVIF) and CR3, told apart by their brands.
bool IsHeifSignature(std::span<const uint8_t> head);
bool IsCr3Signature(std::span<const uint8_t> head);
StructureResult ReadIsoBmffStructure(IByteSource& src);

bool IsWebpSignature(std::span<const uint8_t> head);
StructureResult ReadWebpStructure(IByteSource& src);

// Camera RAW files of every kind the signatures above tell.
bool IsRawSignature(std::span<const uint8_t> head);
StructureResult ReadRawStructure(IByteSource& src);

// Candidate previews of each family, for EmbeddedJpegs (unsorted).
std::vector<ByteRange> TiffEmbeddedJpegs(IByteSource& src);
std::vector<ByteRange> RafEmbeddedJpegs(IByteSource& src);
std::vector<ByteRange> Cr3EmbeddedJpegs(IByteSource& src);
