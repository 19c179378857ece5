#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/hex.h"

TEST(Hex, WritesTwoDigitsAByteInEitherCase) {
    const uint8_t bytes[] = {0x00, 0x0f, 0xa5, 0xff, 0x10};
    EXPECT_EQ(hex_lower(bytes, sizeof bytes), "000fa5ff10");
    EXPECT_EQ(hex_upper(bytes, sizeof bytes), "000FA5FF10");
    EXPECT_EQ(hex_lower(bytes, 0), "");
    EXPECT_EQ(hex_lower(nullptr, 4), "");
}

TEST(Hex, ReadsPairsOfEitherCaseAndRefusesAnythingElse) {
    struct Case {
        const char* text;
        bool ok;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"", true, {}},      {"00f7A5", true, {0x00, 0xf7, 0xa5}}, {"FFff", true, {0xff, 0xff}},
        {"0", false, {}},    // odd length
        {"0g", false, {}},   // not a digit
        {"0 ", false, {}},   // blank
        {"-1", false, {}},   // sign
        {"0x10", false, {}}, // prefix
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> out;
        EXPECT_EQ(hex_parse(c.text, &out), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(out, c.bytes) << c.text;
        }
    }
}

TEST(Hex, RoundTripsEveryByte) {
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = uint8_t(i);
    std::vector<uint8_t> back;
    ASSERT_TRUE(hex_parse(hex_lower(all.data(), all.size()), &back));
    EXPECT_EQ(back, all);
    ASSERT_TRUE(hex_parse(hex_upper(all.data(), all.size()), &back));
    EXPECT_EQ(back, all);
}
