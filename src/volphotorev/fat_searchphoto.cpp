#include "volphotorev/fat_searchphoto.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <new>

#include "io/deviceio.h"
#include "io/le.h"
#include "io/log.h"
#include "io/partition.h"
#include "photoformats/photoformat.h"
#include "io/utf.h"
#include "volphotorev/deletedphoto.h"

namespace {

constexpr size_t kDirEntrySize = 32;
constexpr int64_t kRunListEnd = -3;         // volumeSector of a run list's end entry
// A FAT directory holds at most 65536 entries.
constexpr size_t kMaxDirEntries = 65536;
// A folder path is not made longer than this (a corrupt tree can nest
// folders without end); deeper folders keep the path of the last one.
constexpr size_t kMaxFolderUnits = 1024;
// Clusters in use a deleted file may skip between two of its own: more than
// this and what follows is not taken for the file's.
constexpr uint32_t kMaxDeletedGap = 65536;

bool IsEndOfChain(uint32_t entry) { return (entry & FAT32_ENTRY_MASK) >= FAT32_END_OF_CHAIN; }

std::u16string Join(const std::u16string& folder, const std::u16string& name) {
    if (folder.size() >= kMaxFolderUnits) return folder;
    const std::u16string part = name.empty() ? u"_" : name;  // a blank 8.3 name
    return folder.empty() ? part : folder + u"/" + part;
}

// The entries of a directory cluster as every writer leaves them: each
// either unused, a long-name part of type 0 and cluster 0, or a short entry
// whose name has no control byte and whose attribute has no unknown bit.
bool LooksLikeDirectoryCluster(const uint8_t* bytes, size_t n) {
    for (size_t off = 0; off + kDirEntrySize <= n; off += kDirEntrySize) {
        const uint8_t* e = bytes + off;
        if (e[0] == FAT_ENTRY_END) return true;
        const uint8_t attr = e[FAT_DIRENT_ATTR];
        if ((attr & 0x3F) == FAT_ATTR_LONG_NAME) {
            if (e[FAT_LFN_TYPE] != 0 || e[FAT_DIRENT_CLUSTER_LO] != 0 || e[FAT_DIRENT_CLUSTER_LO + 1] != 0) return false;
            continue;
        }
        if (attr & 0xC0) return false;
        for (size_t k = 1; k < 11; ++k)
            if (e[k] < 0x20) return false;
    }
    return true;
}

bool IsDotEntry(const uint8_t* e, bool twoDots, uint32_t cluster, bool lowWordOnly) {
    const char* name = twoDots ? "..         " : ".          ";
    if (std::memcmp(e, name, 11) != 0 || !(e[FAT_DIRENT_ATTR] & FAT_ATTR_DIRECTORY)) return false;
    le::Bytes b(e, kDirEntrySize);
    const uint32_t hi = lowWordOnly ? 0 : le::u16(b, FAT_DIRENT_CLUSTER_HI);
    return ((hi << 16) | le::u16(b, FAT_DIRENT_CLUSTER_LO)) == cluster;
}

}  // namespace

CFatSearchPhoto::CFatSearchPhoto(IPartition* partition, FatVolume* volume, IPhotoItmesMgr* store)
    : m_partition(partition), m_volume(volume), m_store(store) {}

int CFatSearchPhoto::Do(IEventSink* sink) {
    int r = sink->Notify(CURRENT_TASK_START, 0, m_partition, 0);
    if (r < 0) return r;
    m_sink = sink;
    r = TraverseFileRecord();
    if (r >= 0) r = sink->Notify(CURRENT_TASK_FINISHED, 0, nullptr, 0);
    m_sink = nullptr;
    return r < 0 ? r : 0;
}

