#include "volphotorev/photoitems.h"

#include <algorithm>

namespace {
size_t ListOf(int32_t category) {
    return (category >= Jpg && category < Other) ? static_cast<size_t>(category) : static_cast<size_t>(Other);
}
}  // namespace

void CPhotoItemsMgr::AddItem(std::unique_ptr<PhotoItem> item) {
    if (!item || !m_choice.Keeps(item->category, item->size)) return;
    m_lists[ListOf(item->category)].push_back(std::move(item));
}

int CPhotoItemsMgr::GetItems(int32_t category, int32_t first, int32_t count, PhotoItem** out) {
    const auto& list = m_lists[ListOf(category)];
    if (!out) return static_cast<int>(list.size());
    if (first < 0 || count <= 0 || static_cast<size_t>(first) >= list.size()) return 0;
    size_t n = std::min(list.size() - static_cast<size_t>(first), static_cast<size_t>(count));
    for (size_t i = 0; i < n; ++i) out[i] = list[static_cast<size_t>(first) + i].get();
    return static_cast<int>(n);
}

int GetPhotoCategory(const char* name) {
    if (!name) return -1;
    const PhotoFormat* f = PhotoFormatOfName(name);
    return f ? f->category : -1;
}
