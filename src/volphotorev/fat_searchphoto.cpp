#include "volphotorev/fat_searchphoto.h"

#include <cstring>
#include <deque>
#include <memory>
#include <new>

#include "io/deviceio.h"
#include "io/le.h"
#include "io/log.h"
#include "io/partition.h"
#include "io/utf.h"
#include "photoformats/photoformat.h"

namespace {

constexpr uint8_t kAttrVolumeLabel = 0x08;  // also set in long-name entries (0x0F)
constexpr uint8_t kAttrDirectory = 0x10;
constexpr uint8_t kEntryFree = 0x00;        // this and every later entry are unused
constexpr uint8_t kEntryDeleted = 0xE5;
constexpr size_t kDirEntrySize = 32;
constexpr int64_t kRunListEnd = -3;         // volumeSector of a run list's end entry
constexpr size_t kMaxNameUnits = 260;

uint32_t FirstCluster(const FatDirEntry& e) {
    le::Bytes b(e);
    return (static_cast<uint32_t>(le::u16(b, 20)) << 16) | le::u16(b, 26);
}

uint32_t FileSize(const FatDirEntry& e) { return le::u32(le::Bytes(e), 28); }
uint8_t Attributes(const FatDirEntry& e) { return e[11]; }

// Each byte becomes the UTF-16 unit of the same value.
std::u16string Widen(const std::string& name) {
    std::u16string out;
    for (size_t i = 0; i < name.size() && i < kMaxNameUnits; ++i)
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(name[i])));
    return out;
}

bool IsEndOfChain(uint32_t entry) { return (entry & FAT32_ENTRY_MASK) >= FAT32_END_OF_CHAIN; }

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
        LOG_E("%s", "No mounted FAT32 volume. \n");
        return -1;
    }

    int64_t total = 0;
    if (m_partition && m_partition->GetLen() > m_partition->GetFreeSec())
        total = static_cast<int64_t>(m_partition->GetLen() - m_partition->GetFreeSec());
    if (m_sink->Notify(INIT_CURRENT_PROGRESS, 0, &total, 0) < 0) {
        LOG_E("Notify(IEventSink::INIT_CURRENT_PROGRESS) failed, SectorsToCopy: %lld\n", static_cast<long long>(total));
        return -1;
    }

    // Breadth first: a directory's subdirectories join the back of the queue.
    std::deque<FatDirEntry> pending;
    FatDirEntry root{};
    uint32_t rootCluster = m_volume->dbr->GetRootCluster();
    le::put16(root, 20, static_cast<uint16_t>(rootCluster >> 16));
    le::put16(root, 26, static_cast<uint16_t>(rootCluster & 0xFFFF));
    pending.push_back(root);

    while (!pending.empty()) {
        uint32_t cluster = FirstCluster(pending.front());
        std::vector<FatDirEntry> entries;
        if (GetSubFileItemsOfDir(cluster, entries) < 0) {
            LOG_E("Get SubFiles Failed, Start Cluster: %u \n", cluster);
            return -1;
        }
        for (const FatDirEntry& entry : entries) {
            if (Attributes(entry) & kAttrVolumeLabel) continue;
            std::string name = ShortNameToString(entry);
            LOG_V("File: %s \n", name.c_str());
            std::u16string wide = Widen(name);
            m_sink->Notify(CURRENT_FILE_NAME, 0, wide.data(), 0);
            if (name == "." || name == "..") continue;
            if (Attributes(entry) & kAttrDirectory) {
                pending.push_back(entry);
            } else if (DealWithFile(name, entry) < 0) {
                LOG_E("%s", "Deal With File Failed. \n");
                return -1;
            }
        }
        pending.pop_front();
    }
    StoreUnnamedPhotos();
    if (m_sniffer)
        LOG_V("Looked at the first sector of %llu files in %llu reads \n",
              static_cast<unsigned long long>(m_sniffer->Files()), static_cast<unsigned long long>(m_sniffer->Reads()));
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
            const uint8_t first = buffer[off];
            if (first == kEntryFree) return 0;
            if (first == kEntryDeleted) continue;
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

