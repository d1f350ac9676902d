#include "volphotorev/photoitems.h"

#include <algorithm>

namespace {
size_t ListOf(int32_t category) {
    return (category >= Jpg && category < Other) ? static_cast<size_t>(category) : static_cast<size_t>(Other);
}
}  // namespace

void CPhotoItemsMgr::AddItem(std::unique_ptr<PhotoItem> item) {
    if (!item || !m_choice.Keeps(item->category, item->size)) return;
    List& list = m_lists[ListOf(item->category)];
    if (list.size == list.chunks.size() * kChunkItems) list.chunks.push_back(std::make_unique<PhotoItem[]>(kChunkItems));
    // Vectors and strings grown by push_back give their slack back.
    item->name.shrink_to_fit();
    item->folder.shrink_to_fit();
    item->runs.shrink_to_fit();
    item->inlineData.shrink_to_fit();
    list.At(list.size++) = std::move(*item);
}

int CPhotoItemsMgr::GetItems(int32_t category, int32_t first, int32_t count, PhotoItem** out) {
    List& list = m_lists[ListOf(category)];
    if (!out) return static_cast<int>(list.size);
    if (first < 0 || count <= 0 || static_cast<size_t>(first) >= list.size) return 0;
    size_t n = std::min(list.size - static_cast<size_t>(first), static_cast<size_t>(count));
    for (size_t i = 0; i < n; ++i) out[i] = &list.At(static_cast<size_t>(first) + i);
    return static_cast<int>(n);
}

int GetPhotoCategory(const char* name) {
    if (!name) return -1;
    const PhotoFormat* f = PhotoFormatOfName(name);
    return f ? f->category : -1;
}
