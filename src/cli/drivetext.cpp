#include "cli/drivetext.h"

#include <cstdio>

std::string FormatSizeText(int64_t bytes) {
    char text[64];
    if (bytes / (1LL << 30) >= 1)
        std::snprintf(text, sizeof text, "%6.2f GB", static_cast<double>(bytes) / (1LL << 30));
    else if (bytes / (1LL << 20) >= 1)
        std::snprintf(text, sizeof text, "%6.2f MB", static_cast<double>(bytes) / (1LL << 20));
    else if (bytes / 1024 >= 1)
        std::snprintf(text, sizeof text, "%6.2f KB", static_cast<double>(bytes) / 1024);
    else
        std::snprintf(text, sizeof text, "%6.2f byte", static_cast<double>(bytes));
    std::string s(text);
    const size_t b = s.find_first_not_of(" \t");
    const size_t e = s.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::string GetFsTypeName(int fs) {
    switch (fs) {
    case FS_FAT12: return "FAT12";
    case FS_EXFAT: return "exFAT";
    case 6:
    case 14: return "FAT16";
    case 7: return "NTFS";
    case 11:
    case 12: return "FAT32";
    case 239: return "Unallocated";
    case 255: return "Raw";
    default: return "Unknown";
    }
}

std::string FormatDriveText(const ParInfor& infor, const std::string& deviceName) {
    std::string text;
    if (!deviceName.empty()) text += deviceName + ": ";
    text += infor.VolLabel;
    text += " (" + GetFsTypeName(infor.Fs) + ")";
    return text;
}
