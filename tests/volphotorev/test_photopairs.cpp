#include "volphotorev/photopairs.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

struct Case {
    const char* folder;
    const char* name;
    PhotoCategory category;
    PhotoOrigin origin;
    int group;  // photos of one number form one group; 0: in none
};

std::u16string U(const char* s) { return std::u16string(s, s + std::char_traits<char>::length(s)); }

TEST(PhotoPairs, RawFilesAndTheirCompanionsByFolderAndName) {
    const Case cases[] = {
        {"DCIM/100NIKON", "DSC_0042.NEF", Raw, FileSystem, 1},
        {"DCIM/100NIKON", "DSC_0042.JPG", Jpg, FileSystem, 1},
        {"DCIM/100NIKON", "DSC_0043.NEF", Raw, FileSystem, 0},      // its JPEG is gone
        {"DCIM/100CANON", "img_0007.cr3", Raw, DeletedRecord, 2},    // letter case aside
        {"dcim/100canon", "IMG_0007.JPG", Jpg, FileSystem, 2},
        {"DCIM/100CANON", "IMG_0007.HIF", Heic, FileSystem, 2},      // a third companion
        {"DCIM/101CANON", "IMG_0007.JPG", Jpg, FileSystem, 0},       // another folder
        {"Scans", "page.png", Png, FileSystem, 0},                   // no RAW among them
        {"Scans", "page.jpg", Jpg, FileSystem, 0},
        {"", "P1000001.RW2", Raw, FileSystem, 3},                    // the root folder
        {"", "P1000001.JPG", Jpg, DeletedRecord, 3},
        {"", "0000000001.nef", Raw, RawScan, 0},                     // numbered by the raw scan
        {"", "0000000001.jpg", Jpg, RawScan, 0},
        {"Edits", "DSC_0042.NEF", Raw, FileSystem, 0},               // two RAWs and nothing else
        {"Edits", "DSC_0042.DNG", Raw, FileSystem, 0},
        {"Odd", "README", Jpg, FileSystem, 0},                       // no extension to differ by
        {"Odd", "README.ARW", Raw, FileSystem, 0},
        {"Odd", ".JPG", Jpg, FileSystem, 0},
        {"Odd", ".ARW", Raw, FileSystem, 0},
    };
    std::vector<PhotoItem> items(std::size(cases));
    std::vector<PhotoItem*> pointers;
    for (size_t i = 0; i < items.size(); ++i) {
        items[i].folder = U(cases[i].folder);
        items[i].name = U(cases[i].name);
        items[i].category = cases[i].category;
        items[i].origin = cases[i].origin;
        pointers.push_back(&items[i]);
    }
    CPhotoPairs pairs;
    pairs.Build(pointers);
    EXPECT_EQ(pairs.GroupCount(), 3u);

    std::map<int, std::vector<PhotoItem*>> want;
    for (size_t i = 0; i < items.size(); ++i)
        if (cases[i].group) want[cases[i].group].push_back(&items[i]);
    for (size_t i = 0; i < items.size(); ++i) {
        SCOPED_TRACE(std::string(cases[i].folder) + "/" + cases[i].name);
        const std::vector<PhotoItem*>* group = pairs.GroupOf(&items[i]);
        if (cases[i].group == 0) {
            EXPECT_EQ(group, nullptr);
        } else {
            ASSERT_NE(group, nullptr);
            EXPECT_EQ(*group, want[cases[i].group]);
        }
    }

    // Built again, the old groups are gone.
    pairs.Build(std::span<PhotoItem* const>(pointers).first(2));
    EXPECT_EQ(pairs.GroupCount(), 1u);
    EXPECT_EQ(pairs.GroupOf(&items[4]), nullptr);
}

}  // namespace
