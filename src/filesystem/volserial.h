// The serial number a file system writes into its boot sector when it is
// made: what tells one formatting of a partition from the next.
#pragma once

#include <cstdint>
#include <span>
#include <string>

// The serial of the FAT12/16/32, exFAT or NTFS file system whose boot sector
// is `boot` (at least 512 bytes), as the system shows it: "1A2B-3C4D" for
// FAT and exFAT, 16 hex digits for NTFS. Empty for any other sector.
std::string VolumeSerialText(std::span<const uint8_t> boot);