bool CFatSearchPhoto::EnsureClaimMap() {
    if (!m_claimed.empty()) return true;
    try {
        m_claimed.assign(size_t{m_volume->fat->highestCluster()} + 1, false);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool CFatSearchPhoto::Claimed(uint32_t cluster) const {
    return cluster < m_claimed.size() && m_claimed[cluster];
}

bool CFatSearchPhoto::Claim(uint32_t cluster) {
    if (cluster >= m_claimed.size() || m_claimed[cluster]) return false;
    m_claimed[cluster] = true;
    return true;
}

int CFatSearchPhoto::TraverseFileRecord() {
    if (!m_sink || !m_store || !m_volume || !m_volume->device || !m_volume->dbr || !m_volume->fat ||
        !m_volume->dbr->GetRaw() || m_volume->dbr->GetSectorsPerCluster() == 0) {
        LOG_E("%s", "No mounted FAT volume. \n");
        return -1;
    }
    // FAT12 and FAT16 keep the root folder in a region of its own after the
    // FATs, and only the low word of a first cluster.
    m_fixedRoot = m_volume->dbr->GetFatBits() != 32;

    int64_t total = 0;
    if (m_partition && m_partition->GetLen() > m_partition->GetFreeSec())
        total = static_cast<int64_t>(m_partition->GetLen() - m_partition->GetFreeSec());
    if (m_sink->Notify(INIT_CURRENT_PROGRESS, 0, &total, 0) < 0) {
        LOG_E("Notify(IEventSink::INIT_CURRENT_PROGRESS) failed, SectorsToCopy: %lld\n", static_cast<long long>(total));
        return -1;
    }
    m_skipBudget = 4 * uint64_t{m_volume->fat->highestCluster()} + (uint64_t{1} << 20);

    // Breadth first: a directory's subdirectories join the back of the queue.
    std::deque<PendingDir> pending;
    if (m_fixedRoot) pending.push_back(PendingDir{0, 0, u"", false, true});
    else pending.push_back(PendingDir{m_volume->dbr->GetRootCluster(), 0, u"", false, false});

    while (!pending.empty()) {
        const PendingDir dir = std::move(pending.front());
        pending.pop_front();
        std::vector<FatDirEntry> entries;
        if (dir.fixedRoot) {
            if (GetRootDirItems(entries) < 0) {
                LOG_E("%s", "Root folder cannot be read. \n");
                return -1;
            }
        } else if (!dir.deleted) {
            if (GetSubFileItemsOfDir(dir.cluster, entries) < 0) {
                LOG_E("Get SubFiles Failed, Start Cluster: %u \n", dir.cluster);
                return -1;
            }
        } else if (GetDeletedDirItems(dir.cluster, dir.parentCluster, entries) < 0) {
            continue;
        }
        std::vector<FatDirItem> items = ParseFatDirectory(entries, true);
        InferLostFirstCharacters(items);
        // ".." of a folder in the root names cluster 0 (FAT12/16 keep no
        // root cluster: the boot record's field is something else there).
        const bool root = dir.fixedRoot || (!m_fixedRoot && dir.cluster == m_volume->dbr->GetRootCluster());
        const uint32_t self = root ? 0 : dir.cluster;
        for (const FatDirItem& item : items) {
            const std::string narrow = Utf16ToUtf8(item.name);
            LOG_V("File: %s%s \n", narrow.c_str(), item.deleted ? " (deleted)" : "");
            std::u16string shown = item.name;
            m_sink->Notify(CURRENT_FILE_NAME, 0, shown.data(), 0);
            if (item.IsDotEntry()) continue;
            if (item.IsDirectory()) {
                pending.push_back(PendingDir{FirstClusterOf(item), self, Join(dir.path, item.name), item.deleted, false});
            } else if (item.deleted) {
                DealWithDeletedFile(item, dir.path);
            } else if (DealWithFile(item, dir.path) < 0) {
                LOG_E("%s", "Deal With File Failed. \n");
                return -1;
            }
        }
    }
    m_unnamed.Finish();
    return 0;
}

int CFatSearchPhoto::GetSubFileItemsOfDir(uint32_t firstCluster, std::vector<FatDirEntry>& entries) {
    const uint32_t highest = m_volume->fat->highestCluster();
    uint32_t c = firstCluster;
    if (c < 2 || c > highest) {
        LOG_E("Invalid Cluster Number: %u \n", c);
        return 0;
    }
    const size_t clusterBytes = size_t{m_volume->dbr->GetSectorsPerCluster()} * SECTOR_SIZE;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[clusterBytes]);
    if (!buffer || !EnsureClaimMap()) {
        LOG_E("%s", "Out Of Memory.\n");
        return -1;
    }
    if (Claimed(c)) {
        LOG_E("Directory cluster already visited, taken as empty, Start Cluster: %u \n", c);
        return 0;
    }

    for (;;) {
        Claim(c);
        if (ReadClustersFromSrc(c, buffer.get()) < 0) {
            LOG_E("Read Cluster From Source FAT32 Partition: %u \n", c);
            return -1;
        }
        for (size_t off = 0; off + kDirEntrySize <= clusterBytes; off += kDirEntrySize) {
            if (buffer[off] == FAT_ENTRY_END) return 0;
            if (entries.size() >= kMaxDirEntries) {
                LOG_E("Directory holds more than %zu entries, Start Cluster: %u \n", kMaxDirEntries, firstCluster);
                return 0;
            }
            FatDirEntry entry;
            std::memcpy(entry.data(), buffer.get() + off, kDirEntrySize);
            entries.push_back(entry);
        }

        uint32_t next = 0;
        if (m_volume->fat->GetEntry(c, next) < 0 || IsEndOfChain(next)) return 0;
        if (next < 2 || next > highest) {
            LOG_E("Invalid Cluster Number: %u \n", next);
            return -1;
        }
        if (Claimed(next)) {
            // A chain that loops or runs into another directory: what was
            // read so far is the directory.
            LOG_E("Directory chain loops back, Start Cluster: %u, Cluster: %u \n", firstCluster, next);
            return 0;
        }
        c = next;
    }
}

int CFatSearchPhoto::GetRootDirItems(std::vector<FatDirEntry>& entries) {
    const uint64_t sectors = m_volume->dbr->GetRootDirSectors();
    const uint64_t first = m_volume->dbr->GetRootDirSector();
    const size_t bytes = static_cast<size_t>(sectors) * SECTOR_SIZE;  // at most 4096 sectors
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[bytes == 0 ? 1 : bytes]);
    if (!buffer) {
        LOG_E("%s", "Out Of Memory.\n");
        return -1;
    }
    // Cleared first for the same reason as a cluster (ReadClustersFromSrc).
    std::memset(buffer.get(), 0, bytes);
    if (sectors != 0 && m_volume->device->ReadSectors(first, sectors, buffer.get()) != sectors) {
        LOG_E("Read Disk Sector Failed, Start Sector: %llu, Sectors: %llu \n", static_cast<unsigned long long>(first),
              static_cast<unsigned long long>(sectors));
        return -1;
    }
    const size_t limit = std::min<size_t>(bytes / kDirEntrySize, m_volume->dbr->GetRootEntries());
    for (size_t k = 0; k < limit && k < kMaxDirEntries; ++k) {
        const uint8_t* e = buffer.get() + k * kDirEntrySize;
        if (e[0] == FAT_ENTRY_END) break;
        FatDirEntry entry;
        std::memcpy(entry.data(), e, kDirEntrySize);
        entries.push_back(entry);
    }
    return 0;
}

