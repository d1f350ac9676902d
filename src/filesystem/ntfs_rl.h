// NTFS runlists: decoding mapping pairs and reading clusters through them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

class IDevice;
struct NtfsVolume;

// One run of a non-resident attribute. A runlist is a vector of these, ordered
// and contiguous in vcn, whose last element has length 0 (the terminator; its
// vcn is one past the last cluster described). The photo items' run lists use
// the same layout counted in sectors.
struct RunlistElement {
    int64_t vcn = 0;     // first cluster of the run within the attribute
    int64_t lcn = 0;     // first cluster on the volume, or one of the LCN_* values
    int64_t length = 0;  // clusters; 0 only in the terminator

    bool operator==(const RunlistElement&) const = default;
};

// Negative lcn values.
constexpr int64_t LCN_HOLE = -1;           // sparse run: no clusters on disk
constexpr int64_t LCN_RL_NOT_MAPPED = -2;  // described by another extent of the attribute
constexpr int64_t LCN_ENOENT = -3;         // beyond the end: terminator of a complete runlist
constexpr int64_t LCN_EINVAL = -4;         // named only by the dump

using Runlist = std::vector<RunlistElement>;

// Decodes the mapping pairs of a non-resident attribute record. `attribute`
// starts at the attribute record and must not reach past its file record's
// buffer (NtfsFindAttr returns such spans); nothing outside it is read, and
// an attribute whose own length exceeds it is corrupt. Uses the volume's
// clusterSize and clusterSizeBits. Returns the runlist with its terminator,
// or an empty vector when the attribute is resident or its pairs are corrupt
// (a decoded runlist always holds at least its terminator).
Runlist ntfs_mapping_pairs_decompress(const NtfsVolume* volume, std::span<const uint8_t> attribute);

// Reads `count` clusters of an attribute, from its cluster `vcn` on, through
// its runlist into `buffer`, which must hold count * clusterSize bytes. One
// device read per run. Returns 0, or -1 when the range is not wholly
// described by the runlist, touches a hole or an unmapped run (their clusters
// are not on disk, so nothing is read for them), or the device reads short.
// On failure the buffer holds whatever had been read.
int64_t NtfsReadRl(int64_t vcn, int64_t count, std::span<const RunlistElement> runlist, IDevice* device,
                   const NtfsVolume* volume, std::span<uint8_t> buffer);

// Logs a runlist at the DEBUG level, up to and including its terminator.
// An empty runlist is reported as not present.
void ntfs_debug_runlist_dump(std::span<const RunlistElement> runlist);
