#include "filesystem/fatmount.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <span>

#include "io/deviceio.h"
#include "io/le.h"
#include "io/log.h"

namespace {

// Boot record layout (little-endian).
constexpr size_t kBytesPerSectorOff = 11;     // uint16
constexpr size_t kSectorsPerClusterOff = 13;  // uint8
constexpr size_t kReservedSectorsOff = 14;    // uint16
constexpr size_t kFatCountOff = 16;           // uint8
constexpr size_t kSectorsPerTrackOff = 24;    // uint16
constexpr size_t kHeadsOff = 26;              // uint16
constexpr size_t kHiddenSectorsOff = 28;      // uint32
constexpr size_t kRootEntriesOff = 17;        // uint16: FAT12/16's fixed root folder
constexpr size_t kTotalSectors16Off = 19;     // uint16, 0 when the 32-bit form holds the count
constexpr size_t kSectorsPerFat16Off = 22;    // uint16, 0 on FAT32
constexpr size_t kTotalSectorsOff = 32;       // uint32
constexpr size_t kSectorsPerFatOff = 36;      // uint32
constexpr size_t kRootClusterOff = 44;        // uint32
constexpr size_t kBackupBootOff = 50;         // uint16

// A FAT never needs more than 2^28 entries of 4 bytes.
constexpr uint32_t kMaxSectorsPerFat = (uint32_t{1} << 28) * 4 / SECTOR_SIZE;
constexpr uint32_t kMaxFatCount = 4;

le::Bytes View(const uint8_t* raw) {
    return raw ? le::Bytes(raw, FAT32_DBR_SIZE) : le::Bytes();
}

// FAT12 and FAT16 keep their sizes in 16-bit fields when they fit; FAT32
// leaves those 0 and uses the 32-bit ones.
uint32_t SectorsPerFat(le::Bytes b) {
    const uint16_t small = le::u16(b, kSectorsPerFat16Off);
    return small ? small : le::u32(b, kSectorsPerFatOff);
}

uint32_t TotalSectors(le::Bytes b) {
    const uint16_t small = le::u16(b, kTotalSectors16Off);
    return small ? small : le::u32(b, kTotalSectorsOff);
}

// Sectors of the fixed root folder (FAT12/16; 0 on FAT32).
uint32_t RootDirSectors(le::Bytes b) { return (uint32_t{le::u16(b, kRootEntriesOff)} * 32 + 511) / 512; }

uint32_t FirstDataSector(le::Bytes b) {
    return static_cast<uint32_t>(le::u8(b, kFatCountOff)) * SectorsPerFat(b) + le::u16(b, kReservedSectorsOff) +
           RootDirSectors(b);
}

// The geometry checks a careful reader makes before trusting a boot record.
// Answers null when it is usable, else what is wrong with it.
const char* CheckGeometry(const FAT32_DBR_Buff& dbr, int64_t partitionSectors) {
    uint32_t spc = dbr.GetSectorsPerCluster();
    if (dbr.GetBytesPerSector() != SECTOR_SIZE) return "bytes per sector is not 512";
    if (spc == 0 || (spc & (spc - 1)) != 0) return "sectors per cluster is not a power of two";
    if (dbr.GetReservedSectors() == 0) return "no reserved sectors";
    if (dbr.GetFatCount() == 0 || dbr.GetFatCount() > kMaxFatCount) return "FAT count out of range";
    if (dbr.GetSectorsPerFat() == 0 || dbr.GetSectorsPerFat() > kMaxSectorsPerFat)
        return "sectors per FAT out of range";
    uint64_t dataStart = uint64_t{dbr.GetFatCount()} * dbr.GetSectorsPerFat() + dbr.GetReservedSectors() +
                         dbr.GetRootDirSectors();
    if (dataStart > dbr.GetTotalSectors()) return "total sectors below the first data sector";
    if (partitionSectors > 0 && dataStart > static_cast<uint64_t>(partitionSectors))
        return "FATs reach past the partition's end";
    if ((dbr.GetTotalSectors() - dataStart) / spc == 0) return "no data clusters";
    const bool narrow = le::u16(View(dbr.GetRaw()), kSectorsPerFat16Off) != 0;
    if (narrow && dbr.GetFatBits() == 32) return "16-bit FAT size on a volume of FAT32's cluster count";
    if (narrow && dbr.GetRootEntries() == 0) return "FAT12/16 volume without a root folder";
    return nullptr;
}

}  // namespace

