#include "support/stream.h"
#include "support/text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

class StreamTest : public ::testing::Test {
  protected:
    std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                ("trevik-stream-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                 "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    void SetUp() override { std::filesystem::create_directories(dir); }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::u16string write_file(const std::string& name, const std::string& bytes) {
        std::ofstream(dir / name, std::ios::binary) << bytes;
        return utf8_to_wtext((dir / name).string());
    }
    std::string read_file(const std::string& name) {
        std::ifstream in(dir / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
};

TEST_F(StreamTest, ReadsShortTailThenFailsAtEndAndStaysFailed) {
    std::string data(3000, 'x');
    data[2999] = 'y';
    Stream* s = stream_open(write_file("a.bin", data).c_str(), 0);
    ASSERT_NE(s, nullptr);
    char buf[4000];
    EXPECT_EQ(stream_read(s, buf, 0), -1);
    EXPECT_EQ(stream_read(s, buf, 10), 10);
    EXPECT_EQ(stream_tell(s), 10); // logical position, not the 1024 buffered
    EXPECT_EQ(stream_read(s, buf, 4000), 2990);
    EXPECT_EQ(buf[2989], 'y');
    EXPECT_EQ(stream_read(s, buf, 1), -1);
    // The end of the file is sticky: positioning cannot revive the stream.
    EXPECT_EQ(stream_seek(s, 0, 0), -1);
    EXPECT_EQ(stream_tell(s), -1);
    stream_close(s);
}

TEST_F(StreamTest, SeekBeforeStartSetsTheErrorFlag) {
    Stream* s = stream_open(write_file("b.bin", "hello").c_str(), 0);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(stream_seek(s, -2, 2), 3);
    char buf[8] = {};
    EXPECT_EQ(stream_read(s, buf, 8), 2);
    EXPECT_STREQ(buf, "lo");
    stream_close(s);

    s = stream_open(write_file("b.bin", "hello").c_str(), 0);
    EXPECT_EQ(stream_seek(s, -100, 2), -1);
    EXPECT_EQ(stream_seek(s, 0, 0), -1);
    EXPECT_EQ(stream_read(s, buf, 1), -1);
    stream_close(s);
}

TEST_F(StreamTest, ReadLineEndings) {
    struct Case {
        std::string bytes;
        std::vector<std::pair<std::string, int>> lines;
    } cases[] = {
        {"ab\r\n", {{"ab", 3}}},
        {"\n", {{"", 1}}},
        {"x", {{"x", 1}}},
        {"\ry", {{"", 1}, {"y", 1}}},
        {"one\ntwo\r\nthree\rfour", {{"one", 4}, {"two", 4}, {"three", 6}, {"four", 4}}},
    };
    for (const Case& c : cases) {
        Stream* s = stream_open(write_file("l.txt", c.bytes).c_str(), 0);
        ASSERT_NE(s, nullptr);
        char line[64];
        for (const auto& [text, count] : c.lines) {
            EXPECT_EQ(stream_read_line(s, line, sizeof line), count) << c.bytes;
            EXPECT_EQ(std::string(line), text);
        }
        EXPECT_EQ(stream_read_line(s, line, sizeof line), -1);
        EXPECT_EQ(line[0], 0);
        stream_close(s);
    }
}

TEST_F(StreamTest, ReadLineSplitsLongLinesAtTheBufferSize) {
    Stream* s = stream_open(write_file("long.txt", "abcdefg\n").c_str(), 0);
    char line[4];
    EXPECT_EQ(stream_read_line(s, line, 4), 3);
    EXPECT_STREQ(line, "abc");
    EXPECT_EQ(stream_read_line(s, line, 4), 3);
    EXPECT_STREQ(line, "def");
    EXPECT_EQ(stream_read_line(s, line, 4), 2);
    EXPECT_STREQ(line, "g");
    EXPECT_EQ(stream_read_line(s, line, 1), -1);
    stream_close(s);
}

TEST_F(StreamTest, WritesPrintsAppendsAndFlushesOnClose) {
    std::u16string path = utf8_to_wtext((dir / "w.txt").string());
    Stream* s = stream_open(path.c_str(), 1);
    ASSERT_NE(s, nullptr);
    std::string big(3000, 'z');
    EXPECT_EQ(stream_write(s, big.data(), 3000), 3000);
    EXPECT_EQ(stream_tell(s), 3000);
    EXPECT_EQ(stream_print(s, "boot:%d\n", 7), 7);
    std::string long_text(1500, 'q');
    EXPECT_EQ(stream_print(s, "%s", long_text.c_str()), 1500);
    EXPECT_EQ(stream_write(s, big.data(), 0), -1);
    char buf[1];
    EXPECT_EQ(stream_read(s, buf, 1), -1); // not a reading stream
    stream_close(s);
    EXPECT_EQ(read_file("w.txt"), big + "boot:7\n" + long_text);

    s = stream_open(path.c_str(), 2);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->mode, 1);
    EXPECT_EQ(stream_write(s, "!", 1), 1);
    stream_close(s);
    EXPECT_EQ(read_file("w.txt").back(), '!');
}

TEST_F(StreamTest, NullAndMissingFilesFailQuietly) {
    EXPECT_EQ(stream_open(nullptr, 0), nullptr);
    EXPECT_EQ(stream_open(utf8_to_wtext((dir / "none").string()).c_str(), 0), nullptr);
    stream_close(nullptr);
    char b[4];
    EXPECT_EQ(stream_read(nullptr, b, 4), -1);
    EXPECT_EQ(stream_write(nullptr, b, 4), -1);
    EXPECT_EQ(stream_read_line(nullptr, b, 4), -1);
    EXPECT_EQ(stream_tell(nullptr), -1);
    EXPECT_EQ(stream_seek(nullptr, 0, 0), -1);
    EXPECT_EQ(stream_flush(nullptr), 0);
    EXPECT_EQ(stream_print(nullptr, "x"), -1);
}

TEST_F(StreamTest, OpensUtf16PathsOutsideAscii) {
    Stream* s = stream_open(write_file("北京.dqv", "abc").c_str(), 0);
    ASSERT_NE(s, nullptr);
    stream_close(s);
}

} // namespace
