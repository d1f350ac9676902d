// What a deleted file's record promises and what its clusters still hold:
// the bytes of a photo through its runs, and the check that they are the
// photo the record names.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "photoformats/photoformat.h"
#include "volphotorev/photoitems.h"

class IDevice;

// The first `size` bytes of a photo through its runs (512-byte sectors of
// `device`; a run with a negative volumeSector is a hole of zeros). Reads
// through a small window, so a large photo is never held whole.
class CRunByteSource : public IByteSource {
public:
    // Neither the device nor the runs are owned; both must outlive the source.
    CRunByteSource(IDevice* device, std::span<const PhotoRun> runs, uint64_t size);
    int64_t Read(uint64_t pos, std::span<uint8_t> out) override;
    uint64_t Size() const override { return m_size; }

private:
    // Fills the window with the sectors from `sector` of the photo: false
    // when no run covers it or the device reads short.
    bool Fill(uint64_t sector);

    IDevice* m_device;
    std::span<const PhotoRun> m_runs;
    uint64_t m_size;
    std::vector<uint8_t> m_window;
    uint64_t m_windowFirst = 0;  // photo sector of the window's first byte
    uint64_t m_windowSectors = 0;
};

// The first `size` bytes of a photo NTFS keeps compressed, in units of
// `unitSectors` (see ExpandCompressedUnit), through its runs on `device`;
// one expanded unit is held at a time.
class CCompressedRunByteSource : public IByteSource {
public:
    // Neither the device nor the runs are owned; both must outlive the source.
    CCompressedRunByteSource(IDevice* device, std::span<const PhotoRun> runs, uint64_t size, uint64_t unitSectors)
        : m_device(device), m_runs(runs), m_size(size), m_unitSectors(unitSectors) {}
    int64_t Read(uint64_t pos, std::span<uint8_t> out) override;
    uint64_t Size() const override { return m_size; }

private:
    IDevice* m_device;
    std::span<const PhotoRun> m_runs;
    uint64_t m_size;
    uint64_t m_unitSectors;
    std::vector<uint8_t> m_packed, m_unit;
    uint64_t m_unitIndex = UINT64_MAX;  // the unit m_unit holds
};

// The format of a deleted photo whose bytes agree with its record: they
// begin with the signature of a format of the category its name gives
// (`named`), and that format's structure, followed through `src`, either
// ends in the photo's last cluster (more than src.Size() - clusterBytes
// and at most src.Size() bytes in) or cannot tell where it ends. A
// structure that ends clusters before the recorded size tells that clusters
// in between are another file's now. Null otherwise, with the reason
// (static text) in `why`.
const PhotoFormat* CheckDeletedPhoto(IByteSource& src, const PhotoFormat& named, uint64_t clusterBytes,
                                     std::string_view& why);
