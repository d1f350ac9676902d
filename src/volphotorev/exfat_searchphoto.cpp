#include "volphotorev/exfat_searchphoto.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <new>
#include <unordered_set>

#include "io/deviceio.h"
#include "io/utf.h"
#include "io/log.h"
#include "io/partition.h"
#include "volphotorev/deletedphoto.h"

namespace {

constexpr int64_t kRunListEnd = -3;  // volumeSector of a run list's end entry
// Folders hold at most 256 MiB of entries.
constexpr uint64_t kMaxFolderBytes = uint64_t{256} << 20;
// Photo sizes are kept in 32 bits.
constexpr uint64_t kMaxPhotoBytes = UINT32_MAX;

std::string Utf8(const std::u16string& s) { return Utf16ToUtf8(s); }

}  // namespace

CExfatSearchPhoto::CExfatSearchPhoto(IPartition* partition, ExfatVolume* volume, IPhotoItmesMgr* store)
    : m_partition(partition), m_volume(volume), m_store(store) {}

int CExfatSearchPhoto::Do(IEventSink* sink) {
    if (!sink) return -1;
    int r = sink->Notify(CURRENT_TASK_START, 0, m_partition, 0);
    if (r < 0) return r;
    m_sink = sink;
    r = TraverseFileRecord();
    if (r >= 0) r = sink->Notify(CURRENT_TASK_FINISHED, 0, nullptr, 0);
    m_sink = nullptr;
    return r < 0 ? r : 0;
}

int CExfatSearchPhoto::TraverseFileRecord() {
    if (!m_sink || !m_store || !m_volume) {
        LOG_E("%s", "No mounted exFAT volume. \n");
        return -1;
    }
    int64_t total = static_cast<int64_t>(m_volume->AllocatedClusters() * m_volume->SectorsPerCluster());
    if (m_sink->Notify(INIT_CURRENT_PROGRESS, 0, &total, 0) < 0) {
        LOG_E("Notify(IEventSink::INIT_CURRENT_PROGRESS) failed, SectorsToCopy: %lld\n", static_cast<long long>(total));
        return -1;
    }
    try {
        m_claimed.assign(uint64_t{m_volume->ClusterCount()} + 2, false);
    } catch (const std::bad_alloc&) {
        LOG_E("%s", "Out Of Memory.\n");
        return -1;
    }

    std::deque<PendingFolder> pending;
    pending.push_back({m_volume->Boot().rootCluster, kMaxFolderBytes, false, {}});
    bool root = true;
    while (!pending.empty()) {
        const PendingFolder folder = std::move(pending.front());
        pending.pop_front();
        ExfatDirectory dir;
        if (ReadFolder(folder, dir) < 0) {
            if (root) {
                LOG_E("exFAT root folder at cluster %u cannot be read \n", folder.firstCluster);
                return -1;
            }
            LOG_E("exFAT folder %s at cluster %u cannot be read; taken as empty \n", Utf8(folder.path).c_str(),
                  folder.firstCluster);
            continue;
        }
        root = false;
        if (dir.badSets > 0)
            LOG_W("exFAT folder %s: %zu entry sets with a bad checksum or layout left out \n",
                  Utf8(folder.path).c_str(), dir.badSets);
        for (const ExfatFileEntry& f : dir.files) {
            if (f.deleted) {
                if (!f.IsDirectory() && PhotoFormatOfName(Utf8(f.name))) m_deletedFiles.push_back({f, folder.path});
                continue;
            }
            std::u16string name = f.name;
            m_sink->Notify(CURRENT_FILE_NAME, 0, name.data(), 0);
            if (f.IsDirectory()) {
                if (f.dataLength == 0 || f.dataLength > kMaxFolderBytes) {
                    LOG_E("exFAT folder %s holds %llu bytes of entries; left out \n", Utf8(f.name).c_str(),
                          static_cast<unsigned long long>(f.dataLength));
                    continue;
                }
                pending.push_back({f.firstCluster, f.dataLength, f.NoFatChain(),
                                   folder.path.empty() ? f.name : folder.path + u"/" + f.name});
            } else if (DealWithFile(f, folder.path) < 0) {
                LOG_E("%s", "Deal With File Failed. \n");
                return -1;
            }
        }
    }

    m_unnamed.Finish();
    // Deleted files last: the clusters of every live file are claimed by now.
    for (const auto& [f, path] : m_deletedFiles) DealWithDeletedFile(f, path);
    m_deletedFiles.clear();
    return 0;
}

