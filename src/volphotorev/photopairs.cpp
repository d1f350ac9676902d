#include "volphotorev/photopairs.h"

#include <string>

namespace {

char16_t Fold(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

// Folder and name without its extension, letter case folded; empty when
// the name has no extension to differ by.
std::u16string PairKey(const PhotoItem& item) {
    const size_t dot = item.name.rfind(u'.');
    if (dot == std::u16string::npos || dot == 0) return {};
    std::u16string key;
    key.reserve(item.folder.size() + 1 + dot);
    for (char16_t c : item.folder) key.push_back(Fold(c));
    key.push_back(u'/');  // never part of a name
    for (size_t i = 0; i < dot; ++i) key.push_back(Fold(item.name[i]));
    return key;
}

}  // namespace

void CPhotoPairs::Build(std::span<PhotoItem* const> items) {
    m_groups.clear();
    m_groupOf.clear();
    std::unordered_map<std::u16string, std::vector<PhotoItem*>> byKey;
    for (PhotoItem* item : items) {
        if (!item || item->origin == RawScan) continue;
        std::u16string key = PairKey(*item);
        if (!key.empty()) byKey[std::move(key)].push_back(item);
    }
    for (auto& [key, group] : byKey) {
        bool raw = false, other = false;
        for (const PhotoItem* item : group) (item->category == Raw ? raw : other) = true;
        if (!raw || !other) continue;
        for (const PhotoItem* item : group) m_groupOf[item] = m_groups.size();
        m_groups.push_back(std::move(group));
    }
}

const std::vector<PhotoItem*>* CPhotoPairs::GroupOf(const PhotoItem* item) const {
    const auto it = m_groupOf.find(item);
    return it == m_groupOf.end() ? nullptr : &m_groups[it->second];
}
