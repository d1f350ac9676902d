// Disks built by hand for the task tests: over bytes in memory or over an
// image file, with partitions set up directly (no partition table needed).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "io/disk.h"
#include "io/platform/memory_handle.h"
#include "io/platform/platform.h"
#include "volphotorev/operation.h"

namespace taskdisk {

struct TestDisk {
    std::shared_ptr<std::vector<uint8_t>> bytes;  // memory disks only
    std::unique_ptr<CDisk> disk;

    CPartition* AddPartition(uint64_t off, uint64_t len, int fs, int partNo = 1) {
        auto p = std::make_unique<CPartition>(disk.get());
        ParInfor infor;
        infor.Off = off;
        infor.Len = len;
        infor.Fs = fs;
        infor.PartNo = partNo;
        p->SetInfor(infor);
        disk->m_partitions.push_back(std::move(p));
        return disk->m_partitions.back().get();
    }
};

inline TestDisk MemoryDisk(uint64_t sectors, int diskNo = 7) {
    TestDisk t;
    t.bytes = std::make_shared<std::vector<uint8_t>>(sectors * 512, 0);
    t.disk = std::make_unique<CDisk>();
    t.disk->m_diskNo = diskNo;
    t.disk->m_totalSectors = sectors;
    t.disk->m_parStyle = PARSTYLE_MBR;
    t.disk->m_handle = std::make_unique<CMemoryHandle>(t.bytes, true);
    return t;
}

// Null disk when the image cannot be opened.
inline TestDisk ImageDisk(const std::string& path, int diskNo = 3) {
    TestDisk t;
    int err = 0;
    DevHandle h = Platform().Open(path, true, &err);
    if (!h) return t;
    t.disk = std::make_unique<CDisk>();
    t.disk->m_diskNo = diskNo;
    t.disk->m_devicePath = path;
    t.disk->m_parStyle = PARSTYLE_MBR;
    t.disk->m_handle = std::move(h);
    return t;
}

// Records every event; answers -1 (stop) once `stopAt` events were seen, or
// from the first PHOTO_FOUND on when `stopAfterPhoto` is set.
class RecordingSink : public IEventSink {
public:
    struct Event {
        uint32_t code;
        int32_t value;
        bool hadData;
    };
    int stopAt = -1;
    bool stopAfterPhoto = false;
    std::vector<Event> events;

    int64_t freeSectors = -1;  // what FREE_SECTORS_KNOWN told, if it came

    int Notify(uint32_t code, int32_t value, void* data, uint32_t) override {
        events.push_back({code, value, data != nullptr});
        if (code == FREE_SECTORS_KNOWN && data) freeSectors = *static_cast<const int64_t*>(data);
        if (code == PHOTO_FOUND && stopAfterPhoto) m_stopped = true;
        if (stopAt >= 0 && static_cast<int>(events.size()) > stopAt) m_stopped = true;
        return m_stopped ? -1 : 0;
    }
    // The frame events only (progress, file names and photos left out).
    std::vector<uint32_t> Frame() const {
        std::vector<uint32_t> out;
        for (const Event& e : events)
            if (e.code != UPDATE_CURRENT_PROGRESS && e.code != CURRENT_FILE_NAME && e.code != PHOTO_FOUND)
                out.push_back(e.code);
        return out;
    }
    int Photos() const {
        int n = 0;
        for (const Event& e : events)
            if (e.code == PHOTO_FOUND) n += e.value;
        return n;
    }

private:
    bool m_stopped = false;
};

}  // namespace taskdisk