int CExfatSearchPhoto::ReadFolder(const PendingFolder& folder, ExfatDirectory& out) {
    std::vector<uint8_t> bytes;
    if (m_volume->ReadStream(folder.firstCluster, folder.bytes, folder.noFatChain, bytes, &m_claimed) < 0) return -1;
    ParseExfatDirectory(bytes, true, out);
    return 0;
}

std::unique_ptr<PhotoItem> CExfatSearchPhoto::MakeItem(const ExfatFileEntry& file, const std::u16string& folder,
                                                       const std::vector<ExfatClusterRun>& runs,
                                                       PhotoCategory category, PhotoOrigin origin) const {
    auto item = std::make_unique<PhotoItem>();
    item->name = file.name;
    item->folder = folder;
    const int64_t t = ExfatTimeToUnix(file.modified, file.modified10ms, file.modifiedUtcOffset);
    if (t >= 0) {
        item->mtime = t;
        // Hundredths past the even second; whole seconds are in `t` already.
        if (file.modified10ms <= 199) item->mtimeNsec = (file.modified10ms % 100) * 10000000u;
    }
    item->category = category;
    item->origin = origin;
    item->size = static_cast<uint32_t>(file.dataLength);
    const auto spc = static_cast<int64_t>(m_volume->SectorsPerCluster());
    int64_t end = 0;
    for (const ExfatClusterRun& r : runs) {
        item->runs.push_back({static_cast<int64_t>(r.fileCluster) * spc,
                              static_cast<int64_t>(m_volume->ClusterToSector(r.cluster)),
                              static_cast<int64_t>(r.count) * spc});
        end = static_cast<int64_t>(r.fileCluster + r.count) * spc;
    }
    item->runs.push_back({end, kRunListEnd, 0});
    return item;
}

int CExfatSearchPhoto::DealWithFile(const ExfatFileEntry& file, const std::u16string& folder) {
    if (file.firstCluster < 2 || file.dataLength == 0) return 0;
    int64_t sectors = static_cast<int64_t>(
        std::min<uint64_t>((file.dataLength + SECTOR_SIZE - 1) / SECTOR_SIZE, INT64_MAX));
    int r = m_sink->Notify(UPDATE_CURRENT_PROGRESS, 0, &sectors, 0);
    if (r < 0) return r;

    const std::string utf8 = Utf8(file.name);
    const PhotoFormat* format = PhotoFormatOfName(utf8);
    // Every other file's clusters are claimed all the same: a deleted
    // photo must not be taken from them.
    std::vector<ExfatClusterRun> runs;
    const int got = m_volume->StreamRuns(file.firstCluster, file.dataLength, file.NoFatChain(), runs, &m_claimed);
    if (!format) {
        // Less than a sector would leave the rest of the sector to whatever
        // the cluster held before.
        if (m_store->LooksInside() && got >= 0 && !runs.empty() && file.dataLength >= SECTOR_SIZE &&
            file.dataLength <= kMaxPhotoBytes)
            LookInside(MakeItem(file, folder, runs, Other, FileSystem));
        return 0;
    }
    if (!m_store->Wants(format->category, file.dataLength)) return 0;
    if (got < 0 || runs.empty()) {
        LOG_E("Invalid exFAT File %s, Start Cluster: %u \n", utf8.c_str(), file.firstCluster);
        return 0;
    }
    if (file.dataLength > kMaxPhotoBytes) {
        LOG_E("exFAT file %s holds %llu bytes, too many for a photo; left out \n", utf8.c_str(),
              static_cast<unsigned long long>(file.dataLength));
        return 0;
    }
    m_store->AddItem(MakeItem(file, folder, runs, format->category, FileSystem));
    ++m_live;
    m_sink->Notify(PHOTO_FOUND, 1, nullptr, 0);
    return 0;
}

void CExfatSearchPhoto::LookInside(std::unique_ptr<PhotoItem> item) {
    uint64_t sector = 0;
    if (FirstSectorOf(*item, sector)) m_unnamed.Add(m_volume->Device(), sector, std::move(item));
}

void CExfatSearchPhoto::StoreSniffed(std::unique_ptr<PhotoItem>& item, const PhotoFormat& format) {
    if (!item) return;
    LOG_V("%s begins like a photo of type %.*s \n", Utf8(item->name).c_str(), static_cast<int>(format.typeName.size()),
          format.typeName.data());
    if (!m_store->Wants(format.category, item->size)) return;
    item->category = format.category;
    m_store->AddItem(std::move(item));
    ++m_live;
    m_sink->Notify(PHOTO_FOUND, 1, nullptr, 0);
}