FAT_DBR_BUFF::~FAT_DBR_BUFF() = default;
FAT_FAT_Buffer::~FAT_FAT_Buffer() = default;

// ---- FAT32_DBR_Buff ----

FAT32_DBR_Buff::~FAT32_DBR_Buff() = default;

uint8_t* FAT32_DBR_Buff::Load(const uint8_t* bytes) {
    m_copy.reset();
    if (!bytes) return nullptr;
    m_copy.reset(new (std::nothrow) uint8_t[FAT32_DBR_SIZE]);
    if (m_copy) std::memcpy(m_copy.get(), bytes, FAT32_DBR_SIZE);
    return m_copy.get();
}

void FAT32_DBR_Buff::ReleaseCopy() { m_copy.reset(); }

int FAT32_DBR_Buff::WriteTo(const std::string& path, uint64_t sector) {
    if (!m_copy) return -1;
    return Tool_WriteDiskSectors(m_copy.get(), path, sector, 1);
}

uint16_t FAT32_DBR_Buff::GetBytesPerSector() const { return le::u16(View(m_copy.get()), kBytesPerSectorOff); }
uint16_t FAT32_DBR_Buff::GetHeads() const { return le::u16(View(m_copy.get()), kHeadsOff); }
uint8_t FAT32_DBR_Buff::GetSectorsPerCluster() const { return le::u8(View(m_copy.get()), kSectorsPerClusterOff); }
uint16_t FAT32_DBR_Buff::GetReservedSectors() const { return le::u16(View(m_copy.get()), kReservedSectorsOff); }
uint8_t FAT32_DBR_Buff::GetFatCount() const { return le::u8(View(m_copy.get()), kFatCountOff); }
uint32_t FAT32_DBR_Buff::GetSectorsPerFat() const { return SectorsPerFat(View(m_copy.get())); }
uint16_t FAT32_DBR_Buff::GetRootEntries() const { return le::u16(View(m_copy.get()), kRootEntriesOff); }
uint32_t FAT32_DBR_Buff::GetRootDirSectors() const { return RootDirSectors(View(m_copy.get())); }
uint32_t FAT32_DBR_Buff::GetRootDirSector() const {
    return uint32_t{GetFatCount()} * GetSectorsPerFat() + GetReservedSectors();
}
uint32_t FAT32_DBR_Buff::GetFatBits() const {
    // Only FAT32 leaves the 16-bit FAT size 0.
    if (le::u16(View(m_copy.get()), kSectorsPerFat16Off) == 0) return 32;
    const uint32_t clusters = GetClusterCount();
    return clusters < 4085 ? 12 : clusters < 65525 ? 16 : 32;
}
uint32_t FAT32_DBR_Buff::GetRootCluster() const { return le::u32(View(m_copy.get()), kRootClusterOff); }
uint32_t FAT32_DBR_Buff::GetHiddenSectors() const { return le::u32(View(m_copy.get()), kHiddenSectorsOff); }
uint32_t FAT32_DBR_Buff::GetTotalSectors() const { return TotalSectors(View(m_copy.get())); }
uint16_t FAT32_DBR_Buff::GetBackupBootSector() const { return le::u16(View(m_copy.get()), kBackupBootOff); }

namespace {
std::span<uint8_t> Mutable(const std::unique_ptr<uint8_t[]>& p) {
    return p ? std::span<uint8_t>(p.get(), FAT32_DBR_SIZE) : std::span<uint8_t>();
}
}  // namespace

