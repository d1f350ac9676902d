// The file systems' own records of used sectors, read piece by piece for the
// allocation map (one unit per 512-byte sector of the volume).
#pragma once

#include <cstdint>
#include <memory>

#include "filesystem/allounitmgr.h"

class IDevice;
class FAT_DBR_BUFF;
class FAT32_FAT_Buffer;
struct NtfsVolume;

// Sets bits [from, to) of a bitmap of 64-bit words (least significant first).
void SetUnitBits(uint64_t* words, int64_t from, int64_t to);

// A FAT32 volume of `units` sectors: the reserved sectors and the FATs, and
// the sectors of every cluster whose entry is not free. Only clusters whose
// entry lies inside the table and whose first sector lies inside the volume
// are looked at. Both records are borrowed and must outlive the source. Null
// when the boot record gives no cluster size.
std::unique_ptr<IAlloUnitSource> MakeFatAllocSource(const FAT_DBR_BUFF& dbr, const FAT32_FAT_Buffer& fat,
                                                    int64_t units);

constexpr int64_t kNtfsBitmapWindow = int64_t{1} << 20;

// An NTFS volume: the sectors of every cluster whose bit is set in $Bitmap,
// read through its runlist a window of `windowBytes` (whole clusters, at
// least one) at a time. Clusters past the volume's count or past what
// $Bitmap holds count as free (logged). The device and the volume are
// borrowed. Null when the volume has no clusters or no bitmap.
std::unique_ptr<IAlloUnitSource> MakeNtfsAllocSource(IDevice* device, const NtfsVolume* volume,
                                                     int64_t windowBytes = kNtfsBitmapWindow);
