#include <gtest/gtest.h>

#include <vector>

#include "volphotorev/photoitems.h"

namespace {

std::unique_ptr<PhotoItem> Item(int32_t category, const char16_t* name) {
    auto item = std::make_unique<PhotoItem>();
    item->category = static_cast<PhotoCategory>(category);
    item->name = name;
    return item;
}

TEST(PhotoItemStore, ListsByCategoryInInsertionOrder) {
    CPhotoItemsMgr store;
    store.AddItem(Item(Png, u"a.png"));
    store.AddItem(Item(Jpg, u"x.jpg"));
    store.AddItem(Item(Png, u"b.png"));
    store.AddItem(Item(Png, u"c.png"));
    PhotoItem* out[100] = {};
    EXPECT_EQ(store.GetItems(Png, 0, 100, out), 3);
    EXPECT_EQ(out[0]->name, u"a.png");
    EXPECT_EQ(out[2]->name, u"c.png");
    EXPECT_EQ(store.GetItems(Png, 3, 100, out), 0);
    EXPECT_EQ(store.GetItems(Png, 1, 1, out), 1);
    EXPECT_EQ(out[0]->name, u"b.png");
    EXPECT_EQ(store.GetItems(Png, -1, -1, nullptr), 3);
    EXPECT_EQ(store.GetItems(Jpg, -1, -1, nullptr), 1);
}

TEST(PhotoItemStore, UnknownCategoryGoesToOther) {
    CPhotoItemsMgr store;
    store.AddItem(Item(12, u"x"));
    EXPECT_EQ(store.GetItems(12, -1, -1, nullptr), 1);
    EXPECT_EQ(store.GetItems(Other, -1, -1, nullptr), 1);
}

TEST(PhotoItemStore, ItemsKeepTheirPlaceAcrossChunks) {
    CPhotoItemsMgr store;
    const int n = static_cast<int>(3 * CPhotoItemsMgr::kChunkItems + 7);
    std::vector<PhotoItem*> seen;
    for (int i = 0; i < n; ++i) {
        auto item = Item(i % 3 == 0 ? Png : Jpg, u"");
        item->name = std::u16string(u"IMG_") + static_cast<char16_t>(u'A' + i % 26);
        item->size = static_cast<uint32_t>(i);
        item->runs = {{0, i * 8, 8}, {8, -3, 0}};
        store.AddItem(std::move(item));
        if (i == 0) {
            PhotoItem* first = nullptr;
            ASSERT_EQ(store.GetItems(Png, 0, 1, &first), 1);
            seen.push_back(first);
        }
    }
    const int pngs = (n + 2) / 3, jpgs = n - pngs;
    ASSERT_EQ(store.GetItems(Png, -1, -1, nullptr), pngs);
    ASSERT_EQ(store.GetItems(Jpg, -1, -1, nullptr), jpgs);
    // A block that straddles two chunks, in insertion order.
    std::vector<PhotoItem*> block(600);
    const int first = static_cast<int>(CPhotoItemsMgr::kChunkItems) - 100;
    ASSERT_EQ(store.GetItems(Jpg, first, 600, block.data()), 600);
    for (int k = 0; k < 600; ++k) {
        const int j = first + k;                    // the j-th JPEG
        const int i = j / 2 * 3 + 1 + j % 2;        // its number among all items
        EXPECT_EQ(block[static_cast<size_t>(k)]->size, static_cast<uint32_t>(i)) << k;
        EXPECT_EQ(block[static_cast<size_t>(k)]->runs[0].volumeSector, i * 8) << k;
    }
    // The first item stayed where it was while the store grew.
    PhotoItem* again = nullptr;
    ASSERT_EQ(store.GetItems(Png, 0, 1, &again), 1);
    EXPECT_EQ(again, seen[0]);
    EXPECT_EQ(again->size, 0u);
    EXPECT_EQ(store.GetItems(Jpg, jpgs - 5, 100, block.data()), 5);
}

TEST(PhotoCategoryOfName, ByExtensionIgnoringCase) {
    EXPECT_EQ(GetPhotoCategory("IMG_0001.JPG"), Jpg);
    EXPECT_EQ(GetPhotoCategory("a.jpeg"), Jpg);
    EXPECT_EQ(GetPhotoCategory("X.GIF"), Gif);
    EXPECT_EQ(GetPhotoCategory("shot.Png"), Png);
    EXPECT_EQ(GetPhotoCategory("paint.bmp"), Bmp);
    EXPECT_EQ(GetPhotoCategory("photo.jpe"), -1);
    EXPECT_EQ(GetPhotoCategory("abc"), -1);
    EXPECT_EQ(GetPhotoCategory("image.tiff"), Tiff);
    EXPECT_EQ(GetPhotoCategory("DSC_0001.NEF"), Raw);
    EXPECT_EQ(GetPhotoCategory("IMG_0001.HEIC"), Heic);
    EXPECT_EQ(GetPhotoCategory("a.webp"), WebP);
    EXPECT_EQ(GetPhotoCategory("notes.txt"), -1);
}

TEST(PhotoItemStore, KeepsOnlyTheChosenTypesAndSizes) {
    PhotoChoice choice;
    choice.categories = 1u << Jpg | 1u << Raw;
    choice.minSize = 16 * 1024;
    CPhotoItemsMgr store(choice);
    auto item = [](int c, uint32_t size) {
        auto i = Item(c, u"x");
        i->size = size;
        return i;
    };
    store.AddItem(item(Jpg, 20000));
    store.AddItem(item(Jpg, 1000));    // an icon: too small
    store.AddItem(item(Png, 50000));   // a type not chosen
    store.AddItem(item(Raw, 16384));
    store.AddItem(item(42, 90000));    // Other, not chosen
    EXPECT_EQ(store.GetItems(Jpg, -1, -1, nullptr), 1);
    EXPECT_EQ(store.GetItems(Png, -1, -1, nullptr), 0);
    EXPECT_EQ(store.GetItems(Raw, -1, -1, nullptr), 1);
    EXPECT_EQ(store.GetItems(Other, -1, -1, nullptr), 0);
    EXPECT_TRUE(store.Wants(Raw, 1u << 20));
    EXPECT_FALSE(store.Wants(Tiff, 1u << 20));
    EXPECT_FALSE(store.Wants(Jpg, 100));
}

}  // namespace
