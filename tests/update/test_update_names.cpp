// Pure pieces of the update run: download names, the extension rule, the
// failure text, the program-only test and the known-client test.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <ostream>

#include "common_t73/QV_Machine.h"
#include "package/package.h"
#include "update/update_run.h"
#include "support/text.h"

namespace {

struct NameCase {
    const char16_t* url;
    int valid;
    const char16_t* name;
    const char16_t* run_dir;
    const char16_t* target;
};

// Cases read as their URL in test names.
void PrintTo(const NameCase& c, std::ostream* os) {
    std::string url = wtext_to_utf8(c.url);
    for (char& ch : url)
        if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '.')
            ch = '_';
    *os << (url.empty() ? "empty" : url);
}

class DownloadNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(DownloadNames, StayInsideTheTemporaryDirectory) {
    const NameCase& c = GetParam();
    UpdateDownloadNames n = update_download_names(c.url, u"/tmp/t/");
    ASSERT_EQ(n.valid, c.valid);
    if (!c.valid)
        return;
    EXPECT_EQ(n.name, c.name);
    EXPECT_EQ(n.run_dir, c.run_dir);
    EXPECT_EQ(n.target, c.target);
    EXPECT_EQ(n.extracted, n.run_dir + u"/tmp.dqv");
    // Neither path has a segment that climbs out.
    for (const std::u16string& p : {n.run_dir, n.target, n.extracted}) {
        EXPECT_EQ(p.rfind(u"/tmp/t", 0), 0u);
        EXPECT_EQ(p.find(u"/../"), std::u16string::npos);
        EXPECT_FALSE(p.size() >= 3 && p.compare(p.size() - 3, 3, u"/..") == 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Urls, DownloadNames,
    ::testing::Values(
        NameCase{u"http://h/files/map2019.zip", 1, u"map2019.zip", u"/tmp/t/map2019",
                 u"/tmp/t/map2019/map2019.zip"},
        NameCase{u"http://h/a/b.c.DQV", 1, u"b.c.DQV", u"/tmp/t/b.c", u"/tmp/t/b.c/b.c.DQV"},
        NameCase{u"map.zip", 1, u"map.zip", u"/tmp/t/map", u"/tmp/t/map/map.zip"},
        // A name without a stem keeps its file directly in the temporary directory.
        NameCase{u"http://h/noext", 1, u"noext", u"/tmp/t", u"/tmp/t/noext"},
        NameCase{u"http://h/.zip", 1, u".zip", u"/tmp/t", u"/tmp/t/.zip"},
        NameCase{u"http://h/...zip", 1, u"...zip", u"/tmp/t", u"/tmp/t/...zip"},
        // Queries and fragments are not part of the name.
        NameCase{u"http://h/get/pkg.zip?x=../../etc/y.dqv", 1, u"pkg.zip", u"/tmp/t/pkg",
                 u"/tmp/t/pkg/pkg.zip"},
        NameCase{u"http://h/get?f=a.dqv", 1, u"get", u"/tmp/t", u"/tmp/t/get"},
        NameCase{u"http://h/p.dqv#frag/../../x", 1, u"p.dqv", u"/tmp/t/p", u"/tmp/t/p/p.dqv"},
        // A backslash separates too.
        NameCase{u"http://h/..\\..\\evil.zip", 1, u"evil.zip", u"/tmp/t/evil",
                 u"/tmp/t/evil/evil.zip"},
        // Nothing names a file.
        NameCase{u"http://h/dir/", 0, u"", u"", u""}, NameCase{u"http://h/.", 0, u"", u"", u""},
        NameCase{u"http://h/..", 0, u"", u"", u""}, NameCase{u"", 0, u"", u"", u""},
        NameCase{u"http://h/x/..?q=1", 0, u"", u"", u""}));

TEST(DownloadKind, ExtensionRuleIgnoresCase) {
    EXPECT_EQ(update_download_kind(u"a.zip"), 1);
    EXPECT_EQ(update_download_kind(u"A.ZIP"), 1);
    EXPECT_EQ(update_download_kind(u"a.Rar"), 1);
    EXPECT_EQ(update_download_kind(u"a.7z"), 1);
    EXPECT_EQ(update_download_kind(u"a.dqv"), 2);
    EXPECT_EQ(update_download_kind(u"x.tar.DqV"), 2);
    EXPECT_EQ(update_download_kind(u"a.txt"), 0);
    EXPECT_EQ(update_download_kind(u"zip"), 1); // no '.': the whole name counts
    EXPECT_EQ(update_download_kind(u"a.zip.bak"), 0);
}

TEST(FailureText, StatusSuffixOnlyWhenNotZero) {
    EXPECT_EQ(update_failure_text(u"Update Failed!", -4), u"Update Failed!  -4");
    EXPECT_EQ(update_failure_text(u"Error!The gps data is too large!", 1),
              u"Error!The gps data is too large!  1");
    EXPECT_EQ(update_failure_text(u"Open update file failed!", 0), u"Open update file failed!");
}

TEST(ProgramOnly, OneImageAndNothingElse) {
    Package pkg{};
    ProgramImage image{};
    pkg.program_count = 1;
    pkg.programs = &image;
    EXPECT_EQ(update_is_program_only(&pkg), 1);

    pkg.voice.size = 10;
    EXPECT_EQ(update_is_program_only(&pkg), 0);
    pkg.voice.size = 0;
    pkg.gps_d.size = 1;
    EXPECT_EQ(update_is_program_only(&pkg), 0);
    pkg.gps_d.size = 0;
    pkg.province_count = 1;
    EXPECT_EQ(update_is_program_only(&pkg), 0);
    pkg.province_count = 0;
    pkg.program_count = 2;
    EXPECT_EQ(update_is_program_only(&pkg), 0);
    pkg.programs = nullptr;
    pkg.program_count = 0;
    EXPECT_EQ(update_is_program_only(&pkg), 0);
    EXPECT_EQ(update_is_program_only(nullptr), 0);
}

TEST(KnownClient, IdentityTextBeforeErasedFlash) {
    QV_Machine m;
    std::memset(m.identity, 0xFF, sizeof m.identity);
    // Erased flash: the 21-blank id is not there, nothing is known.
    EXPECT_EQ(update_unit_has_known_client(&m), 0);
    std::memset(m.identity, ' ', 21);
    EXPECT_EQ(update_unit_has_known_client(&m), 1);
    // Only 20 blanks before erased flash: not the blank id.
    m.identity[20] = 0xFF;
    EXPECT_EQ(update_unit_has_known_client(&m), 0);
    std::memcpy(m.identity, "SOMEONE ELSE", 12);
    m.identity[12] = 0;
    EXPECT_EQ(update_unit_has_known_client(&m), 0);
    EXPECT_EQ(update_unit_has_known_client(nullptr), 0);
}

} // namespace