void FAT32_DBR_Buff::SetSectorsPerCluster(uint8_t v) { if (m_copy) m_copy[kSectorsPerClusterOff] = v; }
// The setters write where the getters read: the 16-bit form while it is in
// use and the value fits, else the 32-bit one.
void FAT32_DBR_Buff::SetSectorsPerFat(uint32_t v) {
    if (le::u16(View(m_copy.get()), kSectorsPerFat16Off) && v <= 0xFFFF) {
        le::put16(Mutable(m_copy), kSectorsPerFat16Off, static_cast<uint16_t>(v));
        return;
    }
    le::put16(Mutable(m_copy), kSectorsPerFat16Off, 0);
    le::put32(Mutable(m_copy), kSectorsPerFatOff, v);
}
void FAT32_DBR_Buff::SetFatCount(uint8_t v) { if (m_copy) m_copy[kFatCountOff] = v; }
void FAT32_DBR_Buff::SetTotalSectors(uint32_t v) {
    if (le::u16(View(m_copy.get()), kTotalSectors16Off) && v <= 0xFFFF) {
        le::put16(Mutable(m_copy), kTotalSectors16Off, static_cast<uint16_t>(v));
        return;
    }
    le::put16(Mutable(m_copy), kTotalSectors16Off, 0);
    le::put32(Mutable(m_copy), kTotalSectorsOff, v);
}
void FAT32_DBR_Buff::SetHiddenSectors(uint32_t v) { le::put32(Mutable(m_copy), kHiddenSectorsOff, v); }
void FAT32_DBR_Buff::SetReservedSectors(uint16_t v) { le::put16(Mutable(m_copy), kReservedSectorsOff, v); }
void FAT32_DBR_Buff::SetRootCluster(uint32_t v) { le::put32(Mutable(m_copy), kRootClusterOff, v); }
void FAT32_DBR_Buff::SetBackupBootSector(uint16_t v) { le::put16(Mutable(m_copy), kBackupBootOff, v); }
void FAT32_DBR_Buff::SetBytesPerSector(uint16_t v) { le::put16(Mutable(m_copy), kBytesPerSectorOff, v); }
void FAT32_DBR_Buff::SetHeads(uint16_t v) { le::put16(Mutable(m_copy), kHeadsOff, v); }
void FAT32_DBR_Buff::SetSectorsPerTrack(uint16_t v) { le::put16(Mutable(m_copy), kSectorsPerTrackOff, v); }

uint32_t FAT32_DBR_Buff::GetFirstDataSector() const { return FirstDataSector(View(m_copy.get())); }

uint32_t FAT32_DBR_Buff::GetClusterCount() const {
    uint32_t spc = GetSectorsPerCluster();
    uint64_t dataStart = uint64_t{GetFatCount()} * GetSectorsPerFat() + GetReservedSectors() + GetRootDirSectors();
    if (spc == 0 || dataStart > GetTotalSectors()) return 0;
    return static_cast<uint32_t>((GetTotalSectors() - dataStart) / spc);
}

int FAT32_DBR_Buff::SectorToCluster(uint32_t sector, uint32_t& cluster, uint32_t& offset) const {
    uint32_t dataStart = GetFirstDataSector();
    uint32_t spc = GetSectorsPerCluster();
    if (sector < dataStart || spc == 0) {
        cluster = 0;
        offset = 0;
        return -1;
    }
    cluster = (sector - dataStart) / spc + 2;
    offset = (sector - dataStart) % spc;
    return 0;
}

uint32_t FAT32_DBR_Buff::ClusterToSector(uint32_t cluster) const { return ::ClusterToSector(m_copy.get(), cluster); }

uint32_t ClusterToSector(const uint8_t* dbr, uint32_t cluster) {
    le::Bytes b = View(dbr);
    return FirstDataSector(b) + le::u8(b, kSectorsPerClusterOff) * (cluster - 2);
}

