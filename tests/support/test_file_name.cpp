#include <gtest/gtest.h>

#include <string>

#include "support/file_name.h"

TEST(FileName, ExtensionIsTheTextAfterTheLastDotInAnyCase) {
    struct Case {
        const char* name;
        const char* ext;
        bool has;
    };
    const Case cases[] = {
        {"update.dqv", "dqv", true},
        {"UPDATE.DQV", "dqv", true},
        {"dir.zip/update.Dqv", "dqv", true},
        {"update.dqv.zip", "zip", true},
        {"update.dqv.zip", "dqv", false}, // only the last dot counts
        {"update.dqvx", "dqv", false},
        {"update.dq", "dqv", false},
        {"update.", "dqv", false},
        {"update", "dqv", false},
        {"dqv", "dqv", true}, // no dot: the whole name
        {".7z", "7z", true},
        {"", "zip", false},
        {"a.ZIP ", "zip", false}, // a trailing blank is part of it
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(file_has_extension(std::string(c.name), c.ext), c.has);
        std::u16string wide(c.name, c.name + std::char_traits<char>::length(c.name));
        EXPECT_EQ(file_has_extension(wide, c.ext), c.has);
    }
}

// Only A-Z fold: a non-ASCII letter never matches an ASCII one.
TEST(FileName, FoldsOnlyAsciiLetters) {
    EXPECT_FALSE(file_has_extension(std::u16string(u"update.dq\u0474"), "dqv"));
    EXPECT_FALSE(file_has_extension(std::string("update.dq\xc5\xb4"), "dqv"));
    EXPECT_FALSE(file_has_extension(std::u16string(u"a.\uff3aip"), "zip"));
}
