// The platform seam on either system: the same calls, the same results.
// The Windows build runs these under Wine.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/charset.h"
#include "support/platform.h"
#include "support/sha256.h"
#include "support/temp_dir.h"

namespace {

class PlatformTest : public ::testing::Test {
  protected:
    std::string dir;
    void SetUp() override {
        static int serial = 0;
        std::string base = platform_temp_root() + platform_separator() + "trevik-platform-test-" +
                           std::to_string(platform_pid()) + "-" + std::to_string(serial++);
        ASSERT_EQ(platform_mkdir(base, true), 0);
        dir = base + platform_separator();
    }
    void TearDown() override {
        for (const char* name : {"bytes", "lock", "\xE7\x9C\x81\xE4\xBB\xBD.dqv"})
            platform_remove(dir + name);
        EXPECT_EQ(platform_remove(dir.substr(0, dir.size() - 1)), 0);
    }
};

// CR LF and 0x1A stay bytes: files are binary on every system.
TEST_F(PlatformTest, FilesAreBinaryByDescriptorAndByFile) {
    const char bytes[] = "A\r\nB\x1A" "C";
    std::string path = dir + "bytes";
    int fd = platform_open(path, PLATFORM_WRITE | PLATFORM_CREATE | PLATFORM_TRUNCATE);
    ASSERT_GE(fd, 0);
    FILE* w = platform_fdopen(fd, "wb");
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(std::fwrite(bytes, 1, 6, w), 6u);
    ASSERT_EQ(std::fflush(w), 0);
    EXPECT_EQ(platform_fsync(fd), 0);
    std::fclose(w);

    int64_t size = -1;
    EXPECT_EQ(platform_path_kind(path, &size), PLATFORM_PATH_FILE);
    EXPECT_EQ(size, 6);
    FILE* r = platform_fopen(path, "r"); // binary even without "b"
    ASSERT_NE(r, nullptr);
    char back[16] = {};
    EXPECT_EQ(std::fread(back, 1, sizeof back, r), 6u);
    std::fclose(r);
    EXPECT_EQ(std::memcmp(back, bytes, 6), 0);

    fd = platform_open(path, PLATFORM_READ);
    ASSERT_GE(fd, 0);
    char tail[8] = {};
    EXPECT_EQ(platform_pread(fd, tail, sizeof tail, 3), 3);
    EXPECT_EQ(std::string(tail, 3), "B\x1A" "C");
    EXPECT_EQ(platform_pread(fd, tail, sizeof tail, 6), 0);
    platform_close(fd);

    EXPECT_EQ(platform_open(path, PLATFORM_WRITE | PLATFORM_CREATE | PLATFORM_EXCLUSIVE), -1);
    EXPECT_EQ(platform_path_kind(dir + "none"), PLATFORM_PATH_MISSING);
    EXPECT_EQ(platform_path_kind(dir.substr(0, dir.size() - 1)), PLATFORM_PATH_DIR);
}

// A UTF-8 name with Chinese characters is the same file by both calls.
TEST_F(PlatformTest, Utf8NamesReachTheFileSystem) {
    std::string path = dir + "\xE7\x9C\x81\xE4\xBB\xBD.dqv"; // 省份.dqv
    FILE* w = platform_fopen(path, "wb");
    ASSERT_NE(w, nullptr);
    std::fputs("dqv", w);
    std::fclose(w);
    int fd = platform_open(path, PLATFORM_READ);
    ASSERT_GE(fd, 0);
    char back[4] = {};
    EXPECT_EQ(platform_pread(fd, back, 3, 0), 3);
    EXPECT_STREQ(back, "dqv");
    platform_close(fd);
}

TEST_F(PlatformTest, AnExclusiveLockShutsOutEveryOtherOpenFile) {
    std::string path = dir + "lock";
    int a = platform_open(path, PLATFORM_READ | PLATFORM_WRITE | PLATFORM_CREATE);
    int b = platform_open(path, PLATFORM_READ | PLATFORM_WRITE);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_EQ(platform_lock(a, true), PLATFORM_LOCK_HELD);
    EXPECT_EQ(platform_lock(b, true), PLATFORM_LOCK_BUSY);
    EXPECT_EQ(platform_lock(b, false), PLATFORM_LOCK_BUSY);
    platform_close(a);
    EXPECT_EQ(platform_lock(b, false), PLATFORM_LOCK_HELD);
    platform_close(b);
}

// New names never collide, keep their suffix and land in the folder given;
// a new file is a file by its descriptor too and can be cut back to nothing.
TEST_F(PlatformTest, UniqueFilesAndFolders) {
    std::string folder = dir.substr(0, dir.size() - 1);
    std::string a, b;
    int fa = platform_create_unique_file(folder, "trevik-", ".dqv", &a);
    int fb = platform_create_unique_file(folder, "trevik-", ".dqv", &b);
    ASSERT_GE(fa, 0);
    ASSERT_GE(fb, 0);
    EXPECT_NE(a, b);
    EXPECT_EQ(a.rfind(dir + "trevik-", 0), 0u) << a;
    EXPECT_EQ(a.substr(a.size() - 4), ".dqv");
    EXPECT_TRUE(platform_owned_by_me(a));
    EXPECT_EQ(platform_write(fa, "by\n", 3), 3);
    FILE* w = platform_fdopen(fa, "wb");
    ASSERT_NE(w, nullptr);
    std::fputs("\n\r", w);
    std::fflush(w);
    int64_t size = -1;
    EXPECT_EQ(platform_fd_kind(fa, &size), PLATFORM_PATH_FILE);
    EXPECT_EQ(size, 5);
    EXPECT_EQ(platform_truncate(fa, 3), 0);
    EXPECT_EQ(platform_fd_kind(fa, &size), PLATFORM_PATH_FILE);
    EXPECT_EQ(size, 3);
    int fr = platform_open(a, PLATFORM_READ);
    char back[8] = {};
    EXPECT_EQ(platform_read(fr, back, sizeof back), 3);
    EXPECT_STREQ(back, "by\n");
    EXPECT_EQ(platform_read(fr, back, sizeof back), 0);
    // Where the system names open files, the name reaches this same file.
    std::string same = platform_open_file_path(fr);
    if (!same.empty()) {
        int64_t same_size = -1;
        EXPECT_EQ(platform_path_kind(same, &same_size, true), PLATFORM_PATH_FILE);
        EXPECT_EQ(same_size, 3);
    }
    platform_close(fr);
    EXPECT_EQ(platform_truncate_private(fa), 0);
    EXPECT_EQ(platform_fd_kind(fa, &size), PLATFORM_PATH_FILE);
    EXPECT_EQ(size, 0);
    std::fclose(w);
    platform_close(fb);

    std::string sub = platform_make_unique_folder(folder, "run-");
    ASSERT_FALSE(sub.empty());
    EXPECT_EQ(platform_path_kind(sub), PLATFORM_PATH_DIR);
    std::string other = platform_make_unique_folder(folder, "run-");
    EXPECT_NE(sub, other);
    EXPECT_TRUE(platform_folder_writable(sub));
    EXPECT_FALSE(platform_access_denied(a));
    // Missing: the reason is in errno.
    errno = 0;
    EXPECT_EQ(platform_path_kind(dir + "none"), PLATFORM_PATH_MISSING);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(platform_make_unique_folder(dir + "none", "run-"), "");
    EXPECT_EQ(platform_create_unique_file(dir + "none", "x", "", &b), -1);

    // A rename replaces the file at the new name.
    EXPECT_EQ(platform_rename(a, b), 0);
    EXPECT_EQ(platform_path_kind(a), PLATFORM_PATH_MISSING);
    EXPECT_EQ(platform_path_kind(b, &size), PLATFORM_PATH_FILE);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(platform_rename(a, b), -1);
    EXPECT_EQ(platform_remove(b), 0);
    for (const std::string& p : {sub, other})
        EXPECT_EQ(platform_remove(p), 0);
}

// The state folder and its problem answer together: one of them is empty.
TEST(StateDir, EitherAFolderOrAReason) {
    std::string dir = platform_state_dir(), why = platform_state_dir_problem();
    EXPECT_NE(dir.empty(), why.empty()) << dir << " / " << why;
    if (!dir.empty()) {
        EXPECT_EQ(dir.substr(dir.size() - 7), std::string(1, platform_separator()) + "trevik");
    }
}

TEST(Clock, UtcTimesBothWays) {
    std::tm tm{};
    ASSERT_TRUE(platform_utc_time(1733011200, &tm)); // 2024-12-01 00:00:00
    EXPECT_EQ(tm.tm_year, 124);
    EXPECT_EQ(tm.tm_mon, 11);
    EXPECT_EQ(tm.tm_mday, 1);
    EXPECT_EQ(platform_time_of_utc(&tm), 1733011200);
}

TEST(Sha256, KnownAnswers) {
    EXPECT_EQ(sha256_hex(nullptr, 0),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex("abc", 3),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // Fed in pieces: the same digest.
    std::string million(1000000, 'a');
    Sha256* h = sha256_begin();
    ASSERT_NE(h, nullptr);
    for (size_t at = 0; at < million.size(); at += 4096)
        ASSERT_TRUE(sha256_add(h, million.data() + at, std::min<size_t>(4096, million.size() - at)));
    uint8_t digest[SHA256_BYTES];
    ASSERT_TRUE(sha256_end(h, digest));
    EXPECT_EQ(digest[0], 0xcd);
    EXPECT_EQ(digest[31], 0xd0);
}

TEST(Charset, CodePage936BothWaysAndWhatItCannotHold) {
    // 省份 in GBK and in UTF-16LE.
    const char gbk[] = "\xCA\xA1\xB7\xDD";
    const char utf16[] = "\x01\x77\xFD\x4E";
    std::vector<char> out;
    ASSERT_TRUE(charset_convert("UTF-16LE", "GBK", gbk, 4, &out));
    EXPECT_EQ(std::string(out.begin(), out.end()), std::string(utf16, 4));
    ASSERT_TRUE(charset_convert("GBK", "UTF-16LE", utf16, 4, &out));
    EXPECT_EQ(std::string(out.begin(), out.end()), std::string(gbk, 4));
    ASSERT_TRUE(charset_convert("UTF-8", "GBK", gbk, 4, &out));
    EXPECT_EQ(std::string(out.begin(), out.end()), "\xE7\x9C\x81\xE4\xBB\xBD");
    // A Korean syllable has no GBK code; a lone lead byte is no character.
    EXPECT_FALSE(charset_convert("GBK", "UTF-16LE", "\x00\xAC", 2, &out));
    EXPECT_FALSE(charset_convert("UTF-16LE", "GBK", "\xCA", 1, &out));
}

} // namespace

namespace {

bool exists(const std::string& path) {
    return platform_path_kind(path) != PLATFORM_PATH_MISSING;
}

void touch(const std::string& path) {
    platform_close(platform_open(path, PLATFORM_WRITE | PLATFORM_CREATE));
}

} // namespace

// The private temporary directory on either system: made and checked, run
// directories claimed, and only unclaimed leftovers swept.
TEST(TempDir, ClaimedRunsSurviveASweepAndFreedOnesGo) {
    std::string top = temp_dir_ensure();
    ASSERT_FALSE(top.empty());
    EXPECT_EQ(platform_path_kind(top), PLATFORM_PATH_DIR);
    EXPECT_EQ(temp_dir_ensure(), top); // a second time: the same, still ours

    const std::string sep(1, platform_separator());
    std::string leftover = "leftover-" + std::to_string(platform_pid()) + ".dqv";
    std::string run = top + sep + "run-" + std::to_string(platform_pid());
    ASSERT_EQ(platform_mkdir(run, true), 0);
    touch(run + sep + leftover);
    int claim = temp_dir_claim_run(run.c_str());
    ASSERT_GE(claim, 0);
    int second = temp_dir_claim_run(run.c_str()); // two runs of one name share it
    EXPECT_GE(second, 0);

    temp_dir_sweep_stale(leftover.c_str());
    EXPECT_TRUE(exists(run + sep + leftover)) << "a claimed run lost its file";

    temp_dir_release_run(claim);
    temp_dir_release_run(second);
    temp_dir_sweep_stale(leftover.c_str());
    EXPECT_FALSE(exists(run + sep + leftover));
    EXPECT_FALSE(exists(run)) << "an empty unclaimed run directory stays";

    // A name with a separator never reaches outside the directory.
    temp_dir_sweep_stale(("x" + sep + leftover).c_str());
}
