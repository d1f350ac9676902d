#include "volphotorev/ntfs_searchphoto.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <string_view>
#include <string>
#include <vector>

#include "filesystem/allounitmgr.h"
#include "filesystem/ntfs_compress.h"
#include "filesystem/ntfs_filerecord.h"
#include "filesystem/ntfs_mount.h"
#include "filesystem/ntfs_rl.h"
#include "io/deviceio.h"
#include "io/le.h"
#include "io/log.h"
#include "io/partition.h"
#include "io/utf.h"
#include "photoformats/photoformat.h"
#include "volphotorev/deletedphoto.h"
#include "volphotorev/photoitems.h"

namespace {

constexpr size_t kBatchBytes = 0x800000;  // the MFT is read 8 MiB at a time

// $FILE_NAME value fields.
constexpr size_t kFnNameLength = 0x40;  // uint8, UTF-16 units
constexpr size_t kFnNamespace = 0x41;   // uint8: 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS
constexpr size_t kFnName = 0x42;

constexpr size_t kFnParent = 0x00;      // uint64: parent folder's record number (48 bits) and sequence (16)

constexpr uint8_t kNsPosix = 0;
constexpr uint8_t kNsWin32 = 1;
constexpr uint8_t kNsWin32AndDos = 3;

constexpr size_t kRecSequence = 0x10;   // uint16: the record's sequence number
constexpr uint16_t kRecInUse = 0x0001;
constexpr uint16_t kRecDirectory = 0x0002;
constexpr size_t kAttrNameLength = 0x09;  // uint8: 0 for the unnamed stream
constexpr uint32_t kAtStandardInformation = 0x10;
constexpr size_t kSiModified = 0x08;      // int64: FILETIME, 100 ns since 1601 UTC
// $ATTRIBUTE_LIST: where the attributes of a file that spill over its record are.
constexpr uint32_t kAtAttributeList = 0x20;
constexpr size_t kAlType = 0x00;          // uint32
constexpr size_t kAlLength = 0x04;        // uint16: this entry's bytes
constexpr size_t kAlNameLength = 0x06;    // uint8
constexpr size_t kAlRecord = 0x10;        // uint64: the record that holds the attribute
constexpr size_t kAlMinEntry = 0x1A;
constexpr uint64_t kMaxAttributeList = 256 * 1024;
constexpr size_t kMaxSpillRecords = 256;

constexpr int64_t kRootFolder = 5;
constexpr int64_t kFirstUserRecord = 16;  // records 0 to 15 are the file system's own
constexpr uint64_t kRecordMask = 0x0000FFFFFFFFFFFFull;
// Folder paths deeper or longer than these are not followed further.
constexpr int kMaxFolderDepth = 64;
constexpr size_t kMaxFolderUnits = 1024;
// 1970-01-01 as a FILETIME, and the range of times taken as real.
constexpr int64_t kFiletimeUnixEpoch = 116444736000000000;
constexpr int64_t kFirstPlausibleSecond = 315532800;   // 1980-01-01
constexpr int64_t kLastPlausibleSecond = 7258118400;   // 2200-01-01

// How much a name's namespace is preferred: Win32 names first, then POSIX,
// the DOS 8.3 name last.
int NamespaceRank(uint8_t ns) {
    if (ns == kNsWin32 || ns == kNsWin32AndDos) return 3;
    return ns == kNsPosix ? 2 : 1;
}

std::u16string Join(const std::u16string& folder, const std::u16string& name) {
    if (folder.size() >= kMaxFolderUnits) return folder;
    return folder.empty() ? name : folder + u"/" + name;
}

std::u16string LostFolder(int64_t record) {
    const std::string text = "Lost folder " + std::to_string(record);
    return std::u16string(text.begin(), text.end());
}

// A name a writer could have made: no NUL or other control character, no
// '/', no unpaired surrogate. Half-overwritten records fail this.
bool IsValidName(const std::u16string& name) {
    for (size_t k = 0; k < name.size(); ++k) {
        const char16_t c = name[k];
        if (c < 0x20 || c == u'/') return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (k + 1 >= name.size() || name[k + 1] < 0xDC00 || name[k + 1] > 0xDFFF) return false;
            ++k;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

// Runs in clusters to runs in 512-byte sectors. Negative LCN values stay as
// they are, so a reader sees a hole instead of a sector before the volume.
// False when a value does not fit.
bool ToSectorRuns(const Runlist& rl, int64_t perCluster, std::vector<PhotoRun>& runs) {
    runs.reserve(rl.size());
    for (const RunlistElement& e : rl) {
        if (e.length == 0) {
            // The end entry counts in sectors too: it is where the runs end.
            PhotoRun end{0, e.lcn, 0};
            if (__builtin_mul_overflow(e.vcn, perCluster, &end.fileSector)) return false;
            runs.push_back(end);
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

// Sectors per compression unit of a $DATA attribute NTFS keeps compressed; 0
// when it is stored as it is, -1 when its unit is larger than NTFS writes.
int64_t CompressionUnitSectors(std::span<const uint8_t> data, uint32_t clusterSize) {
    if (!(le::u16(data, NTFS_ATTR_FLAGS) & NTFS_ATTR_FLAG_COMPRESSED)) return 0;
    const unsigned shift = le::u8(data, NTFS_ATTR_COMPRESSION_UNIT);
    if (shift == 0 || shift > 8) return -1;
    const uint64_t unit = (uint64_t{clusterSize} / SECTOR_SIZE) << shift;
    return unit > kMaxCompressionUnitSectors ? -1 : static_cast<int64_t>(unit);
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
            FillFolders();
            return -1;
        }
        int64_t inBatch = static_cast<int64_t>(batch.size() >> vol.mftRecordSizeBits);
        for (int64_t i = 0; i < inBatch && done + i < records; ++i) {
            if (i % 10 == 0) {
                int64_t step = 5;
                if (m_sink->Notify(UPDATE_CURRENT_PROGRESS, 0, &step, 0) < 0) {
                    FillFolders();
                    return -1;
                }
            }
            std::span<uint8_t> rec = batch.subspan(static_cast<size_t>(i) * recordSize, recordSize);
            const bool inUse = le::u16(rec, NTFS_REC_FLAGS) & kRecInUse;
            if (std::memcmp(rec.data(), "FILE", 4) != 0) {
                // A free record may never have been written: only a record
                // in use must be one.
                if (inUse) LOG_E("%s", "Invalide File Record. \n");
                continue;
            }
            if (le::u64(rec, NTFS_REC_BASE_RECORD) != 0) {
                if (inUse) LOG_T("Extend MFT Record. No: %u \n", le::u32(rec, NTFS_REC_NUMBER));
                continue;
            }
            if (inUse) DealWithRecord(rec, done + i);
            else DealWithDeletedRecord(rec, done + i);
        }
        done += inBatch;
    }
    FillFolders();
    return 0;
}

// What the walk needs of a file record, read once.
struct CNtfsSearchPhoto::Parsed {
    std::u16string name;             // the preferred $FILE_NAME's name
    uint64_t parent = 0;             // that $FILE_NAME's parent reference
    std::span<const uint8_t> data;   // the unnamed $DATA attribute, or empty
    std::span<const uint8_t> attributeList;  // $ATTRIBUTE_LIST, or empty
    int64_t mtime = 0;               // from $STANDARD_INFORMATION; 0 unknown
    uint32_t mtimeNsec = 0;
    uint16_t sequence = 0;
    bool directory = false;
    bool hasName = false;
    bool corrupt = false;            // the attribute walk stopped at a broken attribute

    explicit Parsed(std::span<const uint8_t> record) {
        sequence = le::u16(record, kRecSequence);
        directory = le::u16(record, NTFS_REC_FLAGS) & kRecDirectory;
        int rank = 0;
        NtfsAttrWalker walker(record);
        for (auto attr = walker.Next(); !attr.empty(); attr = walker.Next()) {
            const uint32_t type = le::u32(attr, NTFS_ATTR_TYPE);
            if (type == kAtStandardInformation) {
                std::span<const uint8_t> value = NtfsResidentValue(attr);
                if (le::fits(value, kSiModified, 8)) SetTime(static_cast<int64_t>(le::u64(value, kSiModified)));
            } else if (type == NTFS_AT_FILE_NAME) {
                std::span<const uint8_t> value = NtfsResidentValue(attr);
                const size_t units = le::u8(value, kFnNameLength);
                if (!le::fits(value, kFnName, 2 * units)) continue;
                // The first Win32 name; else the last of the best other namespace.
                const int r = NamespaceRank(le::u8(value, kFnNamespace));
                if (r < rank || (r == rank && rank == 3)) continue;
                rank = r;
                hasName = true;
                name.resize(units);
                for (size_t i = 0; i < units; ++i) name[i] = static_cast<char16_t>(le::u16(value, kFnName + 2 * i));
                parent = le::u64(value, kFnParent);
            } else if (type == NTFS_AT_DATA && data.empty() && le::u8(attr, kAttrNameLength) == 0) {
                data = attr;
            } else if (type == kAtAttributeList) {
                attributeList = attr;
            }
        }
        corrupt = walker.Corrupt();
    }

    void SetTime(int64_t filetime) {
        if (filetime < kFiletimeUnixEpoch) return;
        const int64_t since = filetime - kFiletimeUnixEpoch;
        const int64_t seconds = since / 10000000;
        if (seconds < kFirstPlausibleSecond || seconds > kLastPlausibleSecond) return;
        mtime = seconds;
        mtimeNsec = static_cast<uint32_t>(since % 10000000) * 100;
    }
};

void CNtfsSearchPhoto::NoteFolder(const Parsed& rec, int64_t index, bool inUse) {
    if (!rec.hasName || rec.name.empty() || !IsValidName(rec.name)) return;
    Folder& f = m_folders[index];
    f.name = rec.name;
    f.parent = rec.parent;
    f.sequence = rec.sequence;
    f.inUse = inUse;
}

std::u16string CNtfsSearchPhoto::FolderOf(uint64_t reference) {
    // Climb to the root or to the first folder whose path is known, keeping
    // the folders passed; a folder whose record no longer fits ends the
    // climb as a lost folder.
    std::vector<int64_t> passed;
    std::u16string path;
    uint64_t ref = reference;
    for (;;) {
        const int64_t record = static_cast<int64_t>(ref & kRecordMask);
        const uint16_t sequence = static_cast<uint16_t>(ref >> 48);
        if (record == kRootFolder) break;
        const auto found = m_folders.find(record);
        // A deleted folder's record has its sequence number one up.
        const uint16_t next = sequence == 0xFFFF ? 1 : static_cast<uint16_t>(sequence + 1);
        const bool same = found != m_folders.end() &&
                          (sequence == 0 || found->second.sequence == sequence ||
                           (!found->second.inUse && found->second.sequence == next));
        const bool loops = std::find(passed.begin(), passed.end(), record) != passed.end();
        if (!same || loops || passed.size() >= kMaxFolderDepth) {
            path = LostFolder(record);
            break;
        }
        if (const auto known = m_paths.find(record); known != m_paths.end()) {
            path = known->second;
            for (size_t k = passed.size(); k-- > 0;) path = Join(path, m_folders[passed[k]].name);
            return path;
        }
        passed.push_back(record);
        ref = found->second.parent;
    }
    for (size_t k = passed.size(); k-- > 0;) {
        path = Join(path, m_folders[passed[k]].name);
        m_paths[passed[k]] = path;
    }
    return path;
}

void CNtfsSearchPhoto::Store(std::unique_ptr<PhotoItem> item, uint64_t parent) {
    if (!m_items) return;
    m_waiting.emplace_back(std::move(item), parent);
    if (m_sink) m_sink->Notify(PHOTO_FOUND, 1, nullptr, 0);
}

void CNtfsSearchPhoto::FillFolders() {
    m_unnamed.Finish();
    for (auto& [item, parent] : m_waiting) {
        item->folder = FolderOf(parent);
        if (m_items) m_items->AddItem(std::move(item));
    }
    m_waiting.clear();
}

void CNtfsSearchPhoto::LookInside(std::unique_ptr<PhotoItem> item, uint64_t parent) {
    uint64_t sector = 0;
    if (FirstSectorOf(*item, sector)) m_unnamed.Add(m_device, sector, Unnamed(std::move(item), parent));
}

void CNtfsSearchPhoto::StoreSniffed(Unnamed& file, const PhotoFormat& format) {
    auto& [item, parent] = file;
    if (!item) return;
    LOG_V("%s begins like a photo of type %.*s \n", Utf16ToUtf8(item->name).c_str(),
          static_cast<int>(format.typeName.size()), format.typeName.data());
    if (m_items && !m_items->Wants(format.category, item->size)) return;
    item->category = format.category;
    Store(std::move(item), parent);
}

bool CNtfsSearchPhoto::ClustersFree(int64_t lcn, int64_t count) const {
    const int64_t perCluster = m_volume->clusterSize / SECTOR_SIZE;
    // The caller keeps the range inside the volume's clusters: no overflow.
    if (!m_map || lcn < 0 || count <= 0 || perCluster <= 0 || !m_map->IsFree(lcn * perCluster, count * perCluster))
        return false;
    auto after = m_taken.upper_bound(lcn);
    if (after != m_taken.end() && after->first < lcn + count) return false;
    if (after != m_taken.begin() && std::prev(after)->second > lcn) return false;
    return true;
}

bool CNtfsSearchPhoto::GatherSpilled(Parsed& rec, int64_t index, bool inUse,
                                     std::vector<std::vector<uint8_t>>& records, Runlist& runs) {
    // A folder needs only its name.
    if (rec.directory && rec.hasName) return true;
    // The list itself: in the record, or in clusters of its own.
    std::vector<uint8_t> list;
    const std::span<const uint8_t> attr = rec.attributeList;
    if (le::u8(attr, NTFS_ATTR_NON_RESIDENT) == 0) {
        const std::span<const uint8_t> value = NtfsResidentValue(attr);
        list.assign(value.begin(), value.end());
    } else {
        const uint64_t size = le::u64(attr, NTFS_ATTR_DATA_SIZE);
        const Runlist rl = ntfs_mapping_pairs_decompress(m_volume, attr);
        if (size == 0 || size > kMaxAttributeList || rl.empty()) return false;
        const int64_t clusters = static_cast<int64_t>((size + m_volume->clusterSize - 1) >> m_volume->clusterSizeBits);
        list.resize(static_cast<size_t>(clusters) << m_volume->clusterSizeBits);
        if (NtfsReadRl(0, clusters, rl, m_device, m_volume, list) < 0) return false;
        list.resize(size);
    }
    std::set<int64_t> numbers;
    for (size_t p = 0; list.size() - p >= kAlMinEntry;) {
        const size_t length = le::u16(list, p + kAlLength);
        if (length < kAlMinEntry || length > list.size() - p) break;
        const uint32_t type = le::u32(list, p + kAlType);
        const int64_t number = static_cast<int64_t>(le::u64(list, p + kAlRecord) & kRecordMask);
        const bool unnamedData = type == NTFS_AT_DATA && le::u8(list, p + kAlNameLength) == 0;
        if (number != index && (type == NTFS_AT_FILE_NAME || unnamedData)) numbers.insert(number);
        if (numbers.size() > kMaxSpillRecords) return false;
        p += length;
    }

    // Each record named, if it is still this file's.
    std::vector<std::span<const uint8_t>> extents;
    if (!rec.data.empty()) extents.push_back(rec.data);
    records.reserve(numbers.size());
    for (const int64_t number : numbers) {
        std::vector<uint8_t> r = NtfsReadRecordFromMft(m_device, m_volume->mftRunlist, m_volume, number);
        if (r.empty() || ntfs_mst_post_read_fixup(r) != 0 || ((le::u16(r, NTFS_REC_FLAGS) & kRecInUse) != 0) != inUse ||
            static_cast<int64_t>(le::u64(r, NTFS_REC_BASE_RECORD) & kRecordMask) != index)
            return false;
        records.push_back(std::move(r));
        const Parsed part(records.back());
        if (part.corrupt) return false;
        if (!rec.hasName && part.hasName) {
            rec.name = part.name;
            rec.parent = part.parent;
            rec.hasName = true;
        }
        if (!part.data.empty()) extents.push_back(part.data);
    }
    if (rec.directory || extents.empty()) return true;

    // The data's runs: every extent's own, in order, with nothing missing.
    Runlist all;
    for (const std::span<const uint8_t> extent : extents) {
        if (le::u8(extent, NTFS_ATTR_NON_RESIDENT) == 0) return false;
        if (le::u64(extent, NTFS_ATTR_LOWEST_VCN) == 0) rec.data = extent;  // it holds the sizes
        const Runlist rl = ntfs_mapping_pairs_decompress(m_volume, extent);
        if (rl.empty()) return false;
        for (const RunlistElement& e : rl)
            if (e.length != 0 && e.lcn != LCN_RL_NOT_MAPPED) all.push_back(e);
    }
    if (rec.data.empty()) return false;
    std::sort(all.begin(), all.end(), [](const RunlistElement& a, const RunlistElement& b) { return a.vcn < b.vcn; });
    int64_t vcn = 0;
    for (const RunlistElement& e : all) {
        if (e.vcn != vcn) return false;
        vcn += e.length;
    }
    // Whole clusters, rounded up without overflowing whatever the record says.
    const uint64_t allocated = le::u64(rec.data, NTFS_ATTR_ALLOCATED_SIZE);
    const uint64_t clusters = (allocated >> m_volume->clusterSizeBits) +
                              ((allocated & (m_volume->clusterSize - 1)) != 0 ? 1 : 0);
    if (static_cast<uint64_t>(vcn) != clusters) return false;
    all.push_back({vcn, LCN_ENOENT, 0});
    runs = std::move(all);
    return true;
}

int CNtfsSearchPhoto::DealWithRecord(std::span<uint8_t> record, int64_t index) {
    LOG_T("Mft: %lld \n.", static_cast<long long>(index));
    // A record whose blocks do not match is still examined as it is.
    ntfs_mst_post_read_fixup(record);

    Parsed rec(record);
    if (rec.corrupt) {
        LOG_E("Corrupt Attribute, Mft No: %lld \n", static_cast<long long>(index));
        return 0;
    }
    // The records the attribute list names hold the name or the data runs
    // the record itself lacks; they are kept while the record is looked at.
    std::vector<std::vector<uint8_t>> spilled;
    Runlist spilledRuns;
    if (!rec.attributeList.empty() && !GatherSpilled(rec, index, true, spilled, spilledRuns))
        LOG_E("Attribute list of Mft No %lld cannot be followed; only the record itself is read \n",
              static_cast<long long>(index));
    if (rec.directory) NoteFolder(rec, index, true);
    if (rec.directory || rec.name.empty()) return 0;
    // The whole name decides: "渋谷.jpg" is a photo as much as "IMG_0001.JPG".
    const PhotoFormat* format = rec.name.size() < 5 ? nullptr : PhotoFormatOfName(Utf16ToUtf8(rec.name));
    // A file whose name names no photo may still begin like one; the
    // system files of the first records never do.
    const bool lookInside = !format && m_items && m_items->LooksInside() && index >= kFirstUserRecord;
    if (!format && !lookInside) return 0;

    std::span<const uint8_t> data = rec.data;
    if (data.empty() || le::u8(data, NTFS_ATTR_NON_RESIDENT) == 0) return 0;
    const uint64_t size = le::u64(data, NTFS_ATTR_DATA_SIZE);
    if (format && m_items && !m_items->Wants(format->category, size)) return 0;
    // Less than a sector would leave the rest of the sector to whatever the
    // cluster held before.
    // (Sizes past 4 GiB do not fit a photo's size.)
    if (lookInside && (size < SECTOR_SIZE || size > UINT32_MAX)) return 0;
    Runlist rl = spilledRuns.empty() ? ntfs_mapping_pairs_decompress(m_volume, data) : std::move(spilledRuns);
    if (rl.empty()) return 0;
    // Runs that only another record holds were not found: they are not zeros.
    for (const RunlistElement& e : rl) {
        if (e.lcn != LCN_RL_NOT_MAPPED) continue;
        LOG_E("Part of the data of Mft No %lld lies in records not found; the file is left alone \n",
              static_cast<long long>(index));
        return 0;
    }
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
    // Kept compressed (a folder or drive set to save space), the photo's
    // units are expanded as it is read; a first sector tells nothing then.
    const int64_t unit = CompressionUnitSectors(data, m_volume->clusterSize);
    if (unit != 0 && lookInside) return 0;
    if (unit < 0) {
        LOG_E("Compressed file with a compression unit NTFS never writes left alone, Mft No: %lld \n",
              static_cast<long long>(index));
        return 0;
    }
    item->compressionUnit = static_cast<uint32_t>(unit);
    item->name = rec.name;
    item->category = format ? format->category : Other;
    item->origin = FileSystem;
    item->size = static_cast<uint32_t>(size);
    item->mtime = rec.mtime;
    item->mtimeNsec = rec.mtimeNsec;
    if (lookInside) LookInside(std::move(item), rec.parent);
    else Store(std::move(item), rec.parent);
    return 0;
}

int CNtfsSearchPhoto::DealWithDeletedRecord(std::span<uint8_t> record, int64_t index) {
    // Half-overwritten records are common among free ones: only whole ones count.
    if (ntfs_mst_post_read_fixup(record) != 0) return 0;
    Parsed rec(record);
    if (rec.corrupt) return 0;
    // A deleted file's extension records are free too, and still name it.
    std::vector<std::vector<uint8_t>> spilled;
    Runlist spilledRuns;
    if (!rec.attributeList.empty()) (void)GatherSpilled(rec, index, false, spilled, spilledRuns);
    if (!rec.hasName || !IsValidName(rec.name)) return 0;
    if (rec.directory) {
        NoteFolder(rec, index, false);
        return 0;
    }
    if (!m_map || rec.name.size() < 5 || rec.data.empty()) return 0;
    const std::string narrow = Utf16ToUtf8(rec.name);
    const PhotoFormat* named = PhotoFormatOfName(narrow);
    if (!named) return 0;

    std::span<const uint8_t> data = rec.data;
    auto item = std::make_unique<PhotoItem>();
    std::string_view why;
    const PhotoFormat* format = nullptr;
    if (le::u8(data, NTFS_ATTR_NON_RESIDENT) == 0) {
        // A small photo kept in the record itself.
        std::span<const uint8_t> value = NtfsResidentValue(data);
        if (value.empty()) return 0;
        CMemoryByteSource src(value);
        format = CheckDeletedPhoto(src, *named, m_volume->clusterSize, why);
        if (!format) {
            LOG_T("Deleted record %lld (%s) left alone: %.*s \n", static_cast<long long>(index), narrow.c_str(),
                  static_cast<int>(why.size()), why.data());
            return 0;
        }
        item->inlineData.assign(value.begin(), value.end());
        item->runs = {PhotoRun{0, LCN_ENOENT, 0}};
        item->size = static_cast<uint32_t>(value.size());
    } else {
        const uint64_t size = le::u64(data, NTFS_ATTR_DATA_SIZE);
        if (size == 0 || size > UINT32_MAX) return 0;
        Runlist rl = spilledRuns.empty() ? ntfs_mapping_pairs_decompress(m_volume, data) : std::move(spilledRuns);
        if (rl.empty() || rl.back().lcn != LCN_ENOENT) return 0;
        for (const RunlistElement& e : rl) {
            if (e.length == 0 || e.lcn == LCN_HOLE) continue;
            if (e.lcn < 0 || e.lcn >= m_volume->numberOfClusters || e.length > m_volume->numberOfClusters - e.lcn ||
                !ClustersFree(e.lcn, e.length)) {
                LOG_T("Deleted record %lld (%s) left to the raw scan: its clusters are in use again \n",
                      static_cast<long long>(index), narrow.c_str());
                return 0;
            }
        }
        const int64_t covered = rl.back().vcn;
        if (covered <= 0 || static_cast<uint64_t>(covered) < (size + m_volume->clusterSize - 1) / m_volume->clusterSize)
            return 0;
        if (!ToSectorRuns(rl, m_volume->clusterSize / SECTOR_SIZE, item->runs)) return 0;
        const int64_t unit = CompressionUnitSectors(data, m_volume->clusterSize);
        if (unit < 0) return 0;
        item->compressionUnit = static_cast<uint32_t>(unit);
        CRunByteSource stored(m_device, item->runs, size);
        CCompressedRunByteSource compressed(m_device, item->runs, size, item->compressionUnit);
        IByteSource& src = unit ? static_cast<IByteSource&>(compressed) : stored;
        format = CheckDeletedPhoto(src, *named, m_volume->clusterSize, why);
        if (!format) {
            LOG_T("Deleted record %lld (%s) left to the raw scan: %.*s \n", static_cast<long long>(index),
                  narrow.c_str(), static_cast<int>(why.size()), why.data());
            return 0;
        }
        for (const RunlistElement& e : rl)
            if (e.length != 0 && e.lcn >= 0) m_taken[e.lcn] = e.lcn + e.length;
        for (const PhotoRun& run : item->runs)
            if (run.sectorCount > 0 && run.volumeSector >= 0) m_deletedSectors.emplace_back(run.volumeSector, run.sectorCount);
        item->size = static_cast<uint32_t>(size);
    }
    // A photo of a type not chosen still keeps its clusters from other records and the raw scan.
    if (m_items && !m_items->Wants(format->category, item->size)) return 0;
    item->name = rec.name;
    item->category = format->category;
    item->origin = DeletedRecord;
    item->mtime = rec.mtime;
    item->mtimeNsec = rec.mtimeNsec;
    LOG_V("Deleted record %lld still holds the photo %s \n", static_cast<long long>(index), narrow.c_str());
    Store(std::move(item), rec.parent);
    return 0;
}
