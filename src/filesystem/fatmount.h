// A FAT32 volume's boot record and its first FAT, held in memory for a scan,
// and the cluster arithmetic over them. Everything counts 512-byte sectors of
// the volume: sector 0 is the boot record.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class IDevice;

// FAT entries keep their top four bits; only the low 28 are the value.
constexpr uint32_t FAT32_ENTRY_MASK = 0x0FFFFFFF;
constexpr uint32_t FAT32_FREE = 0;
constexpr uint32_t FAT32_BAD_CLUSTER = 0x0FFFFFF7;
constexpr uint32_t FAT32_END_OF_CHAIN = 0x0FFFFFF8;  // and every value above
// Largest cluster number that cannot be mistaken for a bad or end mark.
constexpr uint32_t FAT32_MAX_CLUSTER = 0x0FFFFFF6;
constexpr uint32_t FAT32_DBR_SIZE = 512;
constexpr uint64_t SECTOR_BITS = 512 * 8;
// The first FAT is read in chunks of this many sectors (8 MiB).
constexpr uint32_t FAT32_READ_CHUNK = 0x4000;
// A FAT up to this size is held whole in memory; a larger one (a volume of
// hundreds of gigabytes) is read a page at a time as it is asked.
constexpr uint64_t FAT32_RESIDENT_BYTES = uint64_t{16} << 20;
constexpr uint32_t FAT32_PAGE_SECTORS = 128;  // 64 KiB, 16384 entries
constexpr uint32_t FAT32_CACHED_PAGES = 64;   // 4 MiB

// Accessors for a boot record. Getters answer 0 while no copy is loaded.
class FAT_DBR_BUFF {
public:
    virtual ~FAT_DBR_BUFF();
    // Replaces the held copy with the first 512 bytes of `bytes`; returns the copy.
    virtual uint8_t* Load(const uint8_t* bytes) = 0;
    virtual void ReleaseCopy() = 0;
    // Writes the copy as one sector to the device at `path`: 0, or -1 (also
    // without a copy). Only the volume tools write; the scan never does.
    virtual int WriteTo(const std::string& path, uint64_t sector) = 0;

    virtual uint16_t GetBytesPerSector() const = 0;   // offset 11
    virtual uint16_t GetHeads() const = 0;            // offset 26
    virtual uint8_t GetSectorsPerCluster() const = 0; // offset 13
    virtual uint16_t GetReservedSectors() const = 0;  // offset 14: the first FAT starts here
    virtual uint8_t GetFatCount() const = 0;          // offset 16
    // FAT12/16 keep the next two in 16-bit fields (offsets 22 and 19) when
    // they fit, FAT32 in 32-bit ones (36 and 32): the 16-bit one when it is
    // not 0, else the 32-bit one.
    virtual uint32_t GetSectorsPerFat() const = 0;    // offset 22 or 36
    virtual uint32_t GetRootCluster() const = 0;      // offset 44
    virtual uint32_t GetHiddenSectors() const = 0;    // offset 28
    virtual uint32_t GetTotalSectors() const = 0;     // offset 19 or 32
    virtual uint16_t GetBackupBootSector() const = 0; // offset 50

    virtual void SetSectorsPerCluster(uint8_t v) = 0;
    virtual void SetSectorsPerFat(uint32_t v) = 0;
    virtual void SetFatCount(uint8_t v) = 0;
    virtual void SetTotalSectors(uint32_t v) = 0;
    virtual void SetHiddenSectors(uint32_t v) = 0;
    virtual void SetReservedSectors(uint16_t v) = 0;
    virtual void SetRootCluster(uint32_t v) = 0;
    virtual void SetBackupBootSector(uint16_t v) = 0;
    virtual void SetBytesPerSector(uint16_t v) = 0;
    virtual void SetHeads(uint16_t v) = 0;
    virtual void SetSectorsPerTrack(uint16_t v) = 0;  // offset 24

    // The 512-byte copy, or null.
    virtual const uint8_t* GetRaw() const = 0;
    // FAT12/16's fixed root folder: its entries (offset 17, 0 on FAT32), its
    // sectors, and its first sector (right after the FATs).
    virtual uint16_t GetRootEntries() const = 0;
    virtual uint32_t GetRootDirSectors() const = 0;
    virtual uint32_t GetRootDirSector() const = 0;
    // Bits per FAT entry, 12, 16 or 32: 32 when the 16-bit FAT size is 0
    // (only FAT32 leaves it so), else from the cluster count (below 4085
    // FAT12, below 65525 FAT16, else FAT32), whatever the type texts say.
    virtual uint32_t GetFatBits() const = 0;
    // (total sectors - first data sector) / sectors per cluster; 0 when the
    // totals do not leave room for a data area.
    virtual uint32_t GetClusterCount() const = 0;
    // FATs * sectors per FAT + reserved sectors + the fixed root folder's sectors.
    virtual uint32_t GetFirstDataSector() const = 0;
    // Cluster and sector within it of a volume sector: 0, or -1 (both 0)
    // for a sector before the data area.
    virtual int SectorToCluster(uint32_t sector, uint32_t& cluster, uint32_t& offset) const = 0;
    // First sector of a cluster (clusters are numbered from 2).
    virtual uint32_t ClusterToSector(uint32_t cluster) const = 0;
};

