#include "volphotorev/ntfs_searchphoto.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "filesystem/ntfs_filerecord.h"
#include "filesystem/ntfs_mount.h"
#include "filesystem/ntfs_rl.h"
#include "io/deviceio.h"
#include "io/le.h"
#include "io/log.h"
#include "io/partition.h"
#include "io/utf.h"
#include "photoformats/photoformat.h"
#include "volphotorev/photoitems.h"

namespace {

constexpr size_t kBatchBytes = 0x800000;  // the MFT is read 8 MiB at a time

// $FILE_NAME value fields.
constexpr size_t kFnNameLength = 0x40;  // uint8, UTF-16 units
constexpr size_t kFnNamespace = 0x41;   // uint8: 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS
constexpr size_t kFnName = 0x42;

constexpr uint8_t kNsWin32 = 1;
constexpr uint8_t kNsWin32AndDos = 3;

constexpr size_t kMaxNarrowName = 260;
constexpr int64_t kFirstUserRecord = 16;  // records 0 to 15 are the file system's own

// Runs in clusters to runs in 512-byte sectors. Negative LCN values stay as
// they are, so a reader sees a hole instead of a sector before the volume.
// False when a value does not fit.
bool ToSectorRuns(const Runlist& rl, int64_t perCluster, std::vector<PhotoRun>& runs) {
    runs.reserve(rl.size());
    for (const RunlistElement& e : rl) {
        if (e.length == 0) {
            runs.push_back({e.vcn, e.lcn, 0});
            return true;
        }
        PhotoRun r;
        if (__builtin_mul_overflow(e.vcn, perCluster, &r.fileSector) ||
            __builtin_mul_overflow(e.length, perCluster, &r.sectorCount))
            return false;
        if (e.lcn < 0) r.volumeSector = e.lcn;
        else if (__builtin_mul_overflow(e.lcn, perCluster, &r.volumeSector)) return false;
        runs.push_back(r);
    }
    return false;  // no terminator
}

}  // namespace

int CNtfsSearchPhoto::Do(IEventSink* sink) {
    if (!sink) return -1;
    int r = sink->Notify(CURRENT_TASK_START, 0, m_partition, 0);
    if (r < 0) return r;
    m_sink = sink;
    int result = TraverseFileRecord();
    if (result < 0) {
        m_sink = nullptr;
        return result;
    }
    r = sink->Notify(CURRENT_TASK_FINISHED, 0, nullptr, 0);
    m_sink = nullptr;
    return r < 0 ? r : 0;
}

