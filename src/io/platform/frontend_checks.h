// Checks the front ends make before they touch anything: whether a folder
// lives on the drive being rescued, whether the user may open disks, and
// whether a person watches standard error.
#pragma once

#include <string>

// 1 when the file system holding `path` is on the block device `device` (or,
// with `orItsPartitions`, on one of that disk's partitions); 0 when it is
// not, or when `device` is no block device (an image file); -1 when `path`
// cannot be examined.
int PathIsOnDevice(const std::string& path, const std::string& device, bool orItsPartitions);

// True when the process runs with the rights that opening disks needs (root).
bool HasDiskRights();

// True when standard error is a terminal (a live progress line is wanted).
bool StandardErrorIsTerminal();
