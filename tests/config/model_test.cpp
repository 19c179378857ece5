#include "config/config_model.h"
#include "config/records.h"
#include "test_util.h"

#include <gtest/gtest.h>

TEST(ConfigCaption, FromMainSettingOrParameterRecord) {
    MainRecord ms = make_main("T73A", 20190318);
    EXPECT_EQ(config_caption(u"Setting", 1012, 5, nullptr, ms.data()),
              u"Setting              T73A    Boot:1012     Program Version:20190318");
    ParamRecord p = make_param(2);
    std::memcpy(p.data() + 28, "AB\0D", 4); // stops at the NUL
    rec_set_u32(p.data() + 32, 77);
    EXPECT_EQ(config_caption(u"Setting", 3, 2, p.data(), nullptr),
              u"Setting              AB    Boot:3     Program Version:77");
}

TEST(ConfigView, RefusesWithoutRecord) {
    EXPECT_EQ(config_view_load(u"S", 0, 3, nullptr, nullptr, nullptr).kind, -1);
}

TEST(ConfigView, KindOneWithoutTimeZoneKeepsItsByte) {
    ParamRecord p = make_param(1);
    p[P12_OFF_TIME_ZONE] = 0x7F;
    p[P12_OFF_FLAGS] = 0x20;
    ConfigView v = config_view_load(u"Setting", 1, 1, p.data(), nullptr, nullptr);
    EXPECT_FALSE(v.time_zone_visible);
    EXPECT_FALSE(v.twelve_hour_visible);
    EXPECT_TRUE(v.freq_display_visible);
    ConfigInput in = config_input_from_view(v);
    in.time_zone = u"5";
    in.twelve_hour = false;
    ParamRecord out = p;
    ASSERT_TRUE(config_apply(v, in, out.data(), nullptr).accepted);
    EXPECT_EQ(out[P12_OFF_TIME_ZONE], 0x7F);
    EXPECT_EQ(out[P12_OFF_FLAGS] & 0x20, 0x20); // 12-hour box never shown, never written
}

TEST(ConfigView, RadarDisplayNeedsBandsFlagAndType) {
    struct Case {
        uint8_t flags;
        int8_t radar_type;
        bool no_bands;
        bool visible;
    } cases[] = {{0xC0, 2, false, true},
                 {0xC0, 0, false, false},
                 {0x40, 2, false, false},
                 {0xC0, 2, true, false},
                 {0x80, -1, false, true}};
    for (auto& c : cases) {
        ParamRecord p = make_param(3);
        p[P35_OFF_FLAGS] = c.flags;
        p[P35_OFF_RADAR_TYPE] = uint8_t(c.radar_type);
        if (c.no_bands)
            std::memset(p.data() + P35_OFF_COUNTS, 0, 5);
        ConfigView v = config_view_load(u"S", 0, 3, p.data(), nullptr, nullptr);
        EXPECT_EQ(v.freq_display_visible, c.visible) << int(c.flags) << " " << int(c.radar_type);
        // Flip the box: only a visible box changes bit 6.
        ConfigInput in = config_input_from_view(v);
        in.freq_display = !in.freq_display;
        ParamRecord out = p;
        ASSERT_TRUE(config_apply(v, in, out.data(), nullptr).accepted);
        EXPECT_EQ((out[P35_OFF_FLAGS] ^ p[P35_OFF_FLAGS]) == 0x40, c.visible);
    }
}

TEST(ConfigApply, TimeZoneAndHourTexts) {
    struct Case {
        int kind;
        std::u16string zone;
        uint8_t before;
        uint8_t want;
    } cases[] = {
        {4, u"+5", 8, 5},         {4, u"abc", 8, 0},      {4, u" \t\r\n-7x", 8, 0xF9},
        {5, u"20", 0xE8, 0xF4},   {5, u"-3", 0xE8, 0xFD}, {1, u"13", 0, 13},
        {2, u"4294967297", 0, 1}, // wraps like 32-bit arithmetic
    };
    for (auto& c : cases) {
        ParamRecord p = make_param(c.kind);
        int off = param_time_zone_offset(c.kind);
        p[off] = c.before;
        ConfigView v = config_view_load(u"S", 0, c.kind, p.data(), nullptr, nullptr);
        ASSERT_TRUE(v.time_zone_visible);
        ConfigInput in = config_input_from_view(v);
        in.time_zone = c.zone;
        ASSERT_TRUE(config_apply(v, in, p.data(), nullptr).accepted);
        EXPECT_EQ(p[off], c.want) << c.kind;
    }
    ParamRecord k5 = make_param(5);
    k5[P35_OFF_TIME_ZONE] = 0xF4;
    EXPECT_EQ(param_time_zone(k5.data(), 5), -12);
}

