// Found photos and the store that owns them.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "photoformats/photoformat.h"

// How a photo was found. Numbers are kept as they are: saved results rely on them.
enum PhotoOrigin : int32_t {
    FileSystem = 0,     // a file the file system still lists
    DeletedRecord = 1,  // a deleted file whose directory entry or file record survives
    RawScan = 2,        // found by its signature in free space, without a name
};

// One run of a photo's bytes. A run list ends with an entry whose
// sectorCount is 0; readers stop there.
struct PhotoRun {
    int64_t fileSector = 0;    // first sector of the run within the photo
    int64_t volumeSector = 0;  // first sector of the run within the partition
    int64_t sectorCount = 0;   // 512-byte sectors
};

struct PhotoItem {
    std::u16string name;
    PhotoCategory category = Jpg;
    PhotoOrigin origin = FileSystem;
    std::vector<PhotoRun> runs;  // ends with a sectorCount 0 entry
    uint32_t size = 0;           // bytes
    int32_t selected = 0;        // set by the result page
    int32_t previewWidth = 0;    // set by the result page, 0 when not decodable
    // Folder the photo was in on the volume, names joined by '/', without a
    // leading or trailing '/'; empty for the root folder and for photos found
    // without a name. A folder whose name is lost is named for it
    // ("Lost folder 38").
    std::u16string folder;
    // Last modification time as the file system kept it: seconds since
    // 1970-01-01 00:00 UTC and the nanoseconds within that second; both 0
    // when unknown (the raw scan never knows it).
    int64_t mtime = 0;
    uint32_t mtimeNsec = 0;
    // Sectors per compression unit of a file NTFS keeps compressed: its runs
    // then hold LZNT1-compressed units, which reading the photo expands.
    // 0 for bytes stored as they are.
    uint32_t compressionUnit = 0;
    // The photo's bytes when the file system keeps them inside its own
    // record (a small file's resident data on NTFS): exactly `size` bytes,
    // and `runs` then holds only its end entry. Empty otherwise.
    std::vector<uint8_t> inlineData;
};

// Which found photos a scan keeps: the types the user chose and the
// smallest size worth showing (icons and web thumbnails are not wanted).
// A photo of a type not chosen is still found (its start still ends the
// photo before it); it is only not kept, so choosing fewer types never
// changes what the chosen ones give back.
struct PhotoChoice {
    uint32_t categories = (1u << kPhotoCategoryCount) - 1;  // bit c: PhotoCategory c is kept
    uint64_t minSize = 0;                                    // bytes; smaller photos are left out
    // The walks also read the first sector of live files whose names name
    // no photo ("holiday photo.dat", a renamed RAW) and list those that
    // begin like one.
    bool lookInside = true;

    bool Keeps(int32_t category, uint64_t size) const {
        int32_t c = category >= 0 && category < kPhotoCategoryCount ? category : Other;
        return (categories >> c & 1u) != 0 && size >= minSize;
    }
};

// True for a photo the file system no longer lists as a live file: found
// in free space or in a deleted record. Everything else is still on the drive.
inline bool IsDeletedPhoto(const PhotoItem& item) { return item.origin != FileSystem; }

class IPhotoItmesMgr {
public:
    virtual ~IPhotoItmesMgr() = default;
    // Appends the item to its category's list (Other for a category outside
    // Jpg..WebP), unless the store's choice leaves it out (then it is dropped).
    virtual void AddItem(std::unique_ptr<PhotoItem> item) = 0;
    // Whether AddItem keeps a photo of this category and size: a walk asks
    // before it does the work of following a photo it would not keep.
    virtual bool Wants(int32_t category, uint64_t size) const {
        (void)category, (void)size;
        return true;
    }
    // Whether the walks look inside files whose names name no photo.
    virtual bool LooksInside() const { return false; }
    // With `out` null: the number of items of the category. Otherwise the
    // number of pointers (at most `count`, from `first`) written to `out`.
    virtual int GetItems(int32_t category, int32_t first, int32_t count, PhotoItem** out) = 0;
};

// The store keeps its items in chunks of kChunkItems records, so a photo
// costs its PhotoItem and the heap its name, runs and folder need, and no
// allocation or pointer of its own: about 270 bytes for a photo of the raw
// scan (a 14-character name and one run), 300 to 350 for a photo a walk
// found in a folder (bench/photostore measures it). Item addresses never
// change while the store lives.
class CPhotoItemsMgr : public IPhotoItmesMgr {
public:
    static constexpr size_t kChunkItems = 512;

    explicit CPhotoItemsMgr(PhotoChoice choice = {}) : m_choice(choice) {}
    void AddItem(std::unique_ptr<PhotoItem> item) override;
    bool Wants(int32_t category, uint64_t size) const override { return m_choice.Keeps(category, size); }
    bool LooksInside() const override { return m_choice.lookInside; }
    int GetItems(int32_t category, int32_t first, int32_t count, PhotoItem** out) override;

private:
    struct List {
        std::vector<std::unique_ptr<PhotoItem[]>> chunks;
        size_t size = 0;
        PhotoItem& At(size_t i) { return chunks[i / kChunkItems][i % kChunkItems]; }
    };
    PhotoChoice m_choice;
    std::array<List, kPhotoCategoryCount> m_lists;
};

// Category of a file name (UTF-8) by its extension, as the table of photo
// formats names them, or -1 when it is not a photo.
int GetPhotoCategory(const char* name);