class FAT32_DBR_Buff : public FAT_DBR_BUFF {
public:
    FAT32_DBR_Buff() = default;
    FAT32_DBR_Buff(const FAT32_DBR_Buff&) = delete;
    FAT32_DBR_Buff& operator=(const FAT32_DBR_Buff&) = delete;
    ~FAT32_DBR_Buff() override;

    uint8_t* Load(const uint8_t* bytes) override;
    void ReleaseCopy() override;
    int WriteTo(const std::string& path, uint64_t sector) override;

    uint16_t GetBytesPerSector() const override;
    uint16_t GetHeads() const override;
    uint8_t GetSectorsPerCluster() const override;
    uint16_t GetReservedSectors() const override;
    uint8_t GetFatCount() const override;
    uint32_t GetSectorsPerFat() const override;
    uint32_t GetRootCluster() const override;
    uint32_t GetHiddenSectors() const override;
    uint32_t GetTotalSectors() const override;
    uint16_t GetBackupBootSector() const override;

    void SetSectorsPerCluster(uint8_t v) override;
    void SetSectorsPerFat(uint32_t v) override;
    void SetFatCount(uint8_t v) override;
    void SetTotalSectors(uint32_t v) override;
    void SetHiddenSectors(uint32_t v) override;
    void SetReservedSectors(uint16_t v) override;
    void SetRootCluster(uint32_t v) override;
    void SetBackupBootSector(uint16_t v) override;
    void SetBytesPerSector(uint16_t v) override;
    void SetHeads(uint16_t v) override;
    void SetSectorsPerTrack(uint16_t v) override;

    const uint8_t* GetRaw() const override { return m_copy.get(); }
    uint16_t GetRootEntries() const override;
    uint32_t GetRootDirSectors() const override;
    uint32_t GetRootDirSector() const override;
    uint32_t GetFatBits() const override;
    uint32_t GetClusterCount() const override;
    uint32_t GetFirstDataSector() const override;
    int SectorToCluster(uint32_t sector, uint32_t& cluster, uint32_t& offset) const override;
    uint32_t ClusterToSector(uint32_t cluster) const override;

private:
    std::unique_ptr<uint8_t[]> m_copy;  // FAT32_DBR_SIZE bytes, or null
};

// Entry operations on a FAT. A cluster number is valid in 2..highestCluster;
// every operation refuses any other (-1, or false for IsFree) without
// touching the table.
class FAT_FAT_Buffer {
public:
    virtual ~FAT_FAT_Buffer();
    // The entry's low 28 bits: 0, or -1 for an invalid cluster.
    virtual int GetEntry(uint32_t cluster, uint32_t& value) const = 0;
    // Writes the low 28 bits of `value` under the entry's own top bits. A
    // value that names a next cluster must itself be a valid cluster. 0 or -1.
    virtual int SetEntry(uint32_t cluster, uint32_t value) = 0;
    virtual int SetEndOfChain(uint32_t cluster) = 0;
    virtual int SetBad(uint32_t cluster) = 0;
    virtual bool IsFree(uint32_t cluster) const = 0;
    virtual int SetFree(uint32_t cluster) = 0;
    // Entry 0 := 0x0FFFFFF8, entry 1 := 0xFFFFFFFF.
    virtual void InitReservedEntries() = 0;
};

// A FAT of 32-bit entries (FAT32), or of 16- or 12-bit ones (FAT16, FAT12;
// two 12-bit entries share three bytes). Narrow entries are read and written
// in FAT32's terms: their end-of-chain values (0xFFF8-0xFFFF, 0xFF8-0xFFF)
// read as 0x0FFFFFF8 and above and their bad mark (0xFFF7, 0xFF7) as
// 0x0FFFFFF7, so a chain is followed alike whatever the width.
class FAT32_FAT_Buffer : public FAT_FAT_Buffer {
public:
    FAT32_FAT_Buffer() = default;
    FAT32_FAT_Buffer(const FAT32_FAT_Buffer&) = delete;
    FAT32_FAT_Buffer& operator=(const FAT32_FAT_Buffer&) = delete;
    ~FAT32_FAT_Buffer() override;

