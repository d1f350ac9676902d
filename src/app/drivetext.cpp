#include "app/drivetext.h"

#include <limits>

#include "io/disk.h"

QString FormatSizeText(int64_t bytes)
{
    constexpr int64_t kGiB = int64_t{1} << 30;
    constexpr int64_t kMiB = int64_t{1} << 20;
    constexpr int64_t kKiB = int64_t{1} << 10;
    QString text;
    if (bytes / kGiB >= 1)
        text = QString::asprintf("%6.2f GB", static_cast<double>(bytes) / kGiB);
    else if (bytes / kMiB >= 1)
        text = QString::asprintf("%6.2f MB", static_cast<double>(bytes) / kMiB);
    else if (bytes / kKiB >= 1)
        text = QString::asprintf("%6.2f KB", static_cast<double>(bytes) / kKiB);
    else
        text = QString::asprintf("%6.2f byte", static_cast<double>(bytes));
    return text.trimmed();
}

QString GetFsTypeName(int fs)
{
    switch (fs) {
    case FS_FAT12:
        return QStringLiteral("FAT12");
    case FS_EXFAT:
        return QStringLiteral("exFAT");
    case 6:
    case 14:
        return QStringLiteral("FAT16");
    case 7:
        return QStringLiteral("NTFS");
    case 11:
    case 12:
        return QStringLiteral("FAT32");
    case 239:
        return QStringLiteral("Unallocated");
    case 255:
        return QStringLiteral("Raw");
    default:
        return QStringLiteral("Unknown");
    }
}

QString FormatDriveText(const ParInfor& infor, const std::string& deviceName)
{
    QString text;
    if (!deviceName.empty()) text += QString::fromStdString(deviceName) + QStringLiteral(": ");
    text += QString::fromStdString(infor.VolLabel);
    text += QStringLiteral(" (%1)").arg(GetFsTypeName(infor.Fs));
    return text;
}

QString FormatDriveText(IPartition* partition)
{
    if (!partition) return QString();
    ParInfor infor;
    partition->GetInfor(infor);
    const auto* concrete = dynamic_cast<const CPartition*>(partition);
    return FormatDriveText(infor, concrete ? concrete->GetKernelName() : std::string());
}

QString ScannedDeviceName(IPartition* partition)
{
    auto* concrete = dynamic_cast<CPartition*>(partition);
    if (!concrete) return QString();
    const std::string kernel = concrete->GetKernelName();
    if (concrete->GetPartNo() > 0 && !kernel.empty())
        return kernel.find('#') == std::string::npos ? QString::fromStdString(kernel) : QString();
    CDisk* disk = concrete->GetDisk();
    if (!disk || disk->GetDevicePath().rfind("/dev/", 0) != 0) return QString();
    return QString::fromStdString(disk->GetKernelName());
}

int64_t SectorsToBytes(uint64_t sectors)
{
    constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) / 512;
    return sectors > kMax ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(sectors * 512);
}