// ---- FAT32_FAT_Buffer ----

FAT32_FAT_Buffer::~FAT32_FAT_Buffer() = default;

uint32_t FAT32_FAT_Buffer::PageSectors(uint32_t page) const {
    return std::min(FAT32_PAGE_SECTORS, m_fatSectors - page * FAT32_PAGE_SECTORS);
}

uint8_t* FAT32_FAT_Buffer::Page(uint32_t page, bool pin) const {
    int32_t slot = m_slotOfPage[page];
    if (slot < 0) {
        // The next unpinned slot after the last one taken, or a new one while
        // there is room or when every slot holds a changed page.
        size_t tries = 0;
        while (!m_cache.empty() && m_cache[m_hand].pinned && tries++ < m_cache.size())
            m_hand = (m_hand + 1) % m_cache.size();
        if (m_cache.size() < m_cachedPages || m_cache[m_hand].pinned) {
            m_cache.push_back(CachedPage{std::make_unique<uint8_t[]>(size_t{FAT32_PAGE_SECTORS} * SECTOR_SIZE), 0, false});
            slot = static_cast<int32_t>(m_cache.size() - 1);
        } else {
            slot = static_cast<int32_t>(m_hand);
            m_slotOfPage[m_cache[m_hand].page] = -1;
            m_hand = (m_hand + 1) % m_cache.size();
        }
        CachedPage& c = m_cache[static_cast<size_t>(slot)];
        c.page = page;
        c.pinned = false;
        const uint32_t n = PageSectors(page);
        std::memset(c.bytes.get(), 0, size_t{FAT32_PAGE_SECTORS} * SECTOR_SIZE);
        if (m_device->ReadSectors(m_firstSector + uint64_t{page} * FAT32_PAGE_SECTORS, n, c.bytes.get()) != n) {
            if (!m_readFailed)
                LOG_E("Read FAT32 FAT failed, Off:%llu, Len:%u; its entries count as free \n",
                      static_cast<unsigned long long>(m_firstSector + uint64_t{page} * FAT32_PAGE_SECTORS), n);
            m_readFailed = true;
            std::memset(c.bytes.get(), 0, size_t{FAT32_PAGE_SECTORS} * SECTOR_SIZE);
        }
        m_slotOfPage[page] = slot;
    }
    CachedPage& c = m_cache[static_cast<size_t>(slot)];
    if (pin) c.pinned = true;
    return c.bytes.get();
}

namespace {

// A 12- or 16-bit entry in FAT32's terms, and back.
uint32_t Widen(uint32_t v, uint32_t bits) {
    const uint32_t all = (1u << bits) - 1;
    if (v >= all - 7) return FAT32_END_OF_CHAIN + (v - (all - 7));
    if (v == all - 8) return FAT32_BAD_CLUSTER;
    return v;
}

uint32_t Narrow(uint32_t v, uint32_t bits) {
    const uint32_t all = (1u << bits) - 1;
    const uint32_t low = v & FAT32_ENTRY_MASK;
    if (v == 0xFFFFFFFF) return all;
    if (low >= FAT32_END_OF_CHAIN) return all - 7 + std::min<uint32_t>(low - FAT32_END_OF_CHAIN, 7);
    if (low == FAT32_BAD_CLUSTER) return all - 8;
    return low & all;
}

}  // namespace

