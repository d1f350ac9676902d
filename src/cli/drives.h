// The drive list, row by row, as the drive-selection page builds it.
#pragma once

#include <string>
#include <vector>

#include "io/disk.h"

class ITaskMgr;

struct DriveRow {
    int row = 0;                   // from 1
    CDisk* disk = nullptr;         // owned by the disk manager
    CPartition* partition = nullptr;  // owned by its disk
    ParInfor infor;
    std::string device;            // the disk's device path or image path
    std::string drive;             // "sdb1: PHOTOS (FAT32)"
    std::string capacity;          // "3.75 GB"
    std::string information;       // the disk's model
    bool usb = false;
};

// One row per partition of every disk of the task manager, extended
// containers left out; with `flashOnly` only the partitions of USB disks and
// of disk images.
std::vector<DriveRow> ListDrives(ITaskMgr* taskMgr, bool flashOnly);

// True for a disk whose interface text begins with "USB" (any case).
bool IsUsbDisk(CDisk* disk);
