#include "volphotorev/photopairs.h"

#include <algorithm>
#include <string>

namespace {

char16_t Fold(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

// Folder and name without its extension, letter case folded, into `key`
// (whose room is kept from one photo to the next); false when the name has
// no extension to differ by.
bool PairKey(const PhotoItem& item, std::u16string& key) {
    key.clear();
    const size_t dot = item.name.rfind(u'.');
    if (dot == std::u16string::npos || dot == 0) return false;
    for (char16_t c : item.folder) key.push_back(Fold(c));
    key.push_back(u'/');  // never part of a name
    for (size_t i = 0; i < dot; ++i) key.push_back(Fold(item.name[i]));
    return true;
}

bool Named(const PhotoItem* item) { return item && item->origin != RawScan; }

}  // namespace

void CPhotoPairs::Build(std::span<PhotoItem* const> items) {
    m_groups.clear();
    m_groupOf.clear();
    // Only a RAW photo starts a group: its keys first, then every photo in
    // order joins the group of its key. Photos without a RAW beside them
    // (nearly all of a big scan) cost a lookup, not a stored key.
    std::unordered_map<std::u16string, size_t> groupOfKey;
    std::u16string key;
    for (const PhotoItem* item : items)
        if (Named(item) && item->category == Raw && PairKey(*item, key) && !groupOfKey.contains(key))
            groupOfKey.emplace(key, groupOfKey.size());
    if (groupOfKey.empty()) return;

    std::vector<std::vector<PhotoItem*>> groups(groupOfKey.size());
    for (PhotoItem* item : items) {
        if (!Named(item) || !PairKey(*item, key)) continue;
        const auto it = groupOfKey.find(key);
        if (it != groupOfKey.end()) groups[it->second].push_back(item);
    }
    for (auto& group : groups) {
        const bool other = std::any_of(group.begin(), group.end(), [](const PhotoItem* p) { return p->category != Raw; });
        if (!other) continue;
        for (const PhotoItem* item : group) m_groupOf[item] = m_groups.size();
        m_groups.push_back(std::move(group));
    }
}

const std::vector<PhotoItem*>* CPhotoPairs::GroupOf(const PhotoItem* item) const {
    const auto it = m_groupOf.find(item);
    return it == m_groupOf.end() ? nullptr : &m_groups[it->second];
}
