#include "app/photoview.h"

#include <algorithm>


bool PhotoView::Filters() const
{
    return (categories & ((1u << kPhotoCategoryCount) - 1)) != ((1u << kPhotoCategoryCount) - 1) || minBytes > 0 ||
           deletedOnly;
}

bool PhotoView::ShowsCategory(int category) const
{
    return category >= 0 && category < 32 && (categories & (1u << category)) != 0;
}

bool PhotoView::Shows(const PhotoItem& item) const
{
    if (item.size <= minBytes && minBytes > 0) return false;
    if (deletedOnly && !IsDeletedPhoto(item)) return false;
    return true;
}

namespace {

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

}  // namespace

int CompareNames(std::u16string_view a, std::u16string_view b)
{
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            // Numbers by value: leading zeros skipped, then the longer is
            // larger, then digit by digit.
            size_t ei = i, ej = j;
            while (ei < a.size() && IsDigit(a[ei])) ++ei;
            while (ej < b.size() && IsDigit(b[ej])) ++ej;
            size_t si = i, sj = j;
            while (si + 1 < ei && a[si] == u'0') ++si;
            while (sj + 1 < ej && b[sj] == u'0') ++sj;
            if (ei - si != ej - sj) return ei - si < ej - sj ? -1 : 1;
            for (size_t k = 0; k < ei - si; ++k)
                if (a[si + k] != b[sj + k]) return a[si + k] < b[sj + k] ? -1 : 1;
            i = ei;
            j = ej;
            continue;
        }
        const char16_t x = Lower(a[i]), y = Lower(b[j]);
        if (x != y) return x < y ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size() || j < b.size()) return i < a.size() ? 1 : -1;
    return a == b ? 0 : (a < b ? -1 : 1);  // the same but for case or zeros: a fixed order
}

std::u16string NameSortKey(std::u16string_view name)
{
    std::u16string key;
    key.reserve(name.size() + 4);
    for (size_t i = 0; i < name.size();) {
        if (!IsDigit(name[i])) {
            key.push_back(Lower(name[i++]));
            continue;
        }
        // A run of digits: '0' (which sorts against other characters as any
        // digit does), its length without leading zeros, then its digits.
        size_t end = i;
        while (end < name.size() && IsDigit(name[end])) ++end;
        while (i + 1 < end && name[i] == u'0') ++i;
        key.push_back(u'0');
        key.push_back(static_cast<char16_t>(std::min<size_t>(end - i, 0xFFFF)));
        key.append(name.substr(i, end - i));
        i = end;
    }
    return key;
}

int64_t PhotoTime(const PhotoItem& item)
{
    return item.mtime;
}

std::vector<int32_t> PhotoView::Arrange(const std::vector<PhotoItem*>& items) const
{
    std::vector<int32_t> shown;
    shown.reserve(items.size());
    for (size_t i = 0; i < items.size(); ++i)
        if (items[i] && Shows(*items[i])) shown.push_back(static_cast<int32_t>(i));
    switch (sort) {
    case ByName: {
        // Each name's key made once: a sort then compares plain strings.
        std::vector<std::u16string> keys(items.size());
        for (int32_t i : shown) keys[static_cast<size_t>(i)] = NameSortKey(items[static_cast<size_t>(i)]->name);
        std::stable_sort(shown.begin(), shown.end(), [&](int32_t a, int32_t b) {
            const int c = keys[static_cast<size_t>(a)].compare(keys[static_cast<size_t>(b)]);
            if (c != 0) return c < 0;
            return items[static_cast<size_t>(a)]->name < items[static_cast<size_t>(b)]->name;
        });
        break;
    }
    case BySize:
        std::stable_sort(shown.begin(), shown.end(),
                         [&](int32_t a, int32_t b) { return items[a]->size > items[b]->size; });
        break;
    case ByDate:
        std::stable_sort(shown.begin(), shown.end(), [&](int32_t a, int32_t b) {
            const int64_t ta = PhotoTime(*items[a]), tb = PhotoTime(*items[b]);
            if ((ta == 0) != (tb == 0)) return tb == 0;  // unknown dates last
            return ta > tb;
        });
        break;
    case FoundOrder:
        break;
    }
    return shown;
}

QString SortText(PhotoView::Sort sort)
{
    switch (sort) {
    case PhotoView::ByName: return QStringLiteral("Sort by name");
    case PhotoView::BySize: return QStringLiteral("Sort by size");
    case PhotoView::ByDate: return QStringLiteral("Sort by date");
    case PhotoView::FoundOrder: break;
    }
    return QStringLiteral("Sort as found");
}