int CFatSearchPhoto::GetDeletedDirItems(uint32_t firstCluster, uint32_t parentCluster,
                                        std::vector<FatDirEntry>& entries) {
    const FAT32_FAT_Buffer& fat = *m_volume->fat;
    const uint32_t highest = fat.highestCluster();
    const size_t clusterBytes = size_t{m_volume->dbr->GetSectorsPerCluster()} * SECTOR_SIZE;
    if (firstCluster < 2 || firstCluster > highest || !EnsureClaimMap()) return -1;
    if (!fat.IsFree(firstCluster) || Claimed(firstCluster)) {
        LOG_T("Deleted folder at cluster %u: the cluster is in use again \n", firstCluster);
        return -1;
    }
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[clusterBytes]);
    if (!buffer || ReadClustersFromSrc(firstCluster, buffer.get()) < 0) return -1;
    if (clusterBytes < 2 * kDirEntrySize || !IsDotEntry(buffer.get(), false, firstCluster, m_fixedRoot) ||
        !IsDotEntry(buffer.get() + kDirEntrySize, true, parentCluster, m_fixedRoot) ||
        !LooksLikeDirectoryCluster(buffer.get(), clusterBytes)) {
        LOG_T("Deleted folder at cluster %u: the cluster holds something else now \n", firstCluster);
        return -1;
    }

    // The chain is gone: a folder that outgrew its first cluster went on in
    // the next free ones, as long as they still look like its entries.
    uint32_t c = firstCluster;
    for (;;) {
        Claim(c);
        for (size_t off = 0; off + kDirEntrySize <= clusterBytes; off += kDirEntrySize) {
            if (buffer[off] == FAT_ENTRY_END || entries.size() >= kMaxDirEntries) return 0;
            FatDirEntry entry;
            std::memcpy(entry.data(), buffer.get() + off, kDirEntrySize);
            entries.push_back(entry);
        }
        uint32_t next = c + 1;
        while (next <= highest && next - c <= kMaxDeletedGap && (!fat.IsFree(next) || Claimed(next))) ++next;
        if (next > highest || next - c > kMaxDeletedGap) return 0;
        if (ReadClustersFromSrc(next, buffer.get()) < 0 || !LooksLikeDirectoryCluster(buffer.get(), clusterBytes) ||
            buffer[0] == FAT_ENTRY_END)
            return 0;
        c = next;
    }
}

