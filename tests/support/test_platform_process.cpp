// Starting this program again, the terminal checks and the abort hook of
// the platform seam, the same on either system (the Windows build runs
// these under Wine).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/charset.h"
#include "support/platform.h"

namespace {

constexpr const char* CHANNEL = "TREVIK_TEST_SIDE_CHANNEL";

// The program as RunSelf starts it: it tells through the side channel what
// it was given and ends with 7.
TEST(RunSelf, Child) {
    const char* channel = std::getenv(CHANNEL);
    if (!channel)
        GTEST_SKIP() << "runs only when the test below starts it";
    int fd = platform_side_channel(channel);
    ASSERT_GE(fd, 0);
    FILE* out = platform_fdopen(fd, "wb");
    ASSERT_NE(out, nullptr);
    std::string told;
    for (const std::string& a : ::testing::internal::GetArgvs())
        told += "[" + a + "]";
    const char* value = std::getenv("TREVIK_TEST_VALUE");
    told += std::string(" value=") + (value ? value : "(none)");
    told += std::string(" path=") + (std::getenv("PATH") ? "set" : "removed");
    std::fputs(told.c_str(), out);
    std::fclose(out);
    std::fflush(nullptr);
    std::exit(7);
}

TEST(RunSelf, ArgumentsEnvironmentSideChannelAndExitCodeGetThrough) {
    if (std::getenv(CHANNEL))
        GTEST_SKIP();
    PlatformRunSelf run;
    // Spaces, quotes and backslashes survive the trip (Windows joins the
    // arguments into one command line that the program splits again).
    run.args = {"support_tests", "--gtest_filter=RunSelf.Child", "two words", "say \"hi\"",
                "back\\slash\\", "\xE7\x9C\x81"};
    run.env = {"TREVIK_TEST_VALUE=a b=c", "PATH"};
    run.channel_variable = CHANNEL;
    std::string channel;
    EXPECT_EQ(platform_run_self(run, &channel), 7);
    EXPECT_EQ(channel, "[support_tests][--gtest_filter=RunSelf.Child][two words][say \"hi\"]"
                       "[back\\slash\\][\xE7\x9C\x81] value=a b=c path=removed");
}

TEST(RunSelf, WithoutASideChannelOnlyTheExitCodeComesBack) {
    if (std::getenv(CHANNEL))
        GTEST_SKIP();
    PlatformRunSelf run;
    run.args = {"support_tests", "--gtest_filter=RunSelf.Child"};
    std::string channel = "untouched";
    // The child finds no channel: it skips and passes.
    EXPECT_EQ(platform_run_self(run, &channel), 0);
    EXPECT_EQ(channel, "untouched");
}

TEST(RunSelf, SideChannelTextsThatNameNone) {
    for (const char* text : {"", "abc", "12x", "0", "-5"})
        EXPECT_EQ(platform_side_channel(text), -1) << text;
    EXPECT_EQ(platform_side_channel(nullptr), -1);
}

TEST(Terminal, FilesAreNoTerminalAndTheCharsetConverts) {
    std::string path = platform_temp_root() + platform_separator() + "trevik-terminal-" +
                       std::to_string(platform_pid());
    int fd = platform_open(path, PLATFORM_WRITE | PLATFORM_CREATE | PLATFORM_TRUNCATE);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(platform_is_terminal(fd));
    EXPECT_EQ(platform_terminal_width(fd), 0);
    platform_close(fd);
    platform_remove(path);
    // Whatever the terminal's set, a UTF-8 text converts into it unless it
    // is UTF-8 already.
    std::string cs = platform_terminal_charset();
    std::vector<char> out;
    if (!cs.empty()) {
        EXPECT_TRUE(charset_convert(cs.c_str(), "UTF-8", "A", 1, &out)) << cs;
    }
}

// A stream opened in text mode, as standard output is, writes LF alone once
// it is made binary.
TEST(Terminal, ABinaryStreamWritesLineEndsAsTheyAre) {
    std::string path = platform_temp_root() + platform_separator() + "trevik-binary-" +
                       std::to_string(platform_pid());
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    platform_binary_stream(f);
    std::fputs("a\nb\n", f);
    std::fclose(f);
    int64_t size = -1;
    EXPECT_EQ(platform_path_kind(path, &size), PLATFORM_PATH_FILE);
    EXPECT_EQ(size, 4);
    platform_remove(path);
}

// A console's code page by number, as the Windows side names it.
TEST(Charset, CodePagesByNumber) {
    std::vector<char> out;
    ASSERT_TRUE(charset_convert("CP437", "UTF-8", "\xC3\xA9", 2, &out)); // é
    EXPECT_EQ(std::string(out.begin(), out.end()), "\x82");
    ASSERT_TRUE(charset_convert("UTF-8", "CP936", "\xCA\xA1", 2, &out));
    EXPECT_EQ(std::string(out.begin(), out.end()), "\xE7\x9C\x81");
    EXPECT_FALSE(charset_convert("CP437", "UTF-8", "\xE7\x9C\x81", 3, &out));
}

// The abort hook runs before the process ends as an abort would end it.
void leave_mark() {
    std::fputs("last words\n", stderr);
    std::fflush(stderr);
}

TEST(AbortHook, RunsBeforeTheProcessEnds) {
    EXPECT_DEATH(
        {
            platform_on_abort(leave_mark);
            std::abort();
        },
        "last words");
}

} // namespace
