#include "config/bands.h"
#include "config/records.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <clocale>
#include <memory>

namespace {
ParamRecord with_counts(int kind, std::array<int8_t, 5> counts) {
    ParamRecord r = make_param(kind);
    for (int g = 0; g < 5; ++g)
        r[P35_OFF_COUNTS + g] = uint8_t(counts[g]);
    return r;
}
std::vector<std::string> texts(const std::vector<BandInfo>& bands) {
    std::vector<std::string> out;
    for (auto& b : bands)
        out.push_back(b.text);
    return out;
}
} // namespace

TEST(FixedBands, TextsIdsAndEnables) {
    ParamRecord r = make_param(1);
    auto bands = bands_load(r.data(), 1);
    ASSERT_EQ(bands.size(), 12u);
    EXPECT_EQ(bands[0].text, "X Band(10.480~10.720)");
    EXPECT_EQ(bands[2].text, "MTR Band(22.700~23.660)");
    EXPECT_EQ(bands[8].text, "KA3 Band(34.600~35.450)");
    EXPECT_EQ(bands[11].text, "Laser Band(0.000~0.000)");
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(bands[i].id, 100 + i);
        EXPECT_EQ(bands[i].enable_offset, 11 + i);
        EXPECT_EQ(bands[i].checked, r[11 + i] != 0);
    }
}

TEST(FixedBands, UncheckingOneBandChangesOnlyItsByte) {
    ParamRecord r = make_param(2);
    for (int i = 0; i < 12; ++i)
        r[11 + i] = 1;
    ParamRecord before = r;
    std::vector<bool> checked(12, true);
    checked[10] = false; // KA5 Band
    EXPECT_EQ(bands_store(r.data(), 2, checked), 12);
    before[21] = 0;
    EXPECT_EQ(r, before);
}

TEST(GroupBands, TextsFollowTheGroups) {
    ParamRecord r = with_counts(5, {1, 1, 2, 5, 1});
    int table = param_freq_table_offset(5);
    rec_set_u16(r.data() + table + 8, 24060);
    rec_set_u16(r.data() + table + 10, 24410);
    rec_set_u16(r.data() + table + 16, 34600);
    rec_set_u16(r.data() + table + 18, 35450);
    auto t = texts(bands_load(r.data(), 5));
    ASSERT_EQ(t.size(), 10u);
    EXPECT_EQ(t[0].substr(0, 7), "X Band(");
    EXPECT_EQ(t[1].substr(0, 8), "Ku Band(");
    EXPECT_EQ(t[2], "K1 Band(24.060~24.410)");
    EXPECT_EQ(t[3].substr(0, 8), "K2 Band(");
    EXPECT_EQ(t[4], "Ka1 Band(34.600~35.450)");
    EXPECT_EQ(t[8].substr(0, 9), "Ka5 Band(");
    EXPECT_EQ(t[9].substr(0, 11), "Laser Band(");

    ParamRecord k = with_counts(4, {0, 0, 3, 0, 0});
    auto kb = bands_load(k.data(), 4);
    ASSERT_EQ(kb.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(kb[i].text.substr(0, 8), "K" + std::to_string(i + 1) + " Band(");
        EXPECT_EQ(kb[i].enable_offset, 24 + i);
        EXPECT_EQ(kb[i].id, 100 + i);
    }
}

TEST(GroupBands, ZeroEdgesShowAsZero) {
    ParamRecord r = with_counts(3, {1, 0, 0, 0, 0});
    rec_set_u32(r.data() + param_freq_table_offset(3), 0);
    EXPECT_EQ(bands_load(r.data(), 3)[0].text, "X Band(0.000~0.000)");
}

// Counts the record cannot hold: never more check boxes than enables, never
// a frequency entry read past the record (the record is a heap block of
// exactly 256 bytes so a stray read is caught by the address sanitizer).
TEST(GroupBands, BadCountsStayInsideTheRecord) {
    struct Case {
        int kind;
        std::array<int8_t, 5> counts;
        size_t want;
    } cases[] = {
        {3, {-5, 2, -1, 1, 0}, 3},          {5, {-128, -128, -128, -128, -128}, 0},
        {3, {127, 127, 127, 127, 127}, 20}, {4, {10, 10, 10, 10, 10}, 26},
        {5, {20, 20, 0, 0, 0}, 26},         {5, {0, 0, 0, 0, 0}, 0},
    };
    for (auto& c : cases) {
        ParamRecord src = with_counts(c.kind, c.counts);
        auto rec = std::make_unique<uint8_t[]>(PARAM_RECORD_SIZE);
        std::memcpy(rec.get(), src.data(), PARAM_RECORD_SIZE);
        auto bands = bands_load(rec.get(), c.kind);
        EXPECT_EQ(bands.size(), c.want) << c.kind;
        for (auto& b : bands) {
            EXPECT_LT(b.enable_offset, 50);
            EXPECT_LE(param_freq_table_offset(c.kind) + 4 * (b.id - 100) + 4, 256);
        }
        std::vector<bool> all(40, true);
        EXPECT_EQ(bands_store(rec.get(), c.kind, all), int(c.want));
        // Counts are never written.
        EXPECT_EQ(0, std::memcmp(rec.get() + P35_OFF_COUNTS, src.data() + P35_OFF_COUNTS, 5));
    }
}

TEST(BandPlacement, TwoColumns) {
    BandRect first{10, 20, 200, 16}, second{300, 20, 200, 16};
    // Kinds 3..5 with nine bands: seven on the left, two on the right.
    for (int i = 0; i < 9; ++i) {
        BandRect r = band_rect(i, 5, first, second);
        if (i < 7) {
            EXPECT_EQ(r.x, 10);
            EXPECT_EQ(r.y, 20 + i * 31);
        } else {
            EXPECT_EQ(r.x, 300);
            EXPECT_EQ(r.y, 20 + (i - 7) * 31);
        }
        EXPECT_EQ(r.h, 16);
    }
    EXPECT_EQ(band_rect(5, 1, first, second).x, 10);
    EXPECT_EQ(band_rect(6, 1, first, second).x, 300);
    EXPECT_EQ(band_rect(6, 1, first, second).y, 20);
}

TEST(BandText, IndependentOfTheLocale) {
    // The window runs with the user's locale, which may use a decimal comma.
    const char* saved = std::setlocale(LC_NUMERIC, nullptr);
    std::string keep = saved ? saved : "C";
    // Where a decimal-comma locale is installed, the texts are made under it.
    if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8"))
        std::setlocale(LC_NUMERIC, "fr_FR.UTF-8");
    EXPECT_EQ(band_text("Ka1 Band", 34600, 35450), "Ka1 Band(34.600~35.450)");
    EXPECT_EQ(band_text("X Band", 0, 65535), "X Band(0.000~65.535)");
    EXPECT_EQ(band_text("T", -1500, 7), "T(-1.500~0.007)");
    std::setlocale(LC_NUMERIC, keep.c_str());
}