std::vector<ExfatClusterRun> CExfatSearchPhoto::DeletedRuns(const ExfatFileEntry& file) {
    const uint64_t clusterBytes = m_volume->BytesPerCluster();
    const uint64_t n = (file.dataLength + clusterBytes - 1) / clusterBytes;
    auto usable = [&](uint64_t c) {
        return m_volume->ValidCluster(c) && !m_volume->IsAllocated(static_cast<uint32_t>(c)) && !m_claimed[c];
    };
    if (!usable(file.firstCluster) || n > m_volume->ClusterCount()) return {};
    std::vector<ExfatClusterRun> runs;
    auto add = [&](uint64_t taken, uint64_t c) {
        if (!runs.empty() && runs.back().cluster + uint64_t{runs.back().count} == c) ++runs.back().count;
        else runs.push_back({taken, static_cast<uint32_t>(c), 1});
    };

    if (file.NoFatChain()) {
        // It was stored in one piece: every cluster of it must still be free.
        for (uint64_t k = 0; k < n; ++k)
            if (!usable(uint64_t{file.firstCluster} + k)) return {};
        return {{0, file.firstCluster, static_cast<uint32_t>(n)}};
    }

    // Some systems leave a deleted file's FAT chain in place: follow it when
    // every link leads to a free cluster and it ends where the size does.
    {
        // The chain is followed at most n links: a set of its clusters, not a
        // flag per cluster of the volume, catches one that comes back.
        std::unordered_set<uint64_t> seen;
        uint64_t c = file.firstCluster;
        bool whole = true;
        for (uint64_t taken = 0; whole; ++taken) {
            seen.insert(c);
            add(taken, c);
            uint32_t next = 0;
            if (m_volume->GetFatEntry(static_cast<uint32_t>(c), next) != 0) whole = false;
            else if (next == EXFAT_END_OF_CHAIN) { whole = taken + 1 == n; break; }
            else if (taken + 1 == n || !usable(next) || seen.count(next)) whole = false;
            else c = next;
        }
        if (whole) return runs;
        runs.clear();
    }

    // Others clear it (exfat-fuse, Linux): take the free clusters from the
    // first one on, stepping over those in use, as undelete tools do.
    constexpr uint64_t kMaxSkipped = 65536;
    uint64_t skipped = 0;
    uint64_t c = file.firstCluster;
    for (uint64_t taken = 0; taken < n; ++c) {
        if (!m_volume->ValidCluster(c) || skipped > std::max(n, kMaxSkipped)) return {};
        if (!usable(c)) {
            ++skipped;
            continue;
        }
        add(taken++, c);
    }
    return runs;
}

void CExfatSearchPhoto::DealWithDeletedFile(const ExfatFileEntry& file, const std::u16string& folder) {
    const std::string utf8 = Utf8(file.name);
    const PhotoFormat* named = PhotoFormatOfName(utf8);
    if (!named || file.firstCluster < 2 || file.dataLength == 0 || file.dataLength > kMaxPhotoBytes) return;
    std::vector<ExfatClusterRun> runs = DeletedRuns(file);
    if (runs.empty()) {
        LOG_V("Deleted exFAT file %s: its clusters from %u are in use again \n", utf8.c_str(), file.firstCluster);
        return;
    }
    std::unique_ptr<PhotoItem> item = MakeItem(file, folder, runs, named->category, DeletedRecord);

    // The data must still be the photo its name says, as for FAT and NTFS.
    CRunByteSource src(m_volume->Device(), item->runs, file.dataLength);
    std::string_view why;
    const uint64_t clusterBytes = uint64_t{m_volume->SectorsPerCluster()} * SECTOR_SIZE;
    const PhotoFormat* found = CheckDeletedPhoto(src, *named, clusterBytes, why);
    if (!found) {
        LOG_V("Deleted exFAT file %s left to the raw scan: %.*s \n", utf8.c_str(), static_cast<int>(why.size()),
              why.data());
        return;
    }
    item->category = found->category;
    for (const ExfatClusterRun& r : runs)
        for (uint32_t k = 0; k < r.count; ++k) m_claimed[r.cluster + k] = true;
    // The raw scan is not to find it again, kept or not.
    for (const PhotoRun& r : item->runs)
        if (r.sectorCount > 0) m_deletedSectors.emplace_back(r.volumeSector, r.sectorCount);
    if (!m_store->Wants(item->category, file.dataLength)) return;
    m_store->AddItem(std::move(item));
    ++m_deleted;
    m_sink->Notify(PHOTO_FOUND, 1, nullptr, 0);
}
