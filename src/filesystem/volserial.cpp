#include "filesystem/volserial.h"

#include <cstdio>
#include <cstring>

#include "io/le.h"

namespace {

bool HasText(std::span<const uint8_t> b, size_t off, const char* text) {
    const size_t n = std::strlen(text);
    return le::fits(b, off, n) && std::memcmp(b.data() + off, text, n) == 0;
}

std::string FatStyle(uint32_t serial) {
    char text[16];
    std::snprintf(text, sizeof text, "%04X-%04X", static_cast<unsigned>(serial >> 16),
                  static_cast<unsigned>(serial & 0xFFFF));
    return text;
}

}  // namespace

std::string VolumeSerialText(std::span<const uint8_t> boot) {
    if (boot.size() < 512 || le::u16(boot, 510) != 0xAA55) return {};
    // Boot sector fields: the OEM name at 3 (8 bytes); NTFS keeps an 8-byte
    // serial at 0x48, exFAT a 4-byte one at 0x64; FAT32's extended record
    // has its serial at 0x43 and type text at 0x52, FAT12/16's at 0x27 and 0x36.
    if (HasText(boot, 3, "NTFS    ")) {
        char text[24];
        std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(le::u64(boot, 0x48)));
        return text;
    }
    if (HasText(boot, 3, "EXFAT   ")) return FatStyle(le::u32(boot, 0x64));
    // The extended boot record's signature 0x29 says the serial is there.
    if (HasText(boot, 0x52, "FAT32") && le::u8(boot, 0x42) == 0x29) return FatStyle(le::u32(boot, 0x43));
    if (HasText(boot, 0x36, "FAT") && le::u8(boot, 0x26) == 0x29) return FatStyle(le::u32(boot, 0x27));
    return {};
}