    int GetEntry(uint32_t cluster, uint32_t& value) const override;
    int SetEntry(uint32_t cluster, uint32_t value) override;
    int SetEndOfChain(uint32_t cluster) override;
    int SetBad(uint32_t cluster) override;
    bool IsFree(uint32_t cluster) const override;
    int SetFree(uint32_t cluster) override;
    void InitReservedEntries() override;

    // Takes ownership of a table of `fatSectors` * 512 bytes (little-endian
    // entries as on disk) and sets the reserved entries. Nothing happens for
    // a null table. `highestCluster` is capped so that every valid cluster
    // has its entry inside the table. `entryBits`: 32, 16 or 12.
    void Attach(std::unique_ptr<uint8_t[]> table, uint32_t fatSectors, uint32_t highestCluster,
                uint32_t entryBits = 32);
    // The same for a table left on `device` (borrowed; it must outlive the
    // buffer) from `firstSector` on: it is read FAT32_PAGE_SECTORS at a time
    // as entries are asked for, and `cachedPages` pages (at least one) stay
    // in memory. Pages that were changed stay too. A page that cannot be read
    // counts as free entries (logged once).
    void AttachDevice(IDevice* device, uint64_t firstSector, uint32_t fatSectors, uint32_t highestCluster,
                      uint32_t cachedPages = FAT32_CACHED_PAGES);
    // Writes the table in four pieces starting at `firstSector` of the device
    // at `path`, ignoring their results. Only the volume tools write.
    void WriteTo(const std::string& path, uint64_t firstSector);
    // Bytes of the table held in memory now.
    uint64_t MemoryBytes() const;

    uint32_t fatSectors() const { return m_fatSectors; }
    // Largest valid cluster number (clusters + 1); 0 while nothing is attached.
    uint32_t highestCluster() const { return m_highestCluster; }
    // Entries the table holds (fatSectors * 128).
    uint64_t entryCount() const { return uint64_t{m_fatSectors} * SECTOR_BITS / m_entryBits; }
    uint32_t entryBits() const { return m_entryBits; }

private:
    bool Valid(uint32_t cluster) const { return (m_entries || m_device) && cluster >= 2 && cluster <= m_highestCluster; }
    uint32_t Raw(uint32_t index) const;
    void PutRaw(uint32_t index, uint32_t v);
    void PutLow28(uint32_t cluster, uint32_t v);
    void SetHighest(uint32_t highestCluster);
    // The bytes of page `page` of a table left on the device, read when it is
    // not in memory; `pin` keeps it there for good. Never null.
    uint8_t* Page(uint32_t page, bool pin) const;
    // Sectors of page `page` (the last may be short).
    uint32_t PageSectors(uint32_t page) const;

    uint32_t m_fatSectors = 0;
    std::unique_ptr<uint8_t[]> m_entries;  // m_fatSectors * 512 bytes, or null when paged
    uint32_t m_highestCluster = 0;
    uint32_t m_entryBits = 32;  // 12 and 16 only for a table held in memory

    // A table left on the device.
    struct CachedPage {
        std::unique_ptr<uint8_t[]> bytes;  // FAT32_PAGE_SECTORS * 512
        uint32_t page = 0;
        bool pinned = false;
    };
    IDevice* m_device = nullptr;
    uint64_t m_firstSector = 0;
    mutable std::vector<int32_t> m_slotOfPage;  // -1: not in memory
    mutable std::vector<CachedPage> m_cache;
    mutable size_t m_hand = 0;                  // next slot to reuse
    uint32_t m_cachedPages = FAT32_CACHED_PAGES;
    mutable bool m_readFailed = false;
};

// A mounted FAT32 volume. The device is borrowed and must outlive the record.
struct FatVolume {
    IDevice* device = nullptr;
    std::unique_ptr<FAT32_DBR_Buff> dbr;
    std::unique_ptr<FAT32_FAT_Buffer> fat;
    int64_t partitionSectors = 0;  // the partition's length as the caller gave it
};

// Reads sector 0 of the volume into `buffer` (512 bytes): 0, or -1 when the
// device does not deliver exactly one sector.
int Fat32_GetDBR(IDevice* device, uint8_t* buffer);

// Mounts the FAT32 volume on `device`: reads and checks its boot record, reads
// its first FAT (into memory when it is at most `residentFatBytes`, else
// through once to see that it can be read, then a page at a time as the walk
// and the map ask). `partitionSectors` bounds the volume when it is above 0.
// Null on failure (logged).
std::unique_ptr<FatVolume> MountFatVol(IDevice* device, int64_t partitionSectors,
                                       uint64_t residentFatBytes = FAT32_RESIDENT_BYTES);

// First sector of `cluster` over a raw 512-byte boot record (unsigned 32-bit
// arithmetic): FATs * sectors per FAT + reserved + the fixed root folder's
// sectors (FAT12/16) + sectors per cluster * (cluster - 2).
uint32_t ClusterToSector(const uint8_t* dbr, uint32_t cluster);
