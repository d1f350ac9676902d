#include "taskmgr/taskmgr.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <vector>

#include "io/deviceio.h"
#include "io/diskmgr.h"
#include "io/log.h"
#include "taskmgr/recoverphoto_task.h"
#include "taskmgr/scansession.h"
#include "volphotorev/compressedunits.h"

namespace {

// Byte range [begin, end) of a run inside the photo's buffer, when it has one
// that fits in `size` bytes.
bool RunBytes(const PhotoRun& run, uint32_t size, uint64_t& begin, uint64_t& end) {
    if (run.fileSector < 0 || run.sectorCount <= 0) return false;
    const uint64_t first = static_cast<uint64_t>(run.fileSector);
    const uint64_t count = static_cast<uint64_t>(run.sectorCount);
    if (first > size / SECTOR_SIZE || count > size / SECTOR_SIZE) return false;
    begin = first * SECTOR_SIZE;
    end = begin + count * SECTOR_SIZE;
    return end <= size;
}

// A file NTFS keeps compressed, unit by unit. A unit that does not expand is
// logged and keeps what it gave (zeros after), as an unreadable sector reads
// as zeros.
int ReadCompressedPhoto(IDeviceHandle* handle, uint64_t base, const PhotoItem& item, uint8_t* bytes, uint32_t size) {
    if (item.compressionUnit == 0 || item.compressionUnit > kMaxCompressionUnitSectors) return -1;
    const uint64_t unitBytes = uint64_t{item.compressionUnit} * SECTOR_SIZE;
    auto read = [&](uint64_t sector, uint64_t count, uint8_t* to) {
        const uint64_t lba = base + sector;
        if (lba < base) return false;
        const int got = DeviceReadSectorsTolerant(handle, lba, count, to);
        return got >= 0 && static_cast<uint64_t>(got) == count;
    };
    std::vector<uint8_t> packed;
    for (uint64_t start = 0, unit = 0; start < size; start += unitBytes, ++unit) {
        const std::span<uint8_t> out(bytes + start, std::min<uint64_t>(unitBytes, size - start));
        const UnitResult r = ExpandCompressedUnit(item.runs, item.compressionUnit, unit, packed, out, read);
        if (r == UnitResult::Corrupt)
            LOG_E("Compressed unit at byte %llu of a photo does not expand; the rest of it is left zero\n",
                  static_cast<unsigned long long>(start));
        else if (r != UnitResult::Expanded)
            return -1;
    }
    return 0;
}

}  // namespace

CTaskMgr::~CTaskMgr() { Clear(); }

int CTaskMgr::GetDiskCount() { return CDiskMgr::Instance().GetDiskCount(); }

CDisk* CTaskMgr::GetDiskByIndex(uint32_t index) {
    CDiskMgr& mgr = CDiskMgr::Instance();
    if (index >= static_cast<uint32_t>(mgr.GetDiskCount())) return nullptr;
    return mgr.GetDiskByIndex(static_cast<int>(index));
}

CDisk* CTaskMgr::GetDiskByNo(int diskNo) { return CDiskMgr::Instance().GetDiskByNo(diskNo); }

std::vector<ParInfor> CurrentDiskLayout(CDisk* disk) {
    std::vector<ParInfor> layout;
    if (!disk) return layout;
    const int n = disk->LoadPartition();
    for (int k = 0; k < n; ++k) {
        CPartition* p = disk->GetPartition(k);
        if (!p) break;
        ParInfor infor;
        p->GetInfor(infor);
        layout.push_back(std::move(infor));
    }
    return layout;
}

int CTaskMgr::GetDiskLayout(int diskNo, ParInfor* out, int capacity) {
    const std::vector<ParInfor>* layout = nullptr;
    for (const auto& task : m_tasks) {
        if (task->GetDiskNo() == diskNo) {
            layout = &task->GetLayoutAfter();
            break;
        }
    }
    std::vector<ParInfor> current;
    if (!layout) {
        CDisk* disk = GetDiskByNo(diskNo);
        if (!disk) return -1;
        current = CurrentDiskLayout(disk);
        layout = &current;
    }
    if (!out) return static_cast<int>(layout->size());
    int copied = 0;
    for (const ParInfor& infor : *layout) {
        if (copied >= capacity) break;
        out[copied++] = infor;
    }
    return copied;
}

bool CTaskMgr::CopyDiskLayout(int, int, int) { return false; }

int CTaskMgr::AddDiskCloneTask(int32_t, int32_t, int32_t, int32_t) { return -1; }

int CTaskMgr::AddDiskWipeTask(int32_t, int32_t) { return -1; }

int CTaskMgr::RecoverPhotos(IPartition* partition, IEventSink* sink) {
    m_items.reset();
    m_items.reset(new (std::nothrow) CPhotoItemsMgr(m_choice));
    if (!m_items) return -1;
    std::unique_ptr<ITask> task(new (std::nothrow) CRecoverPhotoTask(partition, this));
    if (!task) return -1;
    m_tasks.push_back(std::move(task));
    return RunTasks(sink);
}

