#include <gtest/gtest.h>

#include "cli/drivetext.h"

namespace {

TEST(FormatSizeText, UnitsAndBoundaries) {
    EXPECT_EQ(FormatSizeText(4026531840LL), "3.75 GB");
    EXPECT_EQ(FormatSizeText(1048576), "1.00 MB");
    EXPECT_EQ(FormatSizeText(1536), "1.50 KB");
    EXPECT_EQ(FormatSizeText(512), "512.00 byte");
    EXPECT_EQ(FormatSizeText(0), "0.00 byte");
    EXPECT_EQ(FormatSizeText(1073741823), "1024.00 MB");
    EXPECT_EQ(FormatSizeText(1073741824), "1.00 GB");
    EXPECT_EQ(FormatSizeText(1023), "1023.00 byte");
}

TEST(DriveText, KernelNameLabelAndFileSystem) {
    EXPECT_EQ(GetFsTypeName(6), "FAT16");
    EXPECT_EQ(GetFsTypeName(14), "FAT16");
    EXPECT_EQ(GetFsTypeName(7), "NTFS");
    EXPECT_EQ(GetFsTypeName(12), "FAT32");
    EXPECT_EQ(GetFsTypeName(239), "Unallocated");
    EXPECT_EQ(GetFsTypeName(255), "Raw");
    EXPECT_EQ(GetFsTypeName(4095), "Unknown");
    EXPECT_EQ(GetFsTypeName(FS_FAT12), "FAT12");
    EXPECT_EQ(GetFsTypeName(FS_EXFAT), "exFAT");
    ParInfor p;
    p.Fs = 11;
    p.VolLabel = "PHOTOS";
    EXPECT_EQ(FormatDriveText(p, "sdb1"), "sdb1: PHOTOS (FAT32)");
    EXPECT_EQ(FormatDriveText(p, ""), "PHOTOS (FAT32)");
    p.VolLabel.clear();
    EXPECT_EQ(FormatDriveText(p, "card.img#1"), "card.img#1:  (FAT32)");
    p.Fs = FS_EXFAT;
    p.VolLabel = "CARD";
    EXPECT_EQ(FormatDriveText(p, "sdb1"), "sdb1: CARD (exFAT)");
    p.Fs = 4095;
    p.VolLabel = "GPT Disk";
    EXPECT_EQ(FormatDriveText(p, ""), "GPT Disk (Unknown)");
}

}  // namespace
