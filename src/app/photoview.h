// Which of the found photos the result page shows, and in what order: the
// user's filter (types, a least size, deleted photos only) and sort.
#pragma once

#include <QString>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "volphotorev/photoitems.h"

struct PhotoView {
    enum Sort { FoundOrder = 0, ByName, BySize, ByDate };
    Sort sort = FoundOrder;
    uint32_t categories = ~0u;  // bit c set: photos of category c are shown
    uint64_t minBytes = 0;      // only photos larger than this (0: any)
    bool deletedOnly = false;   // only photos the file system no longer lists

    // True when some photo may be hidden.
    bool Filters() const;
    bool ShowsCategory(int category) const;
    bool Shows(const PhotoItem& item) const;
    // Positions (0-based, within `items`) of the photos shown, in the view's
    // order: by name (case and digits as people read them), by size (largest
    // first), by date (newest first, unknown dates last), or as found.
    std::vector<int32_t> Arrange(const std::vector<PhotoItem*>& items) const;
    // The same from `order`, PhotoOrder(items, sort) made before: the
    // photos it lists that the view shows, in its order.
    std::vector<int32_t> Arrange(const std::vector<PhotoItem*>& items, const std::vector<int32_t>& order) const;
};

// Every photo of `items` (positions, 0-based; null entries left out) in the
// order of `sort`, photos that sort alike in the order found. Setting `stop`
// from another thread ends the work early with a meaningless order.
std::vector<int32_t> PhotoOrder(const std::vector<PhotoItem*>& items, PhotoView::Sort sort,
                                const std::atomic<bool>* stop = nullptr);

// Orders names as people read them: letters without regard to case, runs of
// digits by their value ("IMG_2" before "IMG_10"). Negative, 0 or positive.
int CompareNames(std::u16string_view a, std::u16string_view b);
// A key whose plain comparison orders names as CompareNames does, but for
// names that differ only in case or leading zeros (equal keys).
std::u16string NameSortKey(std::u16string_view name);
// Appends the name's key to `key`.
void AppendNameSortKey(std::u16string& key, std::u16string_view name);

// The photo's modification time (seconds since 1970, UTC), 0 when unknown.
int64_t PhotoTime(const PhotoItem& item);

// The texts of the sort box, in Sort order.
QString SortText(PhotoView::Sort sort);
