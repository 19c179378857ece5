// The tool's own temporary directory: where it is, how it is made, and what
// at its name is refused.
#include "support/stream.h"
#include "support/temp_dir.h"
#include "support/text.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// An environment variable set (or unset, for null) while the object lives.
class EnvVar {
  public:
    EnvVar(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        had_ = old != nullptr;
        if (old)
            old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvVar() {
        if (had_)
            setenv(name_.c_str(), old_.c_str(), 1);
        else
            unsetenv(name_.c_str());
    }

  private:
    std::string name_, old_;
    bool had_ = false;
};

// A fresh directory standing for the system's temporary directory.
class ToolTempDir : public ::testing::Test {
  protected:
    ToolTempDir() {
        char tmpl[] = "/tmp/trevik-tempdir-XXXXXX";
        root = mkdtemp(tmpl);
    }
    ~ToolTempDir() override {
        std::error_code ec;
        fs::permissions(root, fs::perms::owner_all, ec);
        fs::remove_all(root, ec);
    }
    std::string own() const { return root + "/trevik-" + std::to_string(geteuid()); }
    static mode_t mode_of(const std::string& p) {
        struct stat st {};
        return ::lstat(p.c_str(), &st) == 0 ? st.st_mode : 0;
    }

    std::string root;
    EnvVar noRuntime{"XDG_RUNTIME_DIR", nullptr};
    EnvVar tmpdir{"TMPDIR", nullptr};
};

TEST_F(ToolTempDir, WhereTheDirectoryIs) {
    std::string uid = std::to_string(geteuid());
    struct Case {
        const char* runtime;
        const char* tmpdir;
        std::string expected;
    };
    const Case cases[] = {
        {"/run/user/1000", "/var/tmp", "/run/user/1000/trevik"},
        {"/run/user/1000/", nullptr, "/run/user/1000/trevik"},
        {"relative/run", "/var/tmp", "/var/tmp/trevik-" + uid},
        {"", "/var/tmp/", "/var/tmp/trevik-" + uid},
        {nullptr, nullptr, "/tmp/trevik-" + uid},
        {nullptr, "", "/tmp/trevik-" + uid},
        {nullptr, "/", "/trevik-" + uid},
    };
    for (const Case& c : cases) {
        EnvVar runtime("XDG_RUNTIME_DIR", c.runtime);
        EnvVar tmp("TMPDIR", c.tmpdir);
        EXPECT_EQ(temp_dir_path(), c.expected)
            << (c.runtime ? c.runtime : "(unset)") << " " << (c.tmpdir ? c.tmpdir : "(unset)");
    }
}

TEST_F(ToolTempDir, MadeForThisUserAloneAndTightenedWhenOthersMayRead) {
    EnvVar tmp("TMPDIR", root.c_str());
    ASSERT_EQ(temp_dir_ensure(), own());
    EXPECT_TRUE(S_ISDIR(mode_of(own())));
    EXPECT_EQ(mode_of(own()) & 0777, 0700u);
    EXPECT_EQ(temp_dir_file(u"Tmp"), utf8_to_wtext(own() + "/Tmp"));

    ::chmod(own().c_str(), 0755);
    EXPECT_EQ(temp_dir_ensure(), own());
    EXPECT_EQ(mode_of(own()) & 0777, 0700u);

    EnvVar runtime("XDG_RUNTIME_DIR", root.c_str());
    EXPECT_EQ(temp_dir_ensure(), root + "/trevik");
    EXPECT_EQ(mode_of(root + "/trevik") & 0777, 0700u);
}

// What another user could have put at the name first: each is refused, the
// reason in errno, and nothing is made through it.
TEST_F(ToolTempDir, WhatOthersCouldPutAtTheNameIsRefused) {
    EnvVar tmp("TMPDIR", root.c_str());
    std::string elsewhere = root + "/elsewhere";
    fs::create_directory(elsewhere);
    struct Case {
        const char* what;
        void (*plant)(const std::string& name, const std::string& elsewhere);
        int error;
    };
    const Case cases[] = {
        {"a link to a directory",
         [](const std::string& n, const std::string& e) { fs::create_directory_symlink(e, n); },
         ELOOP},
        {"a dangling link",
         [](const std::string& n, const std::string& e) { fs::create_symlink(e + "/none", n); },
         ELOOP},
        {"a file",
         [](const std::string& n, const std::string&) { std::ofstream(n) << "x"; }, ENOTDIR},
        {"a directory others may write to",
         [](const std::string& n, const std::string&) {
             fs::create_directory(n);
             ::chmod(n.c_str(), 0777);
         },
         EACCES},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.plant(own(), elsewhere);
        errno = 0;
        EXPECT_EQ(temp_dir_ensure(), "");
        EXPECT_EQ(errno, c.error);
        EXPECT_EQ(temp_dir_file(u"Tmp"), u"");
        EXPECT_TRUE(fs::is_empty(elsewhere));
        EXPECT_FALSE(fs::exists(elsewhere + "/none"));
        fs::remove_all(own());
    }
}

TEST_F(ToolTempDir, AnotherUsersDirectoryIsRefused) {
    if (geteuid() != 0)
        GTEST_SKIP() << "making a directory of another user needs root";
    EnvVar tmp("TMPDIR", root.c_str());
    ASSERT_TRUE(fs::create_directory(own()));
    ::chmod(own().c_str(), 0700);
    ASSERT_EQ(::chown(own().c_str(), 65534, 65534), 0);
    errno = 0;
    EXPECT_EQ(temp_dir_ensure(), "");
    EXPECT_EQ(errno, EPERM);
    EXPECT_TRUE(fs::is_empty(own()));
}

// Files inside are opened without following a link at their name.
TEST_F(ToolTempDir, FilesInsideAreNeverOpenedThroughALink) {
    EnvVar tmp("TMPDIR", root.c_str());
    ASSERT_EQ(temp_dir_ensure(), own());
    std::string victim = root + "/victim";
    std::ofstream(victim) << "keep";
    std::string name = own() + "/Tmp";
    fs::create_symlink(victim, name);

    errno = 0;
    EXPECT_EQ(temp_dir_open(name.c_str(), O_WRONLY | O_TRUNC), -1);
    EXPECT_EQ(errno, ELOOP);
    std::u16string wname = utf8_to_wtext(name);
    EXPECT_EQ(stream_open_private(wname.c_str(), 1), nullptr);
    EXPECT_EQ(stream_open_private(wname.c_str(), 0), nullptr);
    std::ifstream in(victim);
    std::string content;
    in >> content;
    EXPECT_EQ(content, "keep");

    // A plain file is written and read back, and is this user's alone.
    fs::remove(name);
    Stream* out = stream_open_private(wname.c_str(), 1);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(stream_write(out, "20190318\n", 9), 9);
    stream_close(out);
    EXPECT_EQ(mode_of(name) & 0777, 0600u);
    Stream* back = stream_open_private(wname.c_str(), 0);
    ASSERT_NE(back, nullptr);
    char line[32];
    EXPECT_GT(stream_read_line(back, line, sizeof line), 0);
    EXPECT_STREQ(line, "20190318");
    stream_close(back);
}

} // namespace
