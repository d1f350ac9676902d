// Found photos and the store that owns them.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "photoformats/photoformat.h"

// FileSystem: listed by a live file; Deleted: from a deleted file's own
// record (its entry set or directory entry), under its name; RawScan: found by
// its signature in free space.
enum PhotoOrigin : int32_t { FileSystem = 0, Deleted = 1, RawScan = 2 };

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
};

class IPhotoItmesMgr {
public:
    virtual ~IPhotoItmesMgr() = default;
    // Appends the item to its category's list (Other for a category outside 0..3).
    virtual void AddItem(std::unique_ptr<PhotoItem> item) = 0;
    // With `out` null: the number of items of the category. Otherwise the
    // number of pointers (at most `count`, from `first`) written to `out`.
    virtual int GetItems(int32_t category, int32_t first, int32_t count, PhotoItem** out) = 0;
};

class CPhotoItemsMgr : public IPhotoItmesMgr {
public:
    void AddItem(std::unique_ptr<PhotoItem> item) override;
    int GetItems(int32_t category, int32_t first, int32_t count, PhotoItem** out) override;

private:
    std::array<std::vector<std::unique_ptr<PhotoItem>>, kPhotoCategoryCount> m_lists;
};

// Category of a file name by its extension, or -1 when it is not a photo.
int GetPhotoCategory(const char* name);