int CFatSearchPhoto::ReadClustersFromSrc(uint32_t cluster, uint8_t* buffer) {
    if (cluster < 2 || cluster > m_volume->fat->highestCluster()) {
        LOG_E("Invalid Cluster Number: %u \n", cluster);
        return -1;
    }
    const uint64_t spc = m_volume->dbr->GetSectorsPerCluster();
    const uint32_t sector = ClusterToSector(m_volume->dbr->GetRaw(), cluster);
    // The device reports unreadable sectors as read and leaves their bytes
    // alone: cleared first, they end the directory instead of showing the
    // previous cluster's entries (or never-written memory) once more.
    std::memset(buffer, 0, spc * SECTOR_SIZE);
    if (m_volume->device->ReadSectors(sector, spc, buffer) != spc) {
        LOG_E("Read Disk Sector Failed, Start Sector: %lld, Sectors: %lld \n ", static_cast<long long>(sector),
              static_cast<long long>(spc));
        return -1;
    }
    return 0;
}

void CFatSearchPhoto::ToSectorRuns(std::vector<PhotoRun>& runs) const {
    const uint64_t spc = m_volume->dbr->GetSectorsPerCluster();
    const uint8_t* raw = m_volume->dbr->GetRaw();
    for (PhotoRun& run : runs) {
        run.fileSector *= static_cast<int64_t>(spc);
        if (run.sectorCount == 0) break;
        run.volumeSector = ClusterToSector(raw, static_cast<uint32_t>(run.volumeSector));
        run.sectorCount *= static_cast<int64_t>(spc);
    }
}

uint32_t CFatSearchPhoto::FirstClusterOf(const FatDirItem& item) const {
    return m_fixedRoot ? le::u16(le::Bytes(item.entry), FAT_DIRENT_CLUSTER_LO) : item.FirstCluster();
}

int CFatSearchPhoto::DealWithFile(const FatDirItem& file, const std::u16string& folder) {
    const uint32_t first = FirstClusterOf(file);
    const uint32_t size = file.Size();
    if (first < 2 || size == 0) return 0;

    int64_t sectors = (int64_t{size} + SECTOR_SIZE - 1) / SECTOR_SIZE;
    int r = m_sink->Notify(UPDATE_CURRENT_PROGRESS, 0, &sectors, 0);
    if (r < 0) return r;

    const PhotoFormat* format = file.name.size() < 5 ? nullptr : PhotoFormatOfName(Utf16ToUtf8(file.name));
    Unnamed live{file.name, folder, first, size, file.ModifiedTime()};
    if (!format) {
        // Less than a sector would leave the rest of the sector to whatever
        // the cluster held before.
        if (m_store->LooksInside() && size >= SECTOR_SIZE) LookInside(std::move(live));
        return 0;
    }
    if (!m_store->Wants(format->category, size)) return 0;
    StoreLiveFile(live, format->category);
    return 0;
}

