// Checks the front ends make before they touch anything: whether a folder
// lives on the drive being rescued, whether a file can be a disk image, whether
// photos can be written into a folder, whether the user may open disks, and
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

// Sector size every disk image is counted in.
constexpr long long kImageSectorBytes = 512;

// 0 when `path` can be opened for reading as a disk image; otherwise -1 and
// the reason, for a person to read after "cannot open PATH: ": the system's
// ("permission denied", "no such file or directory", "is a directory"), or
// that the file is smaller than one sector.
int CheckImageFile(const std::string& path, std::string& reason);

// 0 when new files can be made in the folder `path` by this process;
// otherwise -1 and the reason ("read-only file system", "permission denied",
// "no such file or directory", "not a directory").
int CheckFolderWritable(const std::string& path, std::string& reason);

// Why a file of `bytes` bytes (fewer than one sector) cannot be a disk.
std::string TooSmallForADisk(unsigned long long bytes);

// The system's text of an error number, as it reads inside a sentence:
// "permission denied" (first letter in lower case).
std::string ErrorReason(int err);
