// The partition-table reader of a basic MBR disk: primaries, the extended
// container, logical partitions and unallocated gaps, sorted by first sector,
// each with a file-system code.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "io/partition.h"
#include "io/platform/platform.h"

class CDisk;

using PartitionList = std::vector<std::unique_ptr<CPartition>>;

class CDpt {
public:
    explicit CDpt(CDisk* disk) : m_disk(disk) {}

    // Builds the list from the platform's drive layout. Returns the number of
    // entries, or -1 (logged) when the layout cannot be had or is inconsistent
    // (entries past the end of the disk, overlaps, logical partitions outside
    // the container); the list is then empty.
    int LoadPartition();
    // The same for a GPT disk: one primary entry per GPT partition (its
    // number the slot's, its file system from its type and boot sector, its
    // GPT name as label when the file system has none) and the unallocated
    // gaps between them. -1 (logged) when the layout cannot be had, is no
    // readable GPT, or its partitions overlap.
    int LoadGptPartition();
    // The list built by LoadPartition; owned by this reader.
    PartitionList& GetParList() { return m_parList; }
    int GetLastResult() const { return m_result; }
    uint64_t GetExtendedOff() const { return m_extOff; }
    uint64_t GetExtendedLen() const { return m_extLen; }

    // Adds the unallocated gaps of a disk of `totalSectors` whose extended
    // container spans [extOff, extOff + extLen) (extLen 0: none), and sorts
    // the list by first sector. Returns the list size, or -1 with every entry
    // of the list deleted when the entries overlap or leave their space.
    int FillGaps(PartitionList& list, uint64_t totalSectors, uint64_t extOff, uint64_t extLen);
    // Sorts `list` by first sector (stable) and checks that every entry lies in
    // [start, start + count) without overlapping the next. 0, or -1 (logged).
    static int CheckOverlap(uint64_t start, uint64_t count, PartitionList& list);
    // For a sorted list inside [start, start + count): appends an unallocated
    // entry for every gap of at least one cylinder. 0, or -1 when entries
    // overlap (nothing appended then).
    int AddGaps(uint64_t start, uint64_t count, PartitionList& list);
    // An unallocated entry (Fs 239) of the given Type (a container's 1 becomes
    // 0), tied to its volume like every listed entry.
    static std::unique_ptr<CPartition> MakeFreeEntry(int32_t type, CDisk* disk, uint64_t off, uint64_t len);

private:
    CDisk* m_disk;          // not owned
    uint64_t m_extOff = 0;  // extended container, 512-byte sectors; 0 when none
    uint64_t m_extLen = 0;
    PartitionList m_parList;
    int m_result = 0;
};

// The first master-boot-record entry flagged 0x80 (start and count exactly as
// the record holds them, in the disk's sectors). 0, or -1 when the disk cannot
// be opened; start and count are left alone when no entry is active.
int GetDiskActivePar(const std::string& devicePath, uint64_t& start, uint64_t& count);
// 0 primary, 1 extended container, 2 logical: a logical partition counts its
// hidden sectors from its own extended boot record, not from the disk start.
// `bytesPerSector` is the unit of the entry's hidden sectors.
int PartitionKind(const LayoutEntry& entry, uint32_t bytesPerSector = 512);
// File-system code of an MBR partition type.
int FsCodeFromPartitionType(uint8_t type);
// File-system code a GPT partition type (on-disk byte order) stands for
// before its boot sector is read (FS_UNKNOWN for types that hold none this
// program reads), and the type's name for the log ("" when unknown).
int FsCodeFromGptType(const std::array<uint8_t, 16>& type);
const char* GptTypeName(const std::array<uint8_t, 16>& type);
// FS_EXFAT, 7 NTFS, 11 FAT32, 6 FAT16, 1 FAT12, 0 some other valid boot
// sector, 255 no valid boot sector (also for a buffer shorter than 512 bytes).
// A FAT boot sector's type comes from its fields (FatCodeFromBootSector)
// when they describe a FAT volume, else from its type text.
int DetectFsFromBootSector(std::span<const uint8_t> sector);
// The FAT type a boot sector's fields give: FAT32 when its 16-bit FAT size
// is 0 (only FAT32 leaves it so), else by the cluster count: FAT12 below 4085
// clusters, FAT16 below 65525, else FAT32. 0 when the fields
// describe no FAT volume (not 512-byte sectors, no FATs, no data area).
int FatCodeFromBootSector(std::span<const uint8_t> sector);
// The kernel's name of partition `partNo` of `disk`: "sdb1", "nvme0n1p1",
// or "card.img#1" for a partition of an image file.
std::string PartitionKernelName(const CDisk& disk, int32_t partNo);