void CFatSearchPhoto::StoreLiveFile(const Unnamed& file, PhotoCategory category) {
    const uint64_t clusterBytes = uint64_t{m_volume->dbr->GetSectorsPerCluster()} * SECTOR_SIZE;
    const auto clusters = static_cast<uint32_t>((uint64_t{file.size} + clusterBytes - 1) / clusterBytes);
    std::vector<PhotoRun> runs = GetFileRunList(file.firstCluster, clusters);
    if (runs.empty()) {
        LOG_E("Invalid Fat32 File, Start Sector: %u \n", file.firstCluster);
        return;
    }
    ToSectorRuns(runs);

    auto item = std::make_unique<PhotoItem>();
    item->name = file.name;
    item->folder = file.folder;
    item->category = category;
    item->origin = FileSystem;
    item->runs = std::move(runs);
    item->size = file.size;
    item->mtime = file.mtime;
    m_store->AddItem(std::move(item));
    m_sink->Notify(PHOTO_FOUND, 1, nullptr, 0);
}

void CFatSearchPhoto::LookInside(Unnamed file) {
    const uint32_t first = file.firstCluster;
    if (first < 2 || first > m_volume->fat->highestCluster()) return;
    m_unnamed.Add(m_volume->device, ClusterToSector(m_volume->dbr->GetRaw(), first), std::move(file));
}

void CFatSearchPhoto::StoreSniffed(const Unnamed& file, const PhotoFormat& format) {
    LOG_V("%s begins like a photo of type %.*s \n", Utf16ToUtf8(file.name).c_str(),
          static_cast<int>(format.typeName.size()), format.typeName.data());
    if (m_store->Wants(format.category, file.size)) StoreLiveFile(file, format.category);
}

int CFatSearchPhoto::DealWithDeletedFile(const FatDirItem& file, const std::u16string& folder) {
    const uint32_t first = FirstClusterOf(file);
    const uint32_t size = file.Size();
    if (first < 2 || size == 0 || file.name.size() < 5) return 0;
    const std::string narrow = Utf16ToUtf8(file.name);
    const PhotoFormat* named = PhotoFormatOfName(narrow);
    if (!named) return 0;

    const uint64_t clusterBytes = uint64_t{m_volume->dbr->GetSectorsPerCluster()} * SECTOR_SIZE;
    const uint64_t clusters = (uint64_t{size} + clusterBytes - 1) / clusterBytes;
    if (clusters > m_volume->fat->highestCluster()) {
        LOG_T("Deleted %s: its size %u is larger than the volume \n", narrow.c_str(), size);
        return 0;
    }
    std::vector<PhotoRun> runs = GetDeletedFileRunList(first, static_cast<uint32_t>(clusters));
    if (runs.empty()) {
        LOG_T("Deleted %s: its clusters from %u are in use again \n", narrow.c_str(), first);
        return 0;
    }
    ToSectorRuns(runs);

    CRunByteSource bytes(m_volume->device, runs, size);
    std::string_view why;
    const PhotoFormat* format = CheckDeletedPhoto(bytes, *named, clusterBytes, why);
    if (!format) {
        LOG_T("Deleted %s left to the raw scan: %.*s \n", narrow.c_str(), static_cast<int>(why.size()), why.data());
        return 0;
    }
    // Its clusters are the photo's now: no other deleted file takes them.
    for (const PhotoRun& run : runs) {
        if (run.sectorCount == 0) break;
        m_deletedSectors.emplace_back(run.volumeSector, run.sectorCount);
        uint32_t cluster = 0, offset = 0;
        m_volume->dbr->SectorToCluster(static_cast<uint32_t>(run.volumeSector), cluster, offset);
        const uint64_t n = static_cast<uint64_t>(run.sectorCount) / m_volume->dbr->GetSectorsPerCluster();
        for (uint64_t k = 0; k < n; ++k) Claim(cluster + static_cast<uint32_t>(k));
    }
    // A photo of a type not chosen still keeps its sectors from the raw scan.
    if (!m_store->Wants(format->category, size)) return 0;

    auto item = std::make_unique<PhotoItem>();
    item->name = file.name;
    item->folder = folder;
    item->category = format->category;
    item->origin = DeletedRecord;
    item->runs = std::move(runs);
    item->size = size;
    item->mtime = file.ModifiedTime();
    LOG_V("Deleted photo %s of %u bytes kept its clusters \n", narrow.c_str(), size);
    m_store->AddItem(std::move(item));
    m_sink->Notify(PHOTO_FOUND, 1, nullptr, 0);
    return 0;
}