TEST(ConfigApply, HoursStoredAsLowByteAndHiddenHoursKept) {
    ParamRecord p = make_param(4);
    p[P35_OFF_NIGHT_HOUR] = 0xFF; // absent
    ConfigView v = config_view_load(u"S", 0, 4, p.data(), nullptr, nullptr);
    EXPECT_TRUE(v.day_visible);
    EXPECT_FALSE(v.night_visible);
    ConfigInput in = config_input_from_view(v);
    in.day_hour = u"300";
    in.night_hour = u"20";
    ASSERT_TRUE(config_apply(v, in, p.data(), nullptr).accepted);
    EXPECT_EQ(p[P35_OFF_DAY_HOUR], 44);
    EXPECT_EQ(p[P35_OFF_NIGHT_HOUR], 0xFF);
}

TEST(ConfigApply, RefusalsLeaveTheCopiesAlone) {
    ParamRecord p = make_param(4);
    ServerRecord ss = make_server("internetmas", "h", 80);
    ConfigView v = config_view_load(u"S", 0, 4, p.data(), nullptr, ss.data());
    const std::u16string not_ints[] = {u"", u"1.5", u"12a", u"- 3", u"99999999999"};
    for (auto& t : not_ints) {
        ConfigInput in = config_input_from_view(v);
        in.bands.assign(in.bands.size(), true);
        in.day_hour = t;
        ParamRecord pc = p;
        ServerRecord sc = ss;
        ConfigOkResult r = config_apply(v, in, pc.data(), sc.data());
        EXPECT_FALSE(r.accepted);
        EXPECT_EQ(r.message, "请输入一个整数。");
        EXPECT_EQ(pc, p);
        EXPECT_EQ(sc, ss);
    }
    ConfigInput in = config_input_from_view(v);
    in.gprs.apn = std::u16string(50, u'a');
    in.day_hour = u" +7 ";
    ParamRecord pc = p;
    ServerRecord sc = ss;
    ConfigOkResult r = config_apply(v, in, pc.data(), sc.data());
    EXPECT_FALSE(r.accepted);
    EXPECT_EQ(r.message, "APN设置出错！");
    EXPECT_EQ(pc, p);
    EXPECT_EQ(sc, ss);
    // 25 Chinese characters are 50 bytes in the unit's code page: refused,
    // not cut to 24 as the field would cut them.
    in.gprs.apn = std::u16string(25, u'中');
    r = config_apply(v, in, pc.data(), sc.data());
    EXPECT_EQ(r.message, "APN设置出错！");
    EXPECT_EQ(sc, ss);
}

TEST(ConfigApply, UnchangedInputKeepsRecordsAndHiddenGprs) {
    for (int kind = 1; kind <= 5; ++kind) {
        ParamRecord p = make_param(kind);
        ServerRecord none{};
        ConfigView v = config_view_load(u"S", 0, kind, p.data(), nullptr, none.data());
        EXPECT_EQ(v.gprs.present, kind == 3);
        ConfigInput in = config_input_from_view(v);
        in.gprs.apn = u"typed"; // hidden controls are not stored
        ParamRecord out = p;
        ServerRecord sc = none;
        ASSERT_TRUE(config_apply(v, in, out.data(), sc.data()).accepted);
        if (kind != 3) {
            EXPECT_EQ(out, p) << kind;
        }
        EXPECT_EQ(sc, none);
    }
}

TEST(ConfigParse, Integers) {
    int v = 0;
    EXPECT_EQ(config_parse_int(u"  -12 ", &v), 1);
    EXPECT_EQ(v, -12);
    EXPECT_EQ(config_parse_int(u"+300", &v), 1);
    EXPECT_EQ(v, 300);
    EXPECT_EQ(config_parse_int(u"2147483648", &v), 0);
    EXPECT_EQ(config_parse_int(u"-2147483648", &v), 1);
    EXPECT_EQ(config_lenient_int(u"++5"), 0);
    EXPECT_EQ(config_lenient_int(u"\n-12zz"), -12);
}
