// A partition on a memory disk with its allocation map and photo store, a
// sink that records what it is told, and a way to run one raw scan.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "filesystem/allounitmgr.h"
#include "io/disk.h"
#include "io/platform/memory_handle.h"
#include "volphotorev/photoitems.h"
#include "volphotorev/raw_photorev.h"

namespace scantest {

struct Event {
    uint32_t code = 0;
    int32_t value = 0;
    int64_t count = 0;  // *data for the progress events
    void* data = nullptr;
};

// Answers 0 until it is told to stop, then -1 (or `stopValue`) to everything,
// as the wizard's sink does once its stop flag is set.
class RecordingSink : public IEventSink {
public:
    int Notify(uint32_t code, int32_t value, void* data, uint32_t reserved) override {
        EXPECT_EQ(reserved, 0u);
        Event e{code, value, 0, data};
        if ((code == INIT_CURRENT_PROGRESS || code == UPDATE_CURRENT_PROGRESS) && data)
            e.count = *static_cast<int64_t*>(data);
        events.push_back(e);
        if (code == PHOTO_FOUND && ++photos == stopAfterPhotos) stop = true;
        if (code == failCode) return stopValue;
        return stop ? stopValue : 0;
    }

    std::vector<uint32_t> Codes() const {
        std::vector<uint32_t> c;
        for (auto& e : events) c.push_back(e.code);
        return c;
    }
    std::vector<int64_t> Progress() const {  // the UPDATE_CURRENT_PROGRESS counts
        std::vector<int64_t> p;
        for (auto& e : events)
            if (e.code == UPDATE_CURRENT_PROGRESS) p.push_back(e.count);
        return p;
    }
    size_t Count(uint32_t code) const {
        return static_cast<size_t>(std::count_if(events.begin(), events.end(), [&](auto& e) { return e.code == code; }));
    }

    std::vector<Event> events;
    bool stop = false;
    int stopAfterPhotos = -1;
    uint32_t failCode = 0xFFFFFFFF;  // answered with stopValue whatever `stop` says
    int stopValue = -1;
    int photos = 0;
};

// What a test wants to know of a stored photo.
struct Found {
    std::string name;
    int category = 0;
    int64_t first = 0;
    int64_t sectors = 0;
    uint32_t size = 0;
    const PhotoItem* item = nullptr;
};

inline std::string Narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }

// Every item of the store, in the order of their first sectors.
inline std::vector<Found> AllItems(CPhotoItemsMgr& items) {
    std::vector<Found> out;
    for (int c = 0; c < kPhotoCategoryCount; ++c) {
        int n = items.GetItems(c, 0, 0, nullptr);
        std::vector<PhotoItem*> ptrs(static_cast<size_t>(n));
        if (n > 0) items.GetItems(c, 0, n, ptrs.data());
        for (auto* p : ptrs) {
            Found f{Narrow(p->name), p->category, 0, 0, p->size, p};
            if (!p->runs.empty()) {
                f.first = p->runs[0].volumeSector;
                f.sectors = p->runs[0].sectorCount;
            }
            out.push_back(f);
        }
    }
    std::sort(out.begin(), out.end(), [](auto& a, auto& b) { return a.first < b.first; });
    return out;
}

// A memory disk of `diskSectors` sectors holding one partition of
// `partSectors` sectors at `partOff`, with an all-free map.
class MemoryPartition {
public:
    MemoryPartition(int64_t partSectors, int64_t partOff = 0, int64_t diskSectors = -1)
        : bytes(std::make_shared<std::vector<uint8_t>>(
              static_cast<size_t>((diskSectors < 0 ? partOff + partSectors : diskSectors) * 512), 0)),
          part(&disk) {
        auto h = std::make_unique<CMemoryHandle>(bytes, true);
        handle = h.get();
        disk.m_handle = std::move(h);
        ParInfor infor;
        infor.Off = static_cast<uint64_t>(partOff);
        infor.Len = static_cast<uint64_t>(partSectors);
        infor.Fs = FS_UNKNOWN;
        part.SetInfor(infor);
        EXPECT_EQ(map.InitFree(partSectors), 0);
    }

    // Writes `data` at a sector of the partition.
    void Put(int64_t sector, const void* data, size_t len) {
        size_t off = static_cast<size_t>((static_cast<int64_t>(part.GetOff()) + sector) * 512);
        ASSERT_LE(off + len, bytes->size());
        std::memcpy(bytes->data() + off, data, len);
    }
    void Put(int64_t sector, const std::string& head) { Put(sector, head.data(), head.size()); }
    void Put(int64_t sector, const std::vector<uint8_t>& data) { Put(sector, data.data(), data.size()); }

    // Runs one scan; the result of Do.
    int Scan(RecordingSink& sink, CRawScanPhoto::BufferAllocator allocate = nullptr) {
        auto* op = new CRawScanPhoto(&part, &map, &items, allocate);
        int r = op->Do(&sink);
        op->Release();
        return r;
    }

    std::shared_ptr<std::vector<uint8_t>> bytes;
    CDisk disk;
    CPartition part;
    CMemoryHandle* handle = nullptr;  // owned by the disk
    CAlloUnitMgr map;
    CPhotoItemsMgr items;
};

// Valid headers whose structure breaks right after them (zeros follow, or a
// bitmap's compressed pixels of unstated size): the sector rules end these
// photos, as they end any photo whose end its structure cannot give.
inline const std::string kJpg("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 20);
inline const std::string kPng("\x89PNG\r\n\x1A\n\x00\x00\x00\x0DIHDR\x00\x00\x00\x01\x00\x00\x00\x01\x08\x02\x00\x00\x00"
                              "\x90\x77\x53\xDE", 33);
inline const std::string kGif("GIF89a\x01\x00\x01\x00\x00\x00\x00", 13);
// RLE8, 16 x 16, file size and pixel size 0.
inline const std::string kBmp("BM\x00\x00\x00\x00\x00\x00\x00\x00\x36\x04\x00\x00\x28\x00\x00\x00\x10\x00\x00\x00\x10\x00\x00\x00"
                              "\x01\x00\x08\x00\x01\x00\x00\x00\x00\x00\x00\x00",
                              38);

}  // namespace scantest
