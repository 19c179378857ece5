// Texts of the progress bar for device writes and downloads.
#include "update/progress_text.h"

#include <gtest/gtest.h>

namespace {

TEST(ProgressDeviceText, WorkedExamples) {
    EXPECT_EQ(progress_device_text("", 4567, 12), "Updated 45.67%   Time 12 Second");
    EXPECT_EQ(progress_device_text("", 10000, 0), "Updated 100.00%   Time 0 Second");
    EXPECT_EQ(progress_device_text("Load ", 10000, 3), "Load Updated 100.00%   Time 3 Second");
    EXPECT_EQ(progress_device_text("read fail\xEF\xBC\x81", 0, 1),
              "read fail\xEF\xBC\x81Updated 0.00%   Time 1 Second");
}

TEST(ProgressDeviceText, ElapsedIsUnsignedWholeSeconds) {
    EXPECT_EQ(progress_elapsed_seconds(12999, 1000), 11u);
    EXPECT_EQ(progress_elapsed_seconds(999, 0), 0u);
    // A tick counter that wrapped still counts forward.
    EXPECT_EQ(progress_elapsed_seconds(1000, 0xFFFFFC18u), 2u);
}

struct TimeCase {
    uint32_t seconds;
    const char* text;
};

TEST(ProgressTimeText, HoursAndMinutesOnlyWhenNotZero) {
    const TimeCase cases[] = {{0, "0Second"},
                              {5, "5Second"},
                              {60, "1Minute0Second"},
                              {3600, "1Hour0Second"},
                              {3605, "1Hour5Second"},
                              {3725, "1Hour2Minute5Second"},
                              {86399, "23Hour59Minute59Second"}};
    for (const TimeCase& c : cases)
        EXPECT_EQ(progress_time_text(c.seconds), c.text) << c.seconds;
}

TEST(ProgressDownloadText, WorkedExample) {
    EXPECT_EQ(progress_download_text(1024000, 512000, 10000000),
              "Updated percent50.00% Speed100.00Kb/s  Remaining time5Second");
}

TEST(ProgressDownloadText, ZeroSpeedShowsZeroRemaining) {
    EXPECT_EQ(progress_download_text(1024000, 512000, 0),
              "Updated percent50.00% Speed0.00Kb/s  Remaining time0Second");
    // The end of a finished download: full bar, no speed, nothing left.
    EXPECT_EQ(progress_download_text(2048, 2048, 0),
              "Updated percent100.00% Speed0.00Kb/s  Remaining time0Second");
}

TEST(ProgressDownloadText, UnknownTotalShowsZeroPercent) {
    EXPECT_EQ(progress_download_text(0, 5000, 100000),
              "Updated percent0.00% Speed1.00Kb/s  Remaining time0Second");
}

TEST(ProgressRemaining, UnsignedDifferenceAndRange) {
    EXPECT_EQ(progress_remaining_seconds(1024 * 3725, 0, 1.0), 3725u);
    // More received than announced wraps around in 32 bits, as counted.
    EXPECT_EQ(progress_remaining_seconds(0, 1024, 1.0), 4194303u);
    EXPECT_EQ(progress_remaining_seconds(0xFFFFFFFFu, 0, 1e-9), 0u);
    EXPECT_EQ(progress_remaining_seconds(100, 100, 0.0), 0u);
}

// Where a failed run stopped: the share counted, else the stage it was in.
TEST(ProgressStoppedText, FigureElseStage) {
    const struct {
        const char* last;
        uint64_t done, total;
        const char* text;
    } cases[] = {
        {"Updated 64.02%   Time 12 Second", 6402, 10000, "Stopped at 64.02%"},
        {"", 1, 3, "Stopped at 33.33%"},
        {"x", 7, 5, "Stopped at 100.00%"}, // never beyond the whole
        {"Saving the unit's settings\u2026", 0, 0, "Stopped: Saving the unit's settings\u2026"},
        {"", 0, 0, ""}};
    for (const auto& c : cases)
        EXPECT_EQ(progress_stopped_text(c.last, c.done, c.total), c.text) << c.last;
}

} // namespace
