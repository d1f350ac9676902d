#include "app/backend.h"

#include <QDesktopServices>
#include <QStorageInfo>
#include <QString>

#include <algorithm>

#include "io/disk.h"
#include "io/platform/frontend_checks.h"
#include "io/platform/platform.h"

AppServices& Services()
{
    static AppServices services;
    return services;
}

FreeSpace QueryFreeSpace(const std::string& folder)
{
    if (Services().freeSpace) return Services().freeSpace(folder);
    const QStorageInfo storage(QString::fromStdString(folder));
    if (!storage.isValid()) return FreeSpace{true, 0};
    // Pseudo and network file systems may give no sizes at all.
    if (storage.bytesTotal() <= 0) return FreeSpace{false, 0};
    return FreeSpace{true, std::max<int64_t>(storage.bytesAvailable(), 0)};
}

std::time_t CurrentTime()
{
    return Services().clock ? Services().clock() : std::time(nullptr);
}

int FolderIsOnPartition(const std::string& folder, IPartition* partition)
{
    if (Services().folderOnPartition) return Services().folderOnPartition(folder, partition);
    auto* concrete = dynamic_cast<CPartition*>(partition);
    if (!concrete) return 0;
    const std::string kernel = concrete->GetKernelName();
    if (concrete->GetPartNo() > 0 && !kernel.empty() && kernel.find('#') == std::string::npos &&
        Platform().PathExists("/dev/" + kernel))
        return PathIsOnDevice(folder, "/dev/" + kernel, false);
    CDisk* disk = concrete->GetDisk();
    return disk ? PathIsOnDevice(folder, disk->GetDevicePath(), true) : 0;
}

int CheckFolderForPhotos(const std::string& folder, std::string& reason)
{
    if (Services().folderWritable) return Services().folderWritable(folder, reason);
    return CheckFolderWritable(folder, reason);
}

bool RunsWithDiskRights()
{
    return Services().diskRights ? Services().diskRights() : HasDiskRights();
}

bool OpenWithDesktop(const QUrl& url)
{
    if (Services().openUrl) return Services().openUrl(url);
    return QDesktopServices::openUrl(url);
}