int CNtfsSearchPhoto::TraverseFileRecord() {
    if (!m_volume || !m_device || !m_sink || !m_items) return -1;
    const NtfsVolume& vol = *m_volume;

    int64_t initialized = static_cast<int64_t>(le::u64(vol.mftData, NTFS_ATTR_INIT_SIZE));
    int64_t records = initialized > 0 ? initialized >> vol.mftRecordSizeBits : 0;
    LOG_V("Mft Records: %lld \n", static_cast<long long>(records));

    int64_t total = records;
    if (m_sink->Notify(INIT_CURRENT_PROGRESS, 0, &total, 0) < 0) {
        LOG_E("Notify(IEventSink::INIT_CURRENT_PROGRESS) failed, ClustersToCopy: %lld\n",
              static_cast<long long>(records));
        return -1;
    }

    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kBatchBytes]);
    if (!buffer) {
        LOG_E("%s", "Out of Memory! \n");
        return -1;
    }

    // The MFT ends where its allocation or its runlist ends, whichever is
    // first, and a corrupt one is never read for longer than the volume is.
    int64_t allocated = static_cast<int64_t>(le::u64(vol.mftData, NTFS_ATTR_ALLOCATED_SIZE));
    int64_t clusters = allocated > 0 ? allocated >> vol.clusterSizeBits : 0;
    for (const RunlistElement& e : vol.mftRunlist) {
        if (e.length != 0) continue;
        if (e.vcn < clusters) clusters = e.vcn;
        break;
    }
    // (The device answers even for sectors it does not have: a runlist
    // claiming, say, 2^40 clusters would keep the walk reading for ever.)
    if (clusters > vol.numberOfClusters) {
        LOG_E("MFT runlist reaches past the volume, Clusters: %lld, Volume clusters: %lld \n",
              static_cast<long long>(clusters), static_cast<long long>(vol.numberOfClusters));
        clusters = vol.numberOfClusters;
    }

    const int64_t perBatch = static_cast<int64_t>(kBatchBytes >> vol.clusterSizeBits);
    const size_t recordSize = vol.mftRecordSize;
    int64_t done = 0;
    for (int64_t k = 0; k <= clusters / perBatch && done < records; ++k) {
        int64_t first = k * perBatch;
        int64_t count = k < clusters / perBatch ? perBatch : clusters % perBatch;
        if (count == 0) continue;
        std::span<uint8_t> batch(buffer.get(), static_cast<size_t>(count) << vol.clusterSizeBits);
        // Unreadable sectors are reported read and keep what the buffer held:
        // cleared first, they hold no record instead of the previous batch's
        // (which would store its photos twice) or never-written memory.
        std::fill(batch.begin(), batch.end(), 0);
        if (NtfsReadRl(first, count, vol.mftRunlist, m_device, m_volume, batch) < 0) {
            LOG_E("NtfsReadRl failed, Lcn off: %lld, Len: %lld \n", static_cast<long long>(first),
                  static_cast<long long>(count));
            return -1;
        }
        int64_t inBatch = static_cast<int64_t>(batch.size() >> vol.mftRecordSizeBits);
        for (int64_t i = 0; i < inBatch && done + i < records; ++i) {
            if (i % 10 == 0) {
                int64_t step = 5;
                if (m_sink->Notify(UPDATE_CURRENT_PROGRESS, 0, &step, 0) < 0) return -1;
            }
            std::span<uint8_t> rec = batch.subspan(static_cast<size_t>(i) * recordSize, recordSize);
            if (!(le::u16(rec, NTFS_REC_FLAGS) & 1)) continue;
            if (std::memcmp(rec.data(), "FILE", 4) != 0) {
                LOG_E("%s", "Invalide File Record. \n");
                continue;
            }
            if (le::u64(rec, NTFS_REC_BASE_RECORD) != 0) {
                LOG_T("Extend MFT Record. No: %u \n", le::u32(rec, NTFS_REC_NUMBER));
                continue;
            }
            DealWithRecord(rec, done + i);
        }
        done += inBatch;
    }
    StoreUnnamedPhotos();
    if (m_sniffer)
        LOG_V("Looked at the first sector of %llu files in %llu reads \n",
              static_cast<unsigned long long>(m_sniffer->Files()), static_cast<unsigned long long>(m_sniffer->Reads()));
    return 0;
}

void CNtfsSearchPhoto::LookInside(std::unique_ptr<PhotoItem> item) {
    const PhotoRun& first = item->runs.front();
    if (first.fileSector != 0 || first.sectorCount == 0 || first.volumeSector < 0) return;  // begins with a hole
    const auto sector = static_cast<uint64_t>(first.volumeSector);
    if (!m_sniffer) m_sniffer = std::make_unique<CContentSniffer>(m_device);
    try {
        m_unnamed.push_back(std::move(item));
    } catch (const std::bad_alloc&) {
        return;
    }
    m_sniffer->Add(sector, m_unnamed.size() - 1);
    if (m_sniffer->Full()) StoreUnnamedPhotos();
}

void CNtfsSearchPhoto::StoreUnnamedPhotos() {
    if (!m_sniffer) return;
    m_sniffer->Flush([&](uint64_t tag, const PhotoFormat& format) {
        if (tag >= m_unnamed.size() || !m_unnamed[tag]) return;
        std::unique_ptr<PhotoItem>& item = m_unnamed[tag];
        LOG_V("%s begins like a photo of type %.*s \n", Utf16ToUtf8(item->name).c_str(),
              static_cast<int>(format.typeName.size()), format.typeName.data());
        if (!m_items->Wants(format.category, item->size)) return;
        item->category = format.category;
        m_items->AddItem(std::move(item));
        if (m_sink) m_sink->Notify(PHOTO_FOUND, 1, nullptr, 0);
    });
    m_unnamed.clear();
}

