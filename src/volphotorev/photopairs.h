// Files a camera writes together: a RAW and the JPEG (or HEIC, or TIFF) it
// saves beside it, under one name with another extension in one folder
// (DSC_0042.NEF and DSC_0042.JPG). Ticking one of them can tick the others.
#pragma once

#include <cstddef>
#include <span>
#include <unordered_map>
#include <vector>

#include "volphotorev/photoitems.h"

class CPhotoPairs {
public:
    // Groups the photos of `items` that share a folder and a name before
    // the last dot (letter case aside, as FAT and NTFS compare names), when
    // one of the group is a RAW and another is not. Only photos that kept
    // their names are grouped: those the raw scan numbered never are. The
    // items are not owned and must outlive the groups; Build again after
    // the store changed.
    void Build(std::span<PhotoItem* const> items);

    // The photo's group, itself included, in the order of `items`; null
    // when it belongs to none.
    const std::vector<PhotoItem*>* GroupOf(const PhotoItem* item) const;

    size_t GroupCount() const { return m_groups.size(); }

private:
    std::vector<std::vector<PhotoItem*>> m_groups;
    std::unordered_map<const PhotoItem*, size_t> m_groupOf;  // index into m_groups
};
