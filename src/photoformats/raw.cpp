// Camera RAW files whose first bytes alone say they are RAW: Canon's CR2 and
// CR3, Olympus's ORF, Panasonic's RW2 and Fujifilm's RAF. (Most other makers
// write a plain TIFF header; the TIFF reader names those by their Make.)
#include "photoformats/byteorder.h"
#include "photoformats/readers.h"

bool IsRawSignature(std::span<const uint8_t> head) {
    return IsTiffRawSignature(head) || IsRafSignature(head) || IsCr3Signature(head);
}

StructureResult ReadRawStructure(IByteSource& src) {
    uint8_t head[512] = {};
    int64_t n = src.Read(0, head);
    if (n < 0) return {StructureVerdict::Broken, 0, "unreadable RAW header", {}};
    std::span<const uint8_t> h(head, static_cast<size_t>(n));
    if (IsTiffRawSignature(h)) return ReadTiffStructure(src);
    if (IsRafSignature(h)) return ReadRafStructure(src);
    if (IsCr3Signature(h)) return ReadIsoBmffStructure(src);
    return {StructureVerdict::NotThisFormat, 0, "no RAW header", {}};
}
