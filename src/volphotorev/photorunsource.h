// A photo's bytes read through its runs on a partition, for the structure
// readers of the photo formats.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "photoformats/photoformat.h"
#include "volphotorev/photoitems.h"

class IDevice;

class CPhotoRunSource : public IByteSource {
public:
    // `runs` in 512-byte sectors of `device`, ended by a count-0 entry or
    // the end of the vector; `size` bytes of them make the photo. Neither is
    // owned; both must outlive the source.
    CPhotoRunSource(IDevice* device, const std::vector<PhotoRun>& runs, uint64_t size);

    int64_t Read(uint64_t pos, std::span<uint8_t> out) override;
    uint64_t Size() const override { return m_size; }

private:
    IDevice* m_device;
    const std::vector<PhotoRun>& m_runs;
    uint64_t m_size;
    // The last sector read, kept: readers ask for a few bytes at a time.
    int64_t m_cachedSector = -1;
    uint8_t m_cache[512] = {};
};
