// Disk images made with sfdisk and mkfs.fat, loaded through the real
// platform and the disk manager with the image files as the only disks.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "io/diskmgr.h"
#include "io/platform/platform.h"
#include "io/volmgr.h"
#include "testutil.h"

class ImageDiskTest : public ::testing::Test {
protected:
    testutil::TempDir dir;

    void SetUp() override {
        if (!testutil::HaveTool("sfdisk")) GTEST_SKIP() << "sfdisk is missing";
        SetPlatform(nullptr);
    }
    void TearDown() override {
        // The machine's disks are never loaded by these tests: the list is
        // emptied while the sources still name only the images.
        CDiskMgr::Instance().ReleaseAllDisk();
        SetDiskSources(false, {});
        CVolMgr::Instance().EnumVols();
        SetDiskSources(true, {});
    }

    // A sparse image of `mib` MiB partitioned by an sfdisk script (none when empty).
    std::string Make(const std::string& name, int mib, const std::string& table) {
        std::string img = dir / name;
        EXPECT_EQ(testutil::Run("truncate -s " + std::to_string(mib) + "M '" + img + "'"), 0);
        if (!table.empty()) {
            std::string script = dir / (name + ".sfdisk");
            testutil::WriteFileBytes(script, std::vector<uint8_t>(table.begin(), table.end()));
            EXPECT_EQ(testutil::Run("sfdisk -q '" + img + "' < '" + script + "'"), 0) << table;
        }
        return img;
    }

    // Loads the disk manager with exactly these images as disks.
    CDiskMgr& Load(const std::vector<std::string>& images) {
        SetDiskSources(false, images);
        CDiskMgr& mgr = CDiskMgr::Instance();
        mgr.ReleaseAllDisk();
        mgr.LoadAllDisk();
        return mgr;
    }
    CDisk* LoadOne(const std::string& image) {
        CDiskMgr& mgr = Load({image});
        EXPECT_EQ(mgr.GetDiskCount(), 1);
        return mgr.GetDiskByIndex(0);
    }

    static void PatchU32(const std::string& path, uint64_t offset, uint32_t value) {
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(offset));
        uint8_t b[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
        f.write(reinterpret_cast<const char*>(b), 4);
        ASSERT_TRUE(f.good());
    }
    static void PatchU8(const std::string& path, uint64_t offset, uint8_t value) {
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(offset));
        f.write(reinterpret_cast<const char*>(&value), 1);
        ASSERT_TRUE(f.good());
    }
    // Byte offset of field `field` of table entry `slot` in the table sector at `lba`.
    static uint64_t EntryField(uint64_t lba, int slot, int field) { return lba * 512 + 446 + 16 * slot + field; }
};