int CTaskMgr::LoadSession(CScanSession* session, std::string& error) {
    m_items.reset();
    if (!session) {
        error = "no session";
        return -1;
    }
    m_items.reset(new (std::nothrow) CPhotoItemsMgr(session->Info().choice));
    if (!m_items) {
        error = "out of memory";
        return -1;
    }
    if (session->LoadPhotos(*m_items, error) != 0) {
        m_items.reset();
        return -1;
    }
    return 0;
}

int CTaskMgr::RecoverPhotosWithSession(IPartition* partition, IEventSink* sink, CScanSession* session) {
    if (!partition || !sink || !session) return -1;
    SessionIdentity here;
    if (MakeSessionIdentity(partition, here) != 0) return -1;
    const std::string mismatch = SessionMismatch(session->Info().identity, here);
    if (!mismatch.empty()) {
        LOG_E("session %s refused: %s\n", session->Path().c_str(), mismatch.c_str());
        m_items.reset();
        return -1;
    }
    std::string error;
    if (LoadSession(session, error) != 0) {
        LOG_E("%s\n", error.c_str());
        return -1;
    }
    if (session->Info().state == SessionState::Finished) return 0;
    if (session->Info().state == SessionState::Walking) {
        // The walk is done again from the start: the photos it found before
        // were never saved.
        m_items.reset(new (std::nothrow) CPhotoItemsMgr(session->Info().choice));
        if (!m_items) return -1;
    } else {
        // The photos found before count as found: the count shown goes on
        // from them rather than from nothing.
        int64_t kept = 0;
        for (int c = 0; c < kPhotoCategoryCount; ++c) kept += std::max(m_items->GetItems(c, -1, -1, nullptr), 0);
        if (kept > 0) (void)sink->Notify(PHOTO_FOUND, static_cast<int32_t>(std::min<int64_t>(kept, INT32_MAX)), nullptr, 0);
    }
    std::unique_ptr<CRecoverPhotoTask> task(new (std::nothrow) CRecoverPhotoTask(partition, this));
    if (!task) return -1;
    task->SetSession(session);
    m_tasks.push_back(std::move(task));
    return RunTasks(sink);
}

int CTaskMgr::GetPhotoItems(int32_t category, int32_t first, int32_t count, PhotoItem** out) {
    if (!m_items) return 0;
    return m_items->GetItems(category, first, count, out);
}

int CTaskMgr::ReadPhotoData(PhotoItem* item, IPartition* partition, void* buffer, uint32_t size) {
    if (!item || !buffer || !partition) return -1;
    CDisk* disk = partition->GetDisk();
    if (!disk || !disk->GetHandle()) return -1;
    const uint64_t base = partition->GetOff();
    auto* bytes = static_cast<uint8_t*>(buffer);

    // Bytes the file system kept inside its own record come from the item.
    if (!item->inlineData.empty()) {
        if (item->inlineData.size() > size) return -1;
        std::memcpy(bytes, item->inlineData.data(), item->inlineData.size());
        return 0;
    }

    if (item->compressionUnit != 0) return ReadCompressedPhoto(disk->GetHandle(), base, *item, bytes, size);

    // Every run must fit before anything is read, so a refused item leaves
    // the buffer untouched.
    for (const PhotoRun& run : item->runs) {
        if (run.sectorCount == 0) break;
        uint64_t begin = 0, end = 0;
        if (!RunBytes(run, size, begin, end)) return -1;
    }
    for (const PhotoRun& run : item->runs) {
        if (run.sectorCount == 0) break;
        uint64_t begin = 0, end = 0;
        RunBytes(run, size, begin, end);
        // A run with no place on the disk is a hole of a sparse file.
        if (run.volumeSector < 0) {
            std::memset(bytes + begin, 0, end - begin);
            continue;
        }
        const uint64_t count = static_cast<uint64_t>(run.sectorCount);
        const uint64_t lba = base + static_cast<uint64_t>(run.volumeSector);
        if (lba < base) return -1;
        const int got = DeviceReadSectorsTolerant(disk->GetHandle(), lba, count, bytes + begin);
        if (got < 0 || static_cast<uint64_t>(got) != count) return -1;
    }
    return 0;
}

void CTaskMgr::RemovePendingTask() {
    m_items.reset();
    if (!m_tasks.empty()) m_tasks.pop_front();
}

int CTaskMgr::RunTasks(IEventSink* sink) {
    int result = 0;
    bool stopped = false;
    while (!m_tasks.empty()) {
        std::unique_ptr<ITask> task = std::move(m_tasks.front());
        m_tasks.pop_front();
        if (stopped) continue;
        result = task->Run(sink);
        if (result < 0) stopped = true;
    }
    return result;
}

void CTaskMgr::Clear() {
    m_items.reset();
    m_tasks.clear();
}

ITaskMgr* GetTaskMgr() {
    static CTaskMgr mgr;
    return &mgr;
}
