// Texts of the drive list: sizes, file-system names, drive names.
#pragma once

#include <cstdint>
#include <string>

#include "io/partition.h"

// "3.75 GB", "1.00 MB", "1.50 KB", "512.00 byte".
std::string FormatSizeText(int64_t bytes);
// "FAT12", "FAT16", "FAT32", "exFAT", "NTFS", "Unallocated", "Raw" or "Unknown".
std::string GetFsTypeName(int fs);
// "<device>: <label> (<fs>)", where the device is the partition's kernel
// name ("sdb1", "card.img#1"); without a device name the text starts with
// the label.
std::string FormatDriveText(const ParInfor& infor, const std::string& deviceName);
