// The drive layout read from the disk itself: the master boot record, the
// chain of extended boot records and the GPT header, read through any handle
// (a block device, an image file or a memory disk). Backends whose system
// has no layout query answer with these.
#pragma once

#include <cstdint>
#include <vector>

#include "io/platform/platform.h"

// Partition types that open an extended container (the Linux kernel also
// walks 0x85 chains, so partition numbers stay the kernel's).
inline bool IsExtendedType(uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

// The legacy layout: the four primary slots first (empty ones with type 0),
// then for each extended boot record, in chain order, its logical partition
// (HiddenSectors = its offset from that record) and its link to the next
// record (reported with type 0x05). Logical partitions are numbered from 5 in
// chain order, primaries 1-4 by slot, as the kernel names them (sdb5...); link
// and empty entries have number 0. A disk without a table signature answers
// four empty slots; a table-less disk whose sector 0 is a FAT or NTFS boot
// sector (a "superfloppy") answers one entry covering the whole disk.
// The walk stops, with a logged message, at kMaxLayoutEntries entries, at a
// record already visited (a loop), at a record outside the disk and at an
// unreadable record; what was found so far is kept.
// `diskBytes` bounds the walk (0: unknown); `sectorSize` is the unit of the
// table's sector numbers (512 for image files). 0, or -1 with *err when the
// master boot record cannot be read.
int ReadDriveLayout(IDeviceHandle* h, uint64_t diskBytes, uint32_t sectorSize, std::vector<LayoutEntry>& out,
                    int* err);

// The extended layout: GPT when the master boot record holds a protective
// 0xEE entry (alone, or in a hybrid MBR beside entries mirroring some GPT
// partitions) and a GPT header lies at LBA 1 or at the disk's last LBA; MBR
// when the 0x55 0xAA signature is present (the entries of the legacy layout
// with their types); RAW otherwise.
// For GPT the primary header and entry array are used when their CRC-32s and
// bounds check out, else the backup ones (FromBackup); when neither copy
// holds together the layout is GPT with no entries and Readable false. One
// entry per used GPT slot whose extent lies in the usable area, in slot
// order, numbered slot + 1, with its type and own GUIDs and its name.
// 0, or -1 with *err when the master boot record cannot be read.
int ReadDriveLayoutEx(IDeviceHandle* h, uint64_t diskBytes, uint32_t sectorSize, DriveLayoutEx& out, int* err);
