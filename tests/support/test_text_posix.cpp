// The temporary-folder texts on POSIX systems ($TMPDIR, else /tmp).
#include "support/text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

TEST(TextPaths, TempPathJoinKeepsTheDirectorySeparator) {
    const char* old = std::getenv("TMPDIR");
    std::string saved = old ? old : "";
    setenv("TMPDIR", "/var/tmp/run", 1);
    char16_t path[1024];
    EXPECT_EQ(temp_path_join(path, u"Tmp"), 1);
    EXPECT_EQ(std::u16string(path), u"/var/tmp/run/Tmp");
    unsetenv("TMPDIR");
    EXPECT_EQ(temp_path_join(path, u"tmp.dqv"), 1);
    EXPECT_EQ(std::u16string(path), u"/tmp/tmp.dqv");
    if (old)
        setenv("TMPDIR", saved.c_str(), 1);
}

} // namespace
