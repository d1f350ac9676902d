#include "cli/drives.h"

#include <strings.h>

#include "cli/drivetext.h"
#include "taskmgr/taskmgr.h"

bool IsUsbDisk(CDisk* disk) {
    const std::string type = disk ? disk->GetInterfaceType() : std::string();
    return type.size() >= 3 && strncasecmp(type.c_str(), "USB", 3) == 0;
}

std::vector<DriveRow> ListDrives(ITaskMgr* taskMgr, bool flashOnly) {
    std::vector<DriveRow> rows;
    const int disks = taskMgr->GetDiskCount();
    for (int d = 0; d < disks; ++d) {
        CDisk* disk = taskMgr->GetDiskByIndex(static_cast<uint32_t>(d));
        if (!disk) continue;
        const bool usb = IsUsbDisk(disk);
        // Images named on the command line always show.
        if (flashOnly && !usb && disk->GetInterfaceType() != "Image") continue;
        const std::string model = disk->GetModel();
        const int n = disk->LoadPartition();
        for (int k = 0; k < n; ++k) {
            CPartition* p = disk->GetPartition(k);
            if (!p) continue;
            DriveRow row;
            p->GetInfor(row.infor);
            if (row.infor.Fs == 5 || row.infor.Fs == 15) continue;
            row.row = static_cast<int>(rows.size()) + 1;
            row.disk = disk;
            row.partition = p;
            row.device = disk->GetDevicePath();
            row.drive = FormatDriveText(row.infor, p->GetKernelName());
            row.capacity = FormatSizeText(static_cast<int64_t>(row.infor.Len * 512));
            row.information = model;
            row.usb = usb;
            rows.push_back(std::move(row));
        }
    }
    return rows;
}
