#include "io/deviceio.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include "io/disk.h"
#include "io/log.h"

namespace {

DevHandle OpenWith(const std::string& path, bool readOnly, int* err) {
    *err = 0;
    return Platform().Open(path, readOnly, err);
}

}  // namespace

DevHandle DeviceOpen(const std::string& path) {
    int err = 0;
    DevHandle h = OpenWith(path, false, &err);
    if (h) {
        LOG_T("CreateFile %s  Succeeded.\n", path.c_str());
        return h;
    }
    LOG_E("CreateFile %s  Failed, ErrorCode: %d .\n", path.c_str(), err);
    // A locked card or a read-only image can still be read.
    if (err == EACCES || err == EROFS || err == EPERM) {
        h = OpenWith(path, true, &err);
        if (h) {
            LOG_T("CreateFile %s  Succeeded (read-only).\n", path.c_str());
            return h;
        }
        LOG_E("CreateFile %s  Failed, ErrorCode: %d .\n", path.c_str(), err);
    }
    return nullptr;
}

DevHandle DeviceOpenReadOnly(const std::string& path) {
    int err = 0;
    DevHandle h = OpenWith(path, true, &err);
    if (h) {
        LOG_T("CreateFile %s  Succeeded.\n", path.c_str());
        return h;
    }
    LOG_E("CreateFile %s  Failed, ErrorCode: %d .\n", path.c_str(), err);
    return nullptr;
}

int DeviceReadSectorsEx(IDeviceHandle* h, uint64_t lba, uint64_t count, void* buffer) {
    if (!h || !buffer) return 0;
    if (lba > UINT64_MAX / SECTOR_SIZE) {
        LOG_E("SetFilePointer Failed, Sector Off: %lld,  ErrorCode: %d \n", static_cast<long long>(lba), EINVAL);
        return 0;
    }
    // One transfer stays below 4 GiB.
    if (count >= 8388608ULL) {
        LOG_E("ReadFile Failed, Sectors: %lld, ErrorCode: %d \n", static_cast<long long>(count), EINVAL);
        return 0;
    }
    int err = 0;
    int64_t got = h->ReadAt(lba * SECTOR_SIZE, buffer, static_cast<size_t>(count) * SECTOR_SIZE, &err);
    IDeviceHandle::ReadTally& tally = h->Tally();
    if (got < 0) {
        LOG_E("ReadFile Failed, Sectors: %lld, ErrorCode: %d \n", static_cast<long long>(count), err);
        tally.failed.fetch_add(1);
        const uint32_t run = tally.failedInARow.fetch_add(1) + 1;
        if (run > tally.mostInARow.load()) tally.mostInARow.store(run);
        return 0;
    }
    if (got > 0) tally.failedInARow.store(0);
    return static_cast<int>(got / SECTOR_SIZE);
}

int DeviceReadSectorsTolerant(IDeviceHandle* h, uint64_t lba, uint64_t count, void* buffer) {
    // Without a device every piece would fail: splitting a large request down
    // to single sectors would then cost millions of calls for nothing.
    if (!h || !buffer) return 0;
    int r = DeviceReadSectorsEx(h, lba, count, buffer);
    if (count <= INT_MAX && static_cast<uint64_t>(r) == count) return r;
    // A sector that cannot be read reads as zeros, never as what the buffer
    // held before.
    if (count <= 1) {
        std::memset(buffer, 0, SECTOR_SIZE);
        return 1;
    }
    uint64_t n = count >= 10 ? 10 : count;
    uint64_t q = count / n, rem = count % n;
    uint64_t done = 0;
    auto* bytes = static_cast<uint8_t*>(buffer);
    for (uint64_t i = 0; i <= n; ++i) {
        uint64_t piece = i < n ? q : rem;
        if (piece == 0) continue;
        DeviceReadSectorsTolerant(h, lba + done, piece, bytes + done * SECTOR_SIZE);
        done += piece;
    }
    return static_cast<int>(done);
}

int DeviceWriteSectors(IDeviceHandle* h, uint64_t lba, uint64_t count, const void* buffer) {
    if (!h || !buffer) return 0;
    if (lba > UINT64_MAX / SECTOR_SIZE) {
        LOG_E("SetFilePointer Failed, ErrorCode: %d \n", EINVAL);
        return 0;
    }
    if (count >= 8388608ULL) {
        LOG_E("WriteFile Failed, ErrorCode: %d \n", EINVAL);
        return 0;
    }
    int err = 0;
    int64_t put = h->WriteAt(lba * SECTOR_SIZE, buffer, static_cast<size_t>(count) * SECTOR_SIZE, &err);
    if (put < 0) {
        LOG_E("WriteFile Failed, ErrorCode: %d \n", err);
        return 0;
    }
    return static_cast<int>(put / SECTOR_SIZE);
}

int Tool_WriteDiskSectors(const void* buffer, const std::string& path, uint64_t lba, uint64_t count) {
    DevHandle h = DeviceOpen(path);
    if (!h) {
        LOG_E("DeviceOpen Failed: %s \n", path.c_str());
        return -1;
    }
    int w = DeviceWriteSectors(h.get(), lba, count, buffer);
    if (count > INT_MAX || static_cast<uint64_t>(w) != count) {
        LOG_E("DeviceWriteSectors Failed: %lld(%lld), \n", static_cast<long long>(lba), static_cast<long long>(count));
        return -1;
    }
    return 0;
}

IDeviceHandle* CVolDevice::Handle() {
    return m_disk ? m_disk->GetHandle() : m_handle;
}

uint64_t CVolDevice::ReadSectors(uint64_t lba, uint64_t count, void* buffer) {
    IDeviceHandle* h = Handle();
    if (!h) return 0;
    return static_cast<uint32_t>(DeviceReadSectorsTolerant(h, m_base + lba, count, buffer));
}

uint64_t CVolDevice::WriteSectors(uint64_t lba, uint64_t count, const void* buffer) {
    IDeviceHandle* h = Handle();
    if (!h) return 0;
    return static_cast<uint32_t>(DeviceWriteSectors(h, m_base + lba, count, buffer));
}

int CLogicalStorageDevice::Open(const std::string& path) {
    if (path.empty()) return -1;
    m_path = path;
    m_handle = DeviceOpen(path);
    return m_handle ? 0 : -1;
}

void CLogicalStorageDevice::Close() { m_handle.reset(); }

uint64_t CLogicalStorageDevice::ReadSectors(uint64_t lba, uint64_t count, void* buffer) {
    return static_cast<uint32_t>(DeviceReadSectorsTolerant(m_handle.get(), lba, count, buffer));
}

uint64_t CLogicalStorageDevice::WriteSectors(uint64_t lba, uint64_t count, const void* buffer) {
    return static_cast<uint32_t>(DeviceWriteSectors(m_handle.get(), lba, count, buffer));
}
