// The frame every operation's Do follows and how a sink stops it, seen
// through the raw scan.
#include "volphotorev/operation.h"

#include <gtest/gtest.h>

#include "io/log.h"
#include "scan_fixture.h"
#include "testutil.h"

using namespace scantest;

TEST(OperationFrame, EventOrderOfASuccessfulRun) {
    MemoryPartition d(25000);
    d.Put(100, kJpg);
    d.Put(21000, kGif);
    RecordingSink sink;
    ASSERT_EQ(d.Scan(sink), 0);
    EXPECT_EQ(sink.Codes(), (std::vector<uint32_t>{CURRENT_TASK_START, INIT_CURRENT_PROGRESS, UPDATE_CURRENT_PROGRESS,
                                                    PHOTO_FOUND, PHOTO_FOUND, UPDATE_CURRENT_PROGRESS,
                                                    CURRENT_TASK_FINISHED}));
    EXPECT_EQ(sink.events[0].data, static_cast<IPartition*>(&d.part));
    EXPECT_EQ(sink.events[1].count, 25000);
    EXPECT_EQ(sink.events.back().data, nullptr);
}

TEST(OperationFrame, StopBeforeStartSendsNothingMoreAndReadsNothing) {
    MemoryPartition d(25000);
    d.Put(100, kJpg);
    RecordingSink sink;
    sink.stop = true;
    sink.stopValue = -4;
    EXPECT_EQ(d.Scan(sink), -4);  // the sink's own answer
    EXPECT_EQ(sink.Codes(), std::vector<uint32_t>{CURRENT_TASK_START});
    EXPECT_EQ(d.handle->ReadCalls(), 0u);
    EXPECT_EQ(d.items.GetItems(Jpg, 0, 0, nullptr), 0);
}

TEST(OperationFrame, StopAfterSomePhotosKeepsThemAndSkipsTheFinish) {
    MemoryPartition d(100000);
    d.Put(100, kJpg);    // stored when the first run is scanned ...
    d.Put(200, kPng);    // ... this one is still open at the run's end
    d.Put(30000, kGif);  // never reached
    RecordingSink sink;
    sink.stopAfterPhotos = 1;
    sink.stopValue = -2;
    EXPECT_EQ(d.Scan(sink), -2);
    // The stop is noticed at the next progress report; the open PNG is dropped.
    EXPECT_EQ(sink.Codes(), (std::vector<uint32_t>{CURRENT_TASK_START, INIT_CURRENT_PROGRESS, PHOTO_FOUND,
                                                    UPDATE_CURRENT_PROGRESS}));
    // Only the runs that close before that report were read: the full ones
    // of the first progress step but its last, which closes after it.
    EXPECT_EQ(d.handle->ReadCalls(),
              static_cast<size_t>((CRawScanPhoto::kProgressSectors - 1) / CRawScanPhoto::kBlockSectors));
    auto found = AllItems(d.items);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name, "0000000001.jpg");
    EXPECT_EQ(found[0].sectors, 100);
}

TEST(OperationFrame, RefusedProgressStartIsLoggedAndFails) {
    testutil::TempDir tmp;
    ASSERT_EQ(OpenLogFile((tmp / "scan.log").c_str()), 0);
    MemoryPartition d(1234);
    RecordingSink sink;
    sink.failCode = INIT_CURRENT_PROGRESS;
    sink.stopValue = -9;
    EXPECT_EQ(d.Scan(sink), -1);
    EXPECT_EQ(sink.Codes(), (std::vector<uint32_t>{CURRENT_TASK_START, INIT_CURRENT_PROGRESS}));
    auto log = testutil::ReadFileBytes(tmp / "scan.log");
    std::string text(log.begin(), log.end());
    EXPECT_NE(text.find("CRawScanPhoto::TransferFreeAlloUnits(): "
                        "Notify(IEventSink::INIT_CURRENT_PROGRESS) failed, SectorsToCopy: 1234\n"),
              std::string::npos)
        << text;
}

TEST(OperationFrame, RefusedFinishIsTheResult) {
    MemoryPartition d(1000);
    d.Put(0, kBmp);
    RecordingSink sink;
    sink.failCode = CURRENT_TASK_FINISHED;
    sink.stopValue = -7;
    EXPECT_EQ(d.Scan(sink), -7);
    EXPECT_EQ(d.items.GetItems(Bmp, 0, 0, nullptr), 1);
}

TEST(OperationFrame, AnswersToPhotoFoundAreNotChecked) {
    MemoryPartition d(1000);
    d.Put(0, kBmp);
    d.Put(10, kBmp);
    RecordingSink sink;
    sink.failCode = PHOTO_FOUND;
    EXPECT_EQ(d.Scan(sink), 0);
    EXPECT_EQ(d.items.GetItems(Bmp, 0, 0, nullptr), 2);
    EXPECT_EQ(sink.Codes().back(), CURRENT_TASK_FINISHED);
}
