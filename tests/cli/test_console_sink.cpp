#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/console_sink.h"

namespace {

TEST(ConsoleSink, PercentFollowsTheScanPageRules) {
    CConsoleSink sink(false, nullptr, nullptr);
    int64_t total = 1000, step = 0;
    sink.Notify(INIT_TASK_COUNT, 2, nullptr, 0);
    sink.Notify(CURRENT_TASK_START, 0, nullptr, 0);
    sink.Notify(INIT_CURRENT_PROGRESS, 0, &total, 0);
    EXPECT_EQ(sink.Percent(), 2);
    step = 5;  // 0.5 %: shown as 2
    sink.Notify(UPDATE_CURRENT_PROGRESS, 0, &step, 0);
    EXPECT_EQ(sink.Percent(), 2);
    step = 500;
    sink.Notify(UPDATE_CURRENT_PROGRESS, 0, &step, 0);
    EXPECT_EQ(sink.Percent(), 50);
    step = 5000;  // past the total: held at 99
    sink.Notify(UPDATE_CURRENT_PROGRESS, 0, &step, 0);
    EXPECT_EQ(sink.Percent(), 99);
    sink.Notify(CURRENT_TASK_FINISHED, 0, nullptr, 0);
    EXPECT_EQ(sink.Percent(), 100);
    total = 0;  // a step of no work stays at 2 until it finishes
    sink.Notify(INIT_CURRENT_PROGRESS, 0, &total, 0);
    sink.Notify(UPDATE_CURRENT_PROGRESS, 0, &step, 0);
    EXPECT_EQ(sink.Percent(), 2);
    sink.Notify(PHOTO_FOUND, 1, nullptr, 0);
    sink.Notify(PHOTO_FOUND, 1, nullptr, 0);
    sink.Notify(4, 0, nullptr, 0);
    EXPECT_EQ(sink.Found(), 2);
}

TEST(ConsoleSink, StopFlagTurnsEveryAnswerNegative) {
    std::atomic<bool> stop{false};
    CConsoleSink sink(false, nullptr, &stop);
    EXPECT_EQ(sink.Notify(CURRENT_TASK_START, 0, nullptr, 0), 0);
    stop = true;
    for (uint32_t code : {0u, 2u, 6u, 8u, 13u, 12u}) EXPECT_EQ(sink.Notify(code, 0, nullptr, 0), -1) << code;
}

TEST(ConsoleSink, ProgressTextAndClock) {
    EXPECT_EQ(CConsoleSink::ClockText(0), "00:00:00");
    EXPECT_EQ(CConsoleSink::ClockText(3 * 3600 + 7 * 60 + 9), "03:07:09");
    EXPECT_EQ(CConsoleSink::ClockText(25 * 3600), "01:00:00");  // hours within the day
    const std::string half = CConsoleSink::ProgressText(1, 2, 50, 3, 60);
    EXPECT_NE(half.find("50%"), std::string::npos);
    EXPECT_NE(half.find("found 3 photos"), std::string::npos);
    EXPECT_NE(half.find("remaining 00:01:00"), std::string::npos);
    EXPECT_NE(CConsoleSink::ProgressText(1, 1, 25, 0, 60).find("remaining 00:03:00"), std::string::npos);
    EXPECT_EQ(CConsoleSink::ProgressText(1, 1, 0, 0, 60).find("remaining 00"), std::string::npos);
}

TEST(ConsoleSink, DrawsOnlyWhenLive) {
    char buf[4096] = {};
    FILE* out = fmemopen(buf, sizeof buf - 1, "w");
    ASSERT_NE(out, nullptr);
    int64_t total = 10;
    CConsoleSink quiet(false, out, nullptr);
    quiet.Notify(INIT_CURRENT_PROGRESS, 0, &total, 0);
    quiet.Finish();
    std::fflush(out);
    EXPECT_EQ(std::string(buf), "");
    CConsoleSink live(true, out, nullptr);
    live.Notify(INIT_TASK_COUNT, 1, nullptr, 0);
    live.Notify(CURRENT_TASK_START, 0, nullptr, 0);
    live.Notify(INIT_CURRENT_PROGRESS, 0, &total, 0);
    live.Notify(ALL_TASKS_FINISHED, 0, nullptr, 0);
    live.Finish();
    std::fclose(out);
    const std::string text(buf);
    EXPECT_EQ(text.front(), '\r');
    EXPECT_NE(text.find("100%"), std::string::npos);
    EXPECT_EQ(text.back(), '\n');
}

}  // namespace

// A scan that says the drive seems to fail gets one warning line suggesting
// a copy first, even when no progress line is drawn.
TEST(ConsoleSink, FailingDriveWarnsOnce) {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    ASSERT_NE(out, nullptr);
    {
        CConsoleSink sink(false, out, nullptr);
        EXPECT_EQ(sink.Notify(DRIVE_FAILING, 300, nullptr, 0), 0);
        EXPECT_TRUE(sink.DriveFailing());
    }
    std::fclose(out);
    const std::string said(text, size);
    std::free(text);
    EXPECT_EQ(said, kFailingDriveText);
    EXPECT_NE(said.find("lumivista-cli image"), std::string::npos);
}