std::vector<PhotoRun> CFatSearchPhoto::GetDeletedFileRunList(uint32_t firstCluster, uint32_t clusterCount) {
    const FAT32_FAT_Buffer& fat = *m_volume->fat;
    const uint32_t highest = fat.highestCluster();
    if (firstCluster < 2 || firstCluster > highest || clusterCount == 0 || !EnsureClaimMap()) return {};
    if (!fat.IsFree(firstCluster) || Claimed(firstCluster)) return {};
    std::vector<PhotoRun> runs;
    runs.push_back({0, firstCluster, 1});
    uint32_t prev = firstCluster;
    for (uint32_t taken = 1; taken < clusterCount; ++taken) {
        uint32_t next = prev + 1;
        while (next <= highest && (!fat.IsFree(next) || Claimed(next))) {
            if (next - prev > kMaxDeletedGap) return {};
            if (m_skipBudget == 0) {
                if (!m_budgetSpent) LOG_W("%s", "Deleted files passed over too many clusters in use; no more are looked at \n");
                m_budgetSpent = true;
                return {};
            }
            --m_skipBudget;
            ++next;
        }
        if (next > highest) return {};
        if (next == prev + 1) {
            ++runs.back().sectorCount;
        } else {
            const PhotoRun& last = runs.back();
            runs.push_back({last.fileSector + last.sectorCount, next, 1});
        }
        prev = next;
    }
    const PhotoRun& last = runs.back();
    runs.push_back({last.fileSector + last.sectorCount, kRunListEnd, 0});
    return runs;
}

std::vector<PhotoRun> CFatSearchPhoto::GetFileRunList(uint32_t firstCluster, uint32_t clusterCount) {
    const uint32_t highest = m_volume->fat->highestCluster();
    if (firstCluster < 2 || firstCluster > highest) {
        LOG_E("Invalid Cluster Number: %u \n", firstCluster);
        return {};
    }
    std::vector<PhotoRun> runs;
    try {
        runs.reserve(10);
    } catch (const std::bad_alloc&) {
        LOG_E("%s", "Out of Memory!");
        return {};
    }
    if (!EnsureClaimMap()) {
        LOG_E("%s", "Out of Memory!");
        return {};
    }
    // A cluster already followed belongs to another file or directory, or
    // this chain loops: the file cannot be trusted.
    if (!Claim(firstCluster)) {
        LOG_E("Cluster already in use by the walk, Cluster: %u \n", firstCluster);
        return {};
    }

    runs.push_back({0, firstCluster, 1});
    uint32_t taken = 1;
    uint32_t prev = firstCluster;
    uint32_t e = 0;
    if (m_volume->fat->GetEntry(prev, e) == 0) {
        for (;;) {
            if (IsEndOfChain(e)) break;
            if (taken >= clusterCount) break;
            if (e < 2 || e > highest) {
                LOG_E("Invalid Cluster Number: %u \n", prev);
                return {};
            }
            if (!Claim(e)) {
                LOG_E("Cluster already in use by the walk, Cluster: %u \n", e);
                return {};
            }
            ++taken;
            if (e == prev + 1) {
                ++runs.back().sectorCount;
            } else {
                const PhotoRun& last = runs.back();
                try {
                    runs.push_back({last.fileSector + last.sectorCount, e, 1});
                } catch (const std::bad_alloc&) {
                    LOG_E("%s", "Out of Memory. \n");
                    return {};
                }
            }
            prev = e;
            if (m_volume->fat->GetEntry(prev, e) < 0) break;
        }
    }
    const PhotoRun& last = runs.back();
    try {
        runs.push_back({last.fileSector + last.sectorCount, kRunListEnd, 0});
    } catch (const std::bad_alloc&) {
        LOG_E("%s", "Out of Memory. \n");
        return {};
    }
    return runs;
}

std::u16string CFatSearchPhoto::ShortNameToString(const FatDirEntry& entry) { return DecodeShortName(entry); }