int CNtfsSearchPhoto::DealWithRecord(std::span<uint8_t> record, int64_t index) {
    LOG_T("Mft: %lld \n.", static_cast<long long>(index));
    // A record whose blocks do not match is still examined as it is.
    ntfs_mst_post_read_fixup(record);

    // The first Win32 (or Win32 and DOS) name, else the last name seen.
    std::span<const uint8_t> name;
    NtfsAttrWalker walker(record);
    for (auto attr = walker.Next(); !attr.empty(); attr = walker.Next()) {
        if (le::u32(attr, NTFS_ATTR_TYPE) != NTFS_AT_FILE_NAME) continue;
        std::span<const uint8_t> value = NtfsResidentValue(attr);
        size_t units = le::u8(value, kFnNameLength);
        if (!le::fits(value, kFnName, 2 * units)) continue;
        name = value.subspan(kFnName, 2 * units);
        uint8_t ns = le::u8(value, kFnNamespace);
        if (ns == kNsWin32 || ns == kNsWin32AndDos) break;
    }
    if (walker.Corrupt()) {
        LOG_E("Corrupt Attribute, Mft No: %lld \n", static_cast<long long>(index));
        return 0;
    }
    size_t units = name.size() / 2;
    if (units == 0) return 0;

    std::u16string wide(units, u'\0');
    std::string narrow;
    bool narrowEnded = false;
    for (size_t i = 0; i < units; ++i) {
        wide[i] = static_cast<char16_t>(le::u16(name, 2 * i));
        if (narrowEnded || wide[i] > 0xFF || narrow.size() >= kMaxNarrowName) narrowEnded = true;
        else narrow.push_back(static_cast<char>(wide[i]));
    }
    const int category = units < 5 ? -1 : GetPhotoCategory(narrow.c_str());
    // A file whose name names no photo may still begin like one; the
    // system files of the first records never do.
    const bool lookInside = category < 0 && m_items && m_items->LooksInside() && index >= kFirstUserRecord;
    if (category < 0 && !lookInside) return 0;

    std::span<const uint8_t> data = NtfsFindAttr(record, NTFS_AT_DATA);
    if (data.empty() || le::u8(data, NTFS_ATTR_NON_RESIDENT) == 0) return 0;
    const uint64_t size = le::u64(data, NTFS_ATTR_DATA_SIZE);
    if (category >= 0 && m_items && !m_items->Wants(category, size)) return 0;
    // Less than a sector would leave the rest of the sector to whatever the
    // cluster held before.
    if (lookInside && size < SECTOR_SIZE) return 0;
    Runlist rl = ntfs_mapping_pairs_decompress(m_volume, data);
    if (rl.empty()) return 0;
    // Clusters past the volume's end are not the photo's: whatever follows
    // the partition on the disk would be read back in their place. (A volume
    // of unknown size, 0 clusters, has no records walked.)
    const int64_t volumeClusters = m_volume->numberOfClusters;
    for (const RunlistElement& e : rl) {
        if (e.length == 0 || e.lcn < 0 || volumeClusters <= 0) continue;
        if (e.lcn >= volumeClusters || e.length > volumeClusters - e.lcn) {
            LOG_E("Runs past the volume's end, Mft No: %lld, Lcn: %lld, Len: %lld \n", static_cast<long long>(index),
                  static_cast<long long>(e.lcn), static_cast<long long>(e.length));
            return 0;
        }
    }

    auto item = std::make_unique<PhotoItem>();
    if (!ToSectorRuns(rl, m_volume->clusterSize / SECTOR_SIZE, item->runs)) return 0;
    item->name = std::move(wide);
    item->category = static_cast<PhotoCategory>(category);
    item->origin = FileSystem;
    item->size = static_cast<uint32_t>(size);
    if (!m_items) return 0;
    if (lookInside) {
        LookInside(std::move(item));
        return 0;
    }
    m_items->AddItem(std::move(item));
    if (m_sink) m_sink->Notify(PHOTO_FOUND, 1, nullptr, 0);
    return 0;
}