uint32_t FAT32_FAT_Buffer::Raw(uint32_t index) const {
    const le::Bytes table(m_entries.get(), m_entries ? size_t{m_fatSectors} * SECTOR_SIZE : 0);
    if (m_entries && m_entryBits == 16) return Widen(le::u16(table, size_t{index} * 2), 16);
    if (m_entries && m_entryBits == 12) {
        // Entry i takes bytes i * 3 / 2 and the next: the low 12 bits of them
        // for an even i, the high 12 for an odd one.
        const uint16_t pair = le::u16(table, size_t{index} + index / 2);
        return Widen(index % 2 ? pair >> 4 : pair & 0x0FFF, 12);
    }
    if (m_entries) return le::u32(table, size_t{index} * 4);
    const uint32_t kPerPage = FAT32_PAGE_SECTORS * SECTOR_SIZE / 4;
    if (!m_device || uint64_t{index} >= entryCount()) return 0;
    const uint8_t* page = Page(index / kPerPage, false);
    return le::u32(le::Bytes(page, size_t{PageSectors(index / kPerPage)} * SECTOR_SIZE), size_t{index % kPerPage} * 4);
}

void FAT32_FAT_Buffer::PutRaw(uint32_t index, uint32_t v) {
    const std::span<uint8_t> table(m_entries.get(), m_entries ? size_t{m_fatSectors} * SECTOR_SIZE : 0);
    if (m_entries && m_entryBits == 16) {
        le::put16(table, size_t{index} * 2, static_cast<uint16_t>(Narrow(v, 16)));
        return;
    }
    if (m_entries && m_entryBits == 12) {
        const size_t at = size_t{index} + index / 2;
        const uint16_t pair = le::u16(table, at);
        const uint16_t n = static_cast<uint16_t>(Narrow(v, 12));
        le::put16(table, at, index % 2 ? static_cast<uint16_t>((pair & 0x000F) | (n << 4))
                                       : static_cast<uint16_t>((pair & 0xF000) | n));
        return;
    }
    if (m_entries) {
        le::put32(std::span<uint8_t>(m_entries.get(), size_t{m_fatSectors} * SECTOR_SIZE), size_t{index} * 4, v);
        return;
    }
    const uint32_t kPerPage = FAT32_PAGE_SECTORS * SECTOR_SIZE / 4;
    if (!m_device || uint64_t{index} >= entryCount()) return;
    uint8_t* page = Page(index / kPerPage, true);
    le::put32(std::span<uint8_t>(page, size_t{PageSectors(index / kPerPage)} * SECTOR_SIZE), size_t{index % kPerPage} * 4,
              v);
}

uint64_t FAT32_FAT_Buffer::MemoryBytes() const {
    if (m_entries) return uint64_t{m_fatSectors} * SECTOR_SIZE;
    return m_cache.size() * uint64_t{FAT32_PAGE_SECTORS} * SECTOR_SIZE + m_slotOfPage.size() * sizeof(int32_t);
}

void FAT32_FAT_Buffer::PutLow28(uint32_t cluster, uint32_t v) {
    PutRaw(cluster, (Raw(cluster) & ~FAT32_ENTRY_MASK) | (v & FAT32_ENTRY_MASK));
}

int FAT32_FAT_Buffer::GetEntry(uint32_t cluster, uint32_t& value) const {
    if (!Valid(cluster)) return -1;
    value = Raw(cluster) & FAT32_ENTRY_MASK;
    return 0;
}

int FAT32_FAT_Buffer::SetEntry(uint32_t cluster, uint32_t value) {
    uint32_t v = value & FAT32_ENTRY_MASK;
    if (v >= 2 && v <= 0x0FFFFFEF && !Valid(value)) return -1;
    if (!Valid(cluster)) return -1;
    PutLow28(cluster, v);
    return 0;
}

int FAT32_FAT_Buffer::SetEndOfChain(uint32_t cluster) {
    if (!Valid(cluster)) return -1;
    PutLow28(cluster, FAT32_END_OF_CHAIN);
    return 0;
}

int FAT32_FAT_Buffer::SetBad(uint32_t cluster) {
    if (!Valid(cluster)) return -1;
    PutLow28(cluster, FAT32_BAD_CLUSTER);
    return 0;
}

