// Texts for drives and sizes shared by the wizard's pages.
#pragma once

#include <QString>

#include <cstdint>
#include <string>

#include "io/partition.h"

// "3.75 GB", "1.00 MB", "1.50 KB", "512.00 byte": the largest unit of which
// the count holds at least one whole, two decimals, no padding.
QString FormatSizeText(int64_t bytes);

// Name of a file-system code: "FAT12", "FAT16", "FAT32", "exFAT", "NTFS",
// "Unallocated", "Raw" or "Unknown".
QString GetFsTypeName(int fs);

// "sdb1: PHOTOS (FAT32)": the partition's device name (empty for gaps and
// whole disks, which start with the label), the volume label and the
// file-system name.
QString FormatDriveText(const ParInfor& infor, const std::string& deviceName);

// The same for a partition object, named by its kernel name.
QString FormatDriveText(IPartition* partition);

// The name of the device a partition is read through, as the recovery's
// warnings give it: "sdb1", or "sdb" for a gap or a whole disk. Empty for a
// disk image's partitions, which no recovered photo can overwrite.
QString ScannedDeviceName(IPartition* partition);

// Sectors to bytes for FormatSizeText, saturating instead of wrapping.
int64_t SectorsToBytes(uint64_t sectors);
