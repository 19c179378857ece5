#include "support/build_settings.h"
#include "support/checksum.h"
#include "support/date.h"
#include "support/log.h"
#include "support/text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

std::string field(const char* start, int len) {
    return std::string(start, static_cast<size_t>(len));
}

TEST(TextSplit, TrimsFieldsAndRejectsTwentyCommas) {
    const char* starts[20];
    int lengths[20];
    const char line[] = " a , b ,c ";
    ASSERT_EQ(text_split_fields(starts, lengths, line, 10), 3);
    EXPECT_EQ(field(starts[0], lengths[0]), "a");
    EXPECT_EQ(field(starts[1], lengths[1]), "b");
    EXPECT_EQ(field(starts[2], lengths[2]), "c");

    std::string commas(20, ',');
    EXPECT_EQ(text_split_fields(starts, lengths, commas.c_str(), 20), 0);
    std::string nineteen(19, ',');
    EXPECT_EQ(text_split_fields(starts, lengths, nineteen.c_str(), 19), 20);
    EXPECT_EQ(text_split_fields(starts, lengths, "", 0), 0);
    EXPECT_EQ(text_split_fields(starts, lengths, nullptr, 4), 0);

    // Scanning stops at a NUL before n; a line without comma is one field.
    ASSERT_EQ(text_split_fields(starts, lengths, "\t20190318\r", 10), 1);
    EXPECT_EQ(field(starts[0], lengths[0]), "20190318");
}

TEST(TextConvert, IntegersFormatsAndCopies) {
    EXPECT_EQ(wtext_to_int(u"  -42x"), -42);
    EXPECT_EQ(wtext_to_int(u"\r\n+7"), 7);
    EXPECT_EQ(wtext_to_int(u"abc"), 0);
    EXPECT_EQ(wtext_to_int(nullptr), 0);

    char small[5];
    EXPECT_EQ(text_format(small, 5, "%d", 1234), 4);
    EXPECT_EQ(text_format(small, 5, "%d", 123456), -1);
    EXPECT_STREQ(small, "1234");

    char16_t w[8];
    EXPECT_EQ(wtext_format(w, 8, "V:%d", 2019), 6);
    EXPECT_EQ(std::u16string(w), u"V:2019");
    EXPECT_EQ(wtext_format(w, 4, "%s", "北京天津"), -1);
    EXPECT_EQ(std::u16string(w), u"北京天");

    char16_t copy[4];
    EXPECT_EQ(wtext_copy(copy, 3, u"abcdef"), 1);
    EXPECT_EQ(std::u16string(copy), u"abc");
    EXPECT_EQ(wtext_copy(copy, 0, u"a"), 0);

    char16_t big[1025] = u"x";
    std::u16string many(2000, u'y');
    EXPECT_EQ(wtext_append(big, many.c_str()), 1);
    EXPECT_EQ(wtext_len(big), 1024u);

    char t[] = " \t\r\nab ";
    EXPECT_EQ(text_trim_left(t), 7);
    EXPECT_STREQ(t, "ab ");
    char u[] = "ab";
    EXPECT_EQ(text_trim_left(u), 0);
}

TEST(TextConvert, AnsiCodePageRoundTrip) {
    // 北京 in GBK is B1 B1 BE A9.
    char ansi[8];
    EXPECT_EQ(wtext_to_ansi(ansi, sizeof ansi, u"北京", 2), 4);
    EXPECT_EQ(std::string(ansi), "\xB1\xB1\xBE\xA9");
    char16_t back[8];
    EXPECT_EQ(ansi_to_wtext(back, 8, ansi, -1), 2);
    EXPECT_EQ(std::u16string(back), u"北京");
    // A character outside the code page cannot be represented.
    EXPECT_EQ(wtext_to_ansi(ansi, sizeof ansi, u"\u00e9\u0416\U0001F600", 4), -1);
}

