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
    AppendNameSortKey(key, name);
    return key;
}

void AppendNameSortKey(std::u16string& key, std::u16string_view name)
{
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
}

int64_t PhotoTime(const PhotoItem& item)
{
    return item.mtime;
}

namespace {

bool Stopped(const std::atomic<bool>* stop) { return stop && stop->load(std::memory_order_relaxed); }

// A stable merge sort that looks at `stop` between its merges (a sort
// whose comparison changed halfway could run past its ends).
template <typename T, typename Less>
void StableSort(std::vector<T>& v, const std::atomic<bool>* stop, Less less)
{
    constexpr size_t kRun = 32;
    const size_t n = v.size();
    for (size_t lo = 0; lo < n; lo += kRun) {
        if (lo % 4096 == 0 && Stopped(stop)) return;
        std::stable_sort(v.begin() + static_cast<ptrdiff_t>(lo),
                         v.begin() + static_cast<ptrdiff_t>(std::min(n, lo + kRun)), less);
    }
    std::vector<T> merged(n);
    for (size_t width = kRun; width < n; width *= 2) {
        for (size_t lo = 0; lo < n; lo += 2 * width) {
            if (Stopped(stop)) return;
            const auto at = [&](size_t k) { return v.begin() + static_cast<ptrdiff_t>(std::min(n, k)); };
            std::merge(at(lo), at(lo + width), at(lo + width), at(lo + 2 * width),
                       merged.begin() + static_cast<ptrdiff_t>(lo), less);
        }
        v.swap(merged);
    }
}

// By name: each name's key made once, side by side in one string, so the
// sort compares plain strings (each photo's key and position side by side
// too, so a comparison reaches into memory only for the keys' characters);
// names with equal keys (they differ in case or leading zeros only) by the
// names themselves.
void OrderByName(const std::vector<PhotoItem*>& items, std::vector<int32_t>& order, const std::atomic<bool>* stop)
{
    std::u16string keys;
    keys.reserve(items.size() * 16);
    struct Entry {
        size_t start;  // of its key in `keys`
        uint32_t length;
        int32_t at;
    };
    std::vector<Entry> entries;
    entries.reserve(order.size());
    for (int32_t i : order) {
        if (entries.size() % 4096 == 0 && Stopped(stop)) return;
        const size_t start = keys.size();
        AppendNameSortKey(keys, items[static_cast<size_t>(i)]->name);
        entries.push_back(Entry{start, static_cast<uint32_t>(keys.size() - start), i});
    }
    const char16_t* base = keys.data();
    StableSort(entries, stop, [&](const Entry& a, const Entry& b) {
        const int c =
            std::u16string_view(base + a.start, a.length).compare(std::u16string_view(base + b.start, b.length));
        if (c != 0) return c < 0;
        return items[static_cast<size_t>(a.at)]->name < items[static_cast<size_t>(b.at)]->name;
    });
    for (size_t k = 0; k < entries.size(); ++k) order[k] = entries[k].at;
}

// By size, largest first: size and position in one number, sorted.
void OrderBySize(const std::vector<PhotoItem*>& items, std::vector<int32_t>& order)
{
    std::vector<uint64_t> keys;
    keys.reserve(order.size());
    for (int32_t i : order)
        keys.push_back(uint64_t{~items[static_cast<size_t>(i)]->size} << 32 | static_cast<uint32_t>(i));
    std::sort(keys.begin(), keys.end());
    for (size_t k = 0; k < keys.size(); ++k) order[k] = static_cast<int32_t>(keys[k] & 0xFFFFFFFFu);
}

// By date, newest first, unknown dates last.
void OrderByDate(const std::vector<PhotoItem*>& items, std::vector<int32_t>& order)
{
    struct Key {
        bool unknown;
        uint64_t later;  // smaller for later times
        int32_t at;
    };
    std::vector<Key> keys;
    keys.reserve(order.size());
    for (int32_t i : order) {
        const int64_t t = PhotoTime(*items[static_cast<size_t>(i)]);
        keys.push_back(Key{t == 0, ~(static_cast<uint64_t>(t) ^ (uint64_t{1} << 63)), i});
    }
    std::sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
        if (a.unknown != b.unknown) return b.unknown;
        if (a.later != b.later) return a.later < b.later;
        return a.at < b.at;
    });
    for (size_t k = 0; k < keys.size(); ++k) order[k] = keys[k].at;
}

}  // namespace

std::vector<int32_t> PhotoOrder(const std::vector<PhotoItem*>& items, PhotoView::Sort sort,
                                const std::atomic<bool>* stop)
{
    std::vector<int32_t> order;
    order.reserve(items.size());
    for (size_t i = 0; i < items.size() && i <= INT32_MAX; ++i)
        if (items[i]) order.push_back(static_cast<int32_t>(i));
    switch (sort) {
    case PhotoView::ByName: OrderByName(items, order, stop); break;
    case PhotoView::BySize: OrderBySize(items, order); break;
    case PhotoView::ByDate: OrderByDate(items, order); break;
    case PhotoView::FoundOrder: break;
    }
    return order;
}

std::vector<int32_t> PhotoView::Arrange(const std::vector<PhotoItem*>& items) const
{
    return Arrange(items, PhotoOrder(items, sort));
}

std::vector<int32_t> PhotoView::Arrange(const std::vector<PhotoItem*>& items, const std::vector<int32_t>& order) const
{
    std::vector<int32_t> shown;
    if (minBytes == 0 && !deletedOnly) {
        shown = order;
    } else {
        // Which photos show, found in store order (the photos lie in memory
        // in that order), then taken in the given order.
        std::vector<uint8_t> shows(items.size(), 0);
        for (size_t i = 0; i < items.size(); ++i) shows[i] = items[i] && Shows(*items[i]);
        shown.reserve(order.size());
        for (int32_t i : order)
            if (i >= 0 && static_cast<size_t>(i) < items.size() && shows[static_cast<size_t>(i)]) shown.push_back(i);
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