int CFatSearchPhoto::DealWithFile(const std::string& name, const FatDirEntry& entry) {
    const uint32_t first = FirstCluster(entry);
    const uint32_t size = FileSize(entry);
    if (first < 2 || size == 0) return 0;

    int64_t sectors = (int64_t{size} + SECTOR_SIZE - 1) / SECTOR_SIZE;
    int r = m_sink->Notify(UPDATE_CURRENT_PROGRESS, 0, &sectors, 0);
    if (r < 0) return r;

    const int category = name.size() < 5 ? -1 : GetPhotoCategory(name.c_str());
    if (category < 0) {
        // Less than a sector would leave the rest of the sector to whatever
        // the cluster held before.
        if (m_store->LooksInside() && size >= SECTOR_SIZE) LookInside(Unnamed{Widen(name), {}, first, size, 0});
        return 0;
    }
    if (!m_store->Wants(category, size)) return 0;
    StoreLiveFile(Unnamed{Widen(name), {}, first, size, 0}, static_cast<PhotoCategory>(category));
    return 0;
}

void CFatSearchPhoto::StoreLiveFile(const Unnamed& file, PhotoCategory category) {
    const uint64_t spc = m_volume->dbr->GetSectorsPerCluster();
    const uint64_t clusterBytes = spc * SECTOR_SIZE;
    const auto clusters = static_cast<uint32_t>((uint64_t{file.size} + clusterBytes - 1) / clusterBytes);
    std::vector<PhotoRun> runs = GetFileRunList(file.firstCluster, clusters);
    if (runs.empty()) {
        LOG_E("Invalid Fat32 File, Start Sector: %u \n", file.firstCluster);
        return;
    }

    // Clusters to sectors; the end entry keeps count 0 and volumeSector -3.
    const uint8_t* raw = m_volume->dbr->GetRaw();
    for (PhotoRun& run : runs) {
        run.fileSector *= static_cast<int64_t>(spc);
        if (run.sectorCount == 0) break;
        run.volumeSector = ClusterToSector(raw, static_cast<uint32_t>(run.volumeSector));
        run.sectorCount *= static_cast<int64_t>(spc);
    }

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
    if (!m_sniffer) m_sniffer = std::make_unique<CContentSniffer>(m_volume->device);
    try {
        m_unnamed.push_back(std::move(file));
    } catch (const std::bad_alloc&) {
        return;
    }
    m_sniffer->Add(ClusterToSector(m_volume->dbr->GetRaw(), first), m_unnamed.size() - 1);
    if (m_sniffer->Full()) StoreUnnamedPhotos();
}

void CFatSearchPhoto::StoreUnnamedPhotos() {
    if (!m_sniffer) return;
    m_sniffer->Flush([&](uint64_t tag, const PhotoFormat& format) {
        if (tag >= m_unnamed.size()) return;
        const Unnamed& file = m_unnamed[tag];
        LOG_V("%s begins like a photo of type %.*s \n", Utf16ToUtf8(file.name).c_str(),
              static_cast<int>(format.typeName.size()), format.typeName.data());
        if (m_store->Wants(format.category, file.size)) StoreLiveFile(file, format.category);
    });
    m_unnamed.clear();
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

std::string CFatSearchPhoto::ShortNameToString(const FatDirEntry& entry) {
    char buf[13] = {};
    auto lengthOf = [&](size_t from, size_t count) {
        size_t len = 0;
        for (size_t i = 0; i < count; ++i)
            if (entry[from + i] > 0x20) len = i + 1;
        return len;
    };
    const size_t base = lengthOf(0, 8);
    const size_t ext = lengthOf(8, 3);
    if (base == 0) return {};
    std::memcpy(buf, entry.data(), base);
    if (ext != 0) {
        buf[base] = '.';
        std::memcpy(buf + base + 1, entry.data() + 8, ext);
    }
    // A zero byte inside the name ends it, as it would in a C string.
    return std::string(buf);
}
