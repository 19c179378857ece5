// The logger's levels and sink.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/log.h"

namespace {

struct Captured {
    std::vector<std::pair<int, std::string>> lines;
};

void capture(void* user, int level, const char* line) {
    static_cast<Captured*>(user)->lines.emplace_back(level, line);
}

class LogSinkTest : public ::testing::Test {
  protected:
    void TearDown() override {
        log_set_sink(nullptr, nullptr);
        log_set_min_level(LOG_VERBOSE);
    }
    Captured got;
};

TEST_F(LogSinkTest, SinkGetsWholeLinesWithTheirLevel) {
    log_set_sink(capture, &got);
    testing::internal::CaptureStdout();
    log_info("..\\common_t73\\QV_Machine", 565, "QV_Machine_writeBoot",
             "write boot data[0x%X][0x%X]", 0, 4096);
    log_warn("thread", 7, "thread_destroy", "left to finish\r\n");
    log_error("x", 1, "f", "%s", "broken");
    log_message(LOG_CRITICAL, "x", 2, "g", "gone");
    log_message(9, "x", 3, "h", "odd level");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_EQ(got.lines.size(), 5u);
    EXPECT_EQ(got.lines[0],
              std::make_pair(int(LOG_INFO),
                             std::string("[QV_Machine][  565][QV_Machine_writeBoot][INFO]: write "
                                         "boot data[0x0][0x1000]\n")));
    EXPECT_EQ(got.lines[1].first, LOG_WARN);
    EXPECT_EQ(got.lines[1].second,
              "[  thread][    7][      thread_destroy][WARN]: left to finish\n");
    EXPECT_EQ(got.lines[2].second, "[       x][    1][                   f][ERROR]: broken\n");
    EXPECT_EQ(got.lines[3].second, "[       x][    2][                   g][CRITICAL]: gone\n");
    EXPECT_EQ(got.lines[4].second, "[       x][    3][                   h][]: odd level\n");
}

TEST_F(LogSinkTest, LongNamesAndMessagesStayWhole) {
    log_set_sink(capture, &got);
    std::string longName(300, 'n');
    std::string big(5000, 'm');
    log_info(longName.c_str(), 123456, longName.c_str(), "%s", big.c_str());
    ASSERT_EQ(got.lines.size(), 1u);
    EXPECT_EQ(got.lines[0].second, "[" + longName + "][123456][" + longName +
                                       "][INFO]: " + std::string(4095, 'm') + "\n");
}

TEST_F(LogSinkTest, LinesBelowTheMinimumAreDropped) {
    log_set_sink(capture, &got);
    log_set_min_level(LOG_WARN);
    log_info("a", 1, "f", "info");
    log_warn("a", 2, "f", "warn");
    log_error("a", 3, "f", "error");
    ASSERT_EQ(got.lines.size(), 2u);
    EXPECT_EQ(got.lines[0].first, LOG_WARN);
    EXPECT_EQ(got.lines[1].first, LOG_ERROR);
}

TEST_F(LogSinkTest, NullSinkPrintsOnStandardOutputAgain) {
    log_set_sink(capture, &got);
    log_set_sink(nullptr, nullptr);
    testing::internal::CaptureStdout();
    log_info("a", 1, "f", "back");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[       a][    1][                   f][INFO]: back\n");
    EXPECT_TRUE(got.lines.empty());
}

void count_line(void* user, int, const char*) {
    ++*static_cast<std::atomic<int>*>(user);
}

TEST_F(LogSinkTest, ManyThreadsLogThroughOneSink) {
    std::atomic<int> count{0};
    log_set_sink(count_line, &count);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 200; ++i)
                log_info("t", i, "worker", "line %d", i);
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(count.load(), 800);
}

} // namespace