TEST(TextConvert, Utf8AndUtf16ReplaceEachMalformedPieceOnce) {
    // Each broken piece turns into one U+FFFD and the character after it
    // survives; valid text passes through whole.
    struct {
        const char* name;
        std::string utf8;
        std::u16string wide;
    } decode[] = {
        {"valid", "a\xC3\xA9\xE5\x8C\x97\xF0\x9F\x98\x80", u"a\u00e9\u5317\U0001F600"},
        {"truncated two-byte at end", "a\xC3", u"a\uFFFD"},
        {"truncated three-byte at end", "\xE5\x8C", u"\uFFFD"},
        {"truncated four-byte before text", "\xF0\x9F\x98z", u"\uFFFDz"},
        {"bad continuation", "\xC3(x", u"\uFFFD(x"},
        {"bad third byte", "\xE5\x8C(", u"\uFFFD("},
        {"stray continuations", "\x80\xBF", u"\uFFFD\uFFFD"},
        {"overlong two-byte slash", "\xC0\xAF", u"\uFFFD\uFFFD"},
        {"overlong three-byte slash", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
        {"overlong four-byte slash", "\xF0\x80\x80\xAF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"past U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"no such lead", "\xF5\x80", u"\uFFFD\uFFFD"},
        {"highest character", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
    };
    for (const auto& c : decode)
        EXPECT_EQ(utf8_to_wtext(c.utf8), c.wide) << c.name;

    struct {
        const char* name;
        std::u16string wide;
        std::string utf8;
    } encode[] = {
        {"pair", u"\U0001F600", "\xF0\x9F\x98\x80"},
        {"lone high at end", u"a\xD83D", "a\xEF\xBF\xBD"},
        {"lone low", u"\xDE00z", "\xEF\xBF\xBDz"},
        {"high before high and low", u"\xD83D\xD83D\xDE00", "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
    };
    for (const auto& c : encode)
        EXPECT_EQ(wtext_to_utf8(c.wide.c_str()), c.utf8) << c.name;
    EXPECT_EQ(wtext_to_utf8(nullptr), "");

    // hidapi's serial and product strings: wchar_t, one code point each.
    struct {
        const char* name;
        std::wstring wide;
        std::string utf8;
    } wide[] = {
        {"ascii", L"GPS Unit", "GPS Unit"},
        {"all lengths", L"\u00e9\u5317\U0001F600", "\xC3\xA9\xE5\x8C\x97\xF0\x9F\x98\x80"},
        {"surrogate value", std::wstring(1, wchar_t(0xD800)) + L"z", "\xEF\xBF\xBDz"},
        {"past U+10FFFF", std::wstring(1, wchar_t(0x110000)), "\xEF\xBF\xBD"},
    };
    for (const auto& c : wide) {
        // A 16-bit wchar_t (Windows) cannot hold a value past U+10FFFF.
        if (c.wide.size() == 1 && sizeof(wchar_t) == sizeof(char16_t) && c.wide[0] == 0)
            continue;
        EXPECT_EQ(wide_to_utf8(c.wide.c_str()), c.utf8) << c.name;
    }
    EXPECT_EQ(wide_to_utf8(nullptr), "");
}

TEST(Checksum, ByteSumWrapsOverUnsignedBytes) {
    const uint8_t bytes[] = {0xFF, 0x01, 0x80};
    EXPECT_EQ(byte_sum(bytes, 3), 0x180u);
    EXPECT_EQ(byte_sum(nullptr, 3), 0u);
    std::string ff(0x01010102, '\xFF');
    EXPECT_EQ(byte_sum(ff.data(), ff.size()), static_cast<uint32_t>(0x01010102ull * 0xFF));
}

TEST(Date, SecondsToDate) {
    struct Case {
        uint32_t seconds;
        int year, month, day, hour, minute, second;
    } cases[] = {
        {0, 1970, 1, 1, 0, 0, 0},
        {951782400, 2000, 2, 29, 0, 0, 0},  // 2000 is a leap year
        {4107542400u, 2100, 3, 1, 0, 0, 0}, // 2100 is not
        {1552915199, 2019, 3, 18, 13, 19, 59},
        {4294967295u, 2106, 2, 7, 6, 28, 15},
    };
    for (const Case& c : cases) {
        DateStamp d;
        d.spare = 0xAA;
        seconds_to_date(&d, c.seconds);
        EXPECT_EQ(d.year, c.year) << c.seconds;
        EXPECT_EQ(d.month, c.month) << c.seconds;
        EXPECT_EQ(d.day, c.day) << c.seconds;
        EXPECT_EQ(d.hour, c.hour) << c.seconds;
        EXPECT_EQ(d.minute, c.minute) << c.seconds;
        EXPECT_EQ(d.second, c.second) << c.seconds;
        EXPECT_EQ(d.spare, 0xAA);
    }
}

TEST(Log, LineFormat) {
    testing::internal::CaptureStdout();
    log_info("..\\common_t73\\QV_Machine", 565, "QV_Machine_writeBoot",
             "write boot data[0x%X][0x%X]\n", 0, 4096);
    log_info("a/b.cpp", 1, "f", "\n");
    std::string big(5000, 'm');
    log_info("x", 2, "g", "%s", big.c_str());
    std::string out = testing::internal::GetCapturedStdout();
    std::string expected =
        "[QV_Machine][  565][QV_Machine_writeBoot][INFO]: write boot data[0x0][0x1000]\n"
        "[ a/b.cpp][    1][                   f][INFO]: \n"
        "[       x][    2][                   g][INFO]: " +
        std::string(4095, 'm') + "\n";
    EXPECT_EQ(out, expected);
    EXPECT_STREQ(log_level_name(6), "CRITICAL");
}

TEST(BuildSettings, KnownCustomerLookup) {
    EXPECT_EQ(known_customer_lookup("                     rest", 25), 0);
    EXPECT_EQ(known_customer_lookup(TOOL_CUSTOMER_NAME, TOOL_CUSTOMER_NAME_LEN), 1);
    EXPECT_EQ(known_customer_lookup("UNKNOWN BRAND", 13), -1);
    EXPECT_EQ(known_customer_lookup(nullptr, 0), -1);
    EXPECT_EQ(TOOL_CUSTOMER_NAME_LEN, 12u);
}

} // namespace
