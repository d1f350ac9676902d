// Whether a folder lives on a given block device: what keeps recovered files
// off the drive being rescued.
#pragma once

#include <string>

// 1 when the file system holding `path` is on the block device `device` (or,
// with `orItsPartitions`, on one of that disk's partitions); 0 when it is
// not, or when `device` is no block device (an image file); -1 when `path`
// cannot be examined.
int PathIsOnDevice(const std::string& path, const std::string& device, bool orItsPartitions);