bool FAT32_FAT_Buffer::IsFree(uint32_t cluster) const {
    return Valid(cluster) && (Raw(cluster) & FAT32_ENTRY_MASK) == FAT32_FREE;
}

int FAT32_FAT_Buffer::SetFree(uint32_t cluster) {
    if (!Valid(cluster)) return -1;
    PutLow28(cluster, FAT32_FREE);
    return 0;
}

void FAT32_FAT_Buffer::InitReservedEntries() {
    if (!m_entries && !m_device) return;
    PutRaw(0, FAT32_END_OF_CHAIN);
    PutRaw(1, 0xFFFFFFFF);
}

void FAT32_FAT_Buffer::SetHighest(uint32_t highestCluster) {
    // A damaged boot record must not make a lookup run beyond the table, nor
    // make a cluster number look like a bad or end mark.
    uint64_t lastEntry = entryCount() == 0 ? 0 : entryCount() - 1;
    m_highestCluster = static_cast<uint32_t>(
        std::min<uint64_t>({highestCluster, lastEntry, FAT32_MAX_CLUSTER}));
}

void FAT32_FAT_Buffer::Attach(std::unique_ptr<uint8_t[]> table, uint32_t fatSectors, uint32_t highestCluster,
                              uint32_t entryBits) {
    if (!table) return;
    m_entryBits = entryBits == 12 || entryBits == 16 ? entryBits : 32;
    m_device = nullptr;
    m_cache.clear();
    m_slotOfPage.clear();
    m_entries = std::move(table);
    m_fatSectors = fatSectors;
    SetHighest(highestCluster);
    InitReservedEntries();
}

void FAT32_FAT_Buffer::AttachDevice(IDevice* device, uint64_t firstSector, uint32_t fatSectors,
                                    uint32_t highestCluster, uint32_t cachedPages) {
    if (!device) return;
    m_entryBits = 32;
    m_cachedPages = std::max<uint32_t>(cachedPages, 1);
    m_entries.reset();
    m_cache.clear();
    m_hand = 0;
    m_readFailed = false;
    m_device = device;
    m_firstSector = firstSector;
    m_fatSectors = fatSectors;
    m_slotOfPage.assign(fatSectors / FAT32_PAGE_SECTORS + (fatSectors % FAT32_PAGE_SECTORS ? 1 : 0), -1);
    SetHighest(highestCluster);
    InitReservedEntries();
}

void FAT32_FAT_Buffer::WriteTo(const std::string& path, uint64_t firstSector) {
    if (m_device) {
        for (uint32_t page = 0; page < m_slotOfPage.size(); ++page)
            Tool_WriteDiskSectors(Page(page, false), path, firstSector + uint64_t{page} * FAT32_PAGE_SECTORS,
                                  PageSectors(page));
        return;
    }
    if (!m_entries) return;
    uint32_t quarter = m_fatSectors / 4;
    uint32_t done = 0;
    for (int i = 0; i < 4; ++i) {
        uint32_t n = i < 3 ? quarter : m_fatSectors - done;
        if (n > 0) Tool_WriteDiskSectors(m_entries.get() + size_t{done} * SECTOR_SIZE, path, firstSector + done, n);
        done += n;
    }
}

// ---- Mount ----

int Fat32_GetDBR(IDevice* device, uint8_t* buffer) {
    std::memset(buffer, 0, FAT32_DBR_SIZE);
    return device->ReadSectors(0, 1, buffer) == 1 ? 0 : -1;
}

std::unique_ptr<FatVolume> MountFatVol(IDevice* device, int64_t partitionSectors, uint64_t residentFatBytes) {
    if (!device) return nullptr;
    std::unique_ptr<FatVolume> vol(new (std::nothrow) FatVolume());
    std::unique_ptr<FAT32_DBR_Buff> dbr(new (std::nothrow) FAT32_DBR_Buff());
    if (!vol || !dbr) {
        LOG_E("%s", "Out of Memory. \n");
        return nullptr;
    }

    uint8_t sector[FAT32_DBR_SIZE];
    if (Fat32_GetDBR(device, sector) != 0) {
        LOG_E("Fat32_GetDBR() failed. \n");
        return nullptr;
    }
    if (!dbr->Load(sector)) {
        LOG_E("%s", "Out of Memory. \n");
        return nullptr;
    }
    if (const char* why = CheckGeometry(*dbr, partitionSectors)) {
        LOG_E("Invalid FAT32 boot record: %s. \n", why);
        return nullptr;
    }

    std::unique_ptr<FAT32_FAT_Buffer> fat(new (std::nothrow) FAT32_FAT_Buffer());
    if (!fat) {
        LOG_E("%s", "Out of Memory. \n");
        return nullptr;
    }
    uint32_t fatSectors = dbr->GetSectorsPerFat();
    uint32_t reserved = dbr->GetReservedSectors();
    const uint32_t bits = dbr->GetFatBits();
    // FAT12 and FAT16 tables are small (at most 128 KiB): always held.
    const bool resident = bits != 32 || uint64_t{fatSectors} * SECTOR_SIZE <= residentFatBytes;
    std::unique_ptr<uint8_t[]> table;
    std::unique_ptr<uint8_t[]> scratch;  // a big FAT passes through it once
    if (resident) table.reset(new (std::nothrow) uint8_t[size_t{fatSectors} * SECTOR_SIZE]());
    else scratch.reset(new (std::nothrow) uint8_t[size_t{FAT32_READ_CHUNK} * SECTOR_SIZE]);
    if (!table && !scratch) return nullptr;

    // Only the first FAT is read, in chunks of at most 8 MiB.
    uint32_t fullChunks = fatSectors / FAT32_READ_CHUNK;
    uint32_t rest = fatSectors % FAT32_READ_CHUNK;
    for (uint32_t k = 0; k <= fullChunks; ++k) {
        uint32_t len = k < fullChunks ? FAT32_READ_CHUNK : rest;
        if (len == 0) break;
        uint64_t off = uint64_t{reserved} + uint64_t{k} * FAT32_READ_CHUNK;
        uint8_t* dest = resident ? table.get() + size_t{k} * FAT32_READ_CHUNK * SECTOR_SIZE : scratch.get();
        if (device->ReadSectors(off, len, dest) != len) {
            LOG_E("Read FAT32 FAT failed, Off:%d, Len:%d \n", static_cast<int>(off), static_cast<int>(len));
            return nullptr;
        }
    }
    scratch.reset();

    uint32_t highest = dbr->GetClusterCount() + 1;
    if (partitionSectors > 0) {
        // Clusters past the partition's end hold whatever follows it on the
        // disk: a boot record counting more sectors than the partition has
        // must not make the walk list them as parts of photos.
        uint64_t inPartition =
            (static_cast<uint64_t>(partitionSectors) - dbr->GetFirstDataSector()) / dbr->GetSectorsPerCluster() + 1;
        if (highest > inPartition) {
            LOG_W("FAT32 boot record counts %u sectors but the partition has %lld; clusters past its end are left out. \n",
                  dbr->GetTotalSectors(), static_cast<long long>(partitionSectors));
            highest = static_cast<uint32_t>(inPartition);
        }
    }
    const uint64_t entries = uint64_t{fatSectors} * SECTOR_BITS / bits;
    if (highest > entries - 1) {
        LOG_W("FAT%u FAT holds %llu entries but the volume has %u clusters; clusters past the FAT are left out. \n",
              bits, static_cast<unsigned long long>(entries), highest - 1);
    }
    if (resident) fat->Attach(std::move(table), fatSectors, highest, bits);
    else fat->AttachDevice(device, reserved, fatSectors, highest);

    vol->device = device;
    vol->dbr = std::move(dbr);
    vol->fat = std::move(fat);
    vol->partitionSectors = partitionSectors;
    return vol;
}
