// Settings changed by name: what each key takes, what it refuses, and that
// a refusal or an untouched area leaves the records as they were.
#include "config/config_keys.h"
#include "config/records.h"
#include "support/text.h"
#include "test_util.h"

#include <gtest/gtest.h>

namespace {
// n times 中 (UTF-8), two bytes each in the unit's code page.
std::string zh(int n) {
    std::string s;
    for (int i = 0; i < n; ++i)
        s += "\xE4\xB8\xAD";
    return s;
}

struct Unit {
    int kind;
    ParamRecord param;
    ServerRecord ss;
    ConfigView view;

    explicit Unit(int k, const char* apn = "private.apn") : kind(k), param(make_param(k)) {
        ss = make_server(apn, "192.0.2.8", 9000);
        if (k == 3) {
            rec_set_text(param.data() + P3_OFF_APN, P3_APN_SIZE, apn, std::strlen(apn));
            rec_set_text(param.data() + P3_OFF_PORT, P3_PORT_SIZE, "9000", 4);
            param_record_seal(param.data(), 3);
        }
        view = config_view_load(u"Setting", 1, kind, param.data(), nullptr, ss.data());
    }
    // Applies the values as `settings set` does; returns the refusal.
    std::string set(const std::vector<std::pair<std::string, std::string>>& kv) {
        ConfigView v = view;
        ConfigInput in = config_input_unchanged(v);
        std::string e = config_set_values(v, in, kv);
        if (!e.empty())
            return e;
        ConfigOkResult r = config_apply(v, in, param.data(), ss.data());
        return r.accepted ? "" : r.message;
    }
};
} // namespace

TEST(SettingKeys, ValuesTheDialogCannotProduceAreRefused) {
    struct Case {
        int kind;
        std::string key, value, refusal;
    } cases[] = {
        {3, "port", "8080x", "port: \"8080x\" is not allowed; give a number from 1 to 65535"},
        {3, "port", "-1", "port: \"-1\" is not allowed; give a number from 1 to 65535"},
        {3, "port", "99999", "port: \"99999\" is not allowed; give a number from 1 to 65535"},
        {3, "port", "0", "port: \"0\" is not allowed; give a number from 1 to 65535"},
        {3, "port", "", "port: \"\" is not allowed; give a number from 1 to 65535"},
        {4, "port", "8080", "port: fixed on this unit"},
        {5, "time_zone", "99", "time_zone: \"99\" is not allowed; give a whole hour from -12 to 13"},
        {1, "time_zone", "14", "time_zone: \"14\" is not allowed; give a whole hour from -12 to 13"},
        {5, "time_zone", "-13", "time_zone: \"-13\" is not allowed; give a whole hour from -12 to 13"},
        {5, "time_zone", "5x", "time_zone: \"5x\" is not allowed; give a whole hour from -12 to 13"},
        {4, "day_hour", "25", "day_hour: \"25\" is not allowed; give a whole hour from 3 to 10"},
        {4, "day_hour", "2", "day_hour: \"2\" is not allowed; give a whole hour from 3 to 10"},
        {2, "night_hour", "-1", "night_hour: \"-1\" is not allowed; give a whole hour from 15 to 23"},
        {2, "nighttime_start_hour", "24",
         "night_hour: \"24\" is not allowed; give a whole hour from 15 to 23"},
        {4, "band.0", "2", "band.0: give 1 or 0"},
        {4, "band.10", "1", "band.10: this unit has bands band.0 to band.9"},
        {1, "band.12", "1", "band.12: this unit has bands band.0 to band.11"},
        {4, "twelve_hour", "maybe", "twelve_hour: give 1 or 0"},
        {4, "apn", std::string(50, 'a'), "apn: at most 49 characters"},
        {3, "apn", std::string(28, 'a'), "apn: at most 27 characters"},
        {3, "user", "a\tb", "user: no control characters"},
        {3, "server", std::string(20, 's'), "server: at most 19 characters"},
        // The unit counts bytes of its code page: a Chinese character takes 2.
        {4, "apn", zh(25), "apn: \"" + zh(25) +
                               "\" takes 50 bytes in the unit's code page (GBK), the unit holds "
                               "at most 49"},
        {4, "user", "a" + zh(24) + "a", "user: \"a" + zh(24) +
                                            "a\" takes 50 bytes in the unit's code page (GBK), "
                                            "the unit holds at most 49"},
        {3, "password", zh(14), "password: \"" + zh(14) +
                                    "\" takes 28 bytes in the unit's code page (GBK), the unit "
                                    "holds at most 27"},
        {3, "server", zh(10), "server: \"" + zh(10) +
                                  "\" takes 20 bytes in the unit's code page (GBK), the unit "
                                  "holds at most 19"},
        {4, "carrier", "30", "carrier: no carrier \"30\"; give a row from 0 to 29 or a carrier's name"},
        {4, "carrier", "Nobody", "carrier: no carrier \"Nobody\"; give a row from 0 to 29 or a carrier's name"},
        {4, "volume", "3", "volume: no such setting"},
    };
    for (const Case& c : cases) {
        Unit u(c.kind);
        ParamRecord param = u.param;
        ServerRecord ss = u.ss;
        EXPECT_EQ(u.set({{c.key, c.value}}), c.refusal) << c.kind << " " << c.key << "=" << c.value;
        EXPECT_EQ(u.param, param) << c.key;
        EXPECT_EQ(u.ss, ss) << c.key;
    }
}

TEST(SettingKeys, ValuesInRangeAreStoredAsTheDialogStoresThem) {
    struct Case {
        int kind;
        std::string key, value;
        int offset;   // in the parameter record
        uint8_t mask; // bits compared
        uint8_t want;
    } cases[] = {
        {5, "time_zone", "-12", P35_OFF_TIME_ZONE, 0x1F, 0x14},
        {4, "time_zone", "13", P35_OFF_TIME_ZONE, 0xFF, 13},
        {1, "time_zone", "+5", P12_OFF_TIME_ZONE, 0xFF, 5},
        {4, "day_hour", "3", P35_OFF_DAY_HOUR, 0xFF, 3},
        {4, "daytime_start_hour", "10", P35_OFF_DAY_HOUR, 0xFF, 10},
        {2, "night_hour", "23", P12_OFF_NIGHT_HOUR, 0xFF, 23},
        {4, "band.9", "1", P35_OFF_BANDS + 9, 0xFF, 1},
        {1, "band.0", "on", P12_OFF_BANDS, 0xFF, 1},
        {4, "twelve_hour", "1", P35_OFF_FLAGS, PARAM_FLAG_12_HOUR, PARAM_FLAG_12_HOUR},
        {1, "twelve_hour_clock", "true", P12_OFF_FLAGS, PARAM_FLAG_12_HOUR, PARAM_FLAG_12_HOUR},
        {3, "port", "65535", P3_OFF_PORT, 0xFF, '6'},
        {3, "port", "08080", P3_OFF_PORT, 0xFF, '8'}, // digits, stored as the number's text
    };
    for (const Case& c : cases) {
        Unit u(c.kind);
        ParamRecord before = u.param;
        ASSERT_EQ(u.set({{c.key, c.value}}), "") << c.key << "=" << c.value;
        EXPECT_EQ(u.param[c.offset] & c.mask, c.want) << c.key << "=" << c.value;
        // Nothing else in the record's settings changed (the checksum is
        // the writer's business).
        for (int i = 4; i < PARAM_RECORD_SIZE; ++i) {
            bool port_field = c.key == "port" && i >= P3_OFF_PORT && i < P3_OFF_PORT + 7;
            if (i != c.offset && !port_field) {
                ASSERT_EQ(u.param[i], before[i]) << c.key << " byte " << i;
            }
        }
    }
}

TEST(SettingKeys, TwelveHourClockGoesWithTheTimeZone) {
    Unit u(1);
    u.param[P12_OFF_TIME_ZONE] = 0x7F; // no time zone setting, so no clock setting either
    u.view = config_view_load(u"Setting", 1, 1, u.param.data(), nullptr, nullptr);
    EXPECT_FALSE(u.view.twelve_hour_present);
    EXPECT_EQ(u.set({{"twelve_hour", "1"}}), "twelve_hour: this unit has no clock setting");
    EXPECT_EQ(u.set({{"time_zone", "1"}}), "time_zone: this unit has no time zone setting");

    Unit off(4);
    off.param[P35_OFF_FLAGS] |= PARAM_FLAG_12_HOUR;
    off.view = config_view_load(u"Setting", 1, 4, off.param.data(), nullptr, off.ss.data());
    EXPECT_TRUE(off.view.twelve_hour_checked);
    ASSERT_EQ(off.set({{"twelve_hour", "off"}}), "");
    EXPECT_EQ(off.param[P35_OFF_FLAGS] & PARAM_FLAG_12_HOUR, 0);
    EXPECT_EQ(off.param[P35_OFF_FLAGS] & PARAM_FLAG_RADAR_FREQ_AVAILABLE,
              PARAM_FLAG_RADAR_FREQ_AVAILABLE);
}

TEST(SettingKeys, OutOfRangeValuesOnTheUnitAreShownAndCanBeSetBack) {
    Unit u(4);
    u.param[P35_OFF_DAY_HOUR] = 25;
    u.param[P35_OFF_NIGHT_HOUR] = 44;
    u.view = config_view_load(u"Setting", 1, 4, u.param.data(), nullptr, u.ss.data());
    EXPECT_TRUE(u.view.day_visible);
    EXPECT_EQ(u.view.day_hour, 25);
    // Another change keeps the stored values; a valid one replaces them.
    ASSERT_EQ(u.set({{"band.0", "1"}}), "");
    EXPECT_EQ(u.param[P35_OFF_DAY_HOUR], 25);
    ASSERT_EQ(u.set({{"day_hour", "7"}, {"night_hour", "20"}}), "");
    EXPECT_EQ(u.param[P35_OFF_DAY_HOUR], 7);
    EXPECT_EQ(u.param[P35_OFF_NIGHT_HOUR], 20);

    Unit k3(3);
    rec_set_text(k3.param.data() + P3_OFF_PORT, P3_PORT_SIZE, "8080x", 5);
    k3.view = config_view_load(u"Setting", 1, 3, k3.param.data(), nullptr, nullptr);
    EXPECT_EQ(k3.view.gprs.port, u"8080x");
    ASSERT_EQ(k3.set({{"band.1", "0"}}), "");
    EXPECT_EQ(0, std::memcmp(k3.param.data() + P3_OFF_PORT, "8080x\0\0", 7));
    ASSERT_EQ(k3.set({{"port", "8080"}}), "");
    EXPECT_EQ(0, std::memcmp(k3.param.data() + P3_OFF_PORT, "8080\0\0\0", 7));
}

TEST(SettingKeys, GprsFieldsChangeOnlyWhenAGprsKeyIsGiven) {
    // The unit's APN is listed (row 11) but its user name is its own: a
    // change elsewhere keeps both, byte for byte.
    for (int kind : {3, 4}) {
        SCOPED_TRACE(kind);
        Unit u(kind, "internetmas");
        if (kind == 3) {
            rec_set_text(u.param.data() + P3_OFF_USER, P3_USER_SIZE, "mine", 4);
            u.view = config_view_load(u"Setting", 1, 3, u.param.data(), nullptr, nullptr);
        }
        ASSERT_EQ(u.view.gprs.row, 11);
        ParamRecord param = u.param;
        ServerRecord ss = u.ss;
        ASSERT_EQ(u.set({{"time_zone", "2"}}), "");
        EXPECT_EQ(u.ss, ss);
        if (kind == 3) {
            EXPECT_EQ(0, std::memcmp(u.param.data() + P3_OFF_APN, param.data() + P3_OFF_APN,
                                     P3_OFF_MAGIC - P3_OFF_APN));
        }
    }

    // An APN given alone keeps the unit's user name, password, server and
    // port; a carrier fills all three of its values.
    Unit u(5);
    ASSERT_EQ(u.set({{"apn", "my.apn"}}), "");
    EXPECT_EQ(0, std::memcmp(u.ss.data() + SS_OFF_APN, "my.apn\0", 7));
    EXPECT_EQ(0, std::memcmp(u.ss.data() + SS_OFF_USER, "unituser\0", 9));
    EXPECT_EQ(rec_u32(u.ss.data() + SS_OFF_PORT), 9000u);
    ASSERT_EQ(u.set({{"apn", "x.apn"}, {"carrier", "Orange/Amena"}}), "");
    EXPECT_EQ(0, std::memcmp(u.ss.data() + SS_OFF_APN, "x.apn\0", 6)); // given beside it: wins
    EXPECT_EQ(0, std::memcmp(u.ss.data() + SS_OFF_USER, "orange\0", 7));
    EXPECT_EQ(u.set({{"carrier", "16"}, {"user", "x"}}),
              "user: set by the carrier RACC Tel and not changeable");
    EXPECT_EQ(u.set({{"carrier_row", "16"}}), "");
    EXPECT_EQ(rec_u32(u.ss.data() + SS_OFF_PORT), 9000u);

    // What `settings --json` printed applies back whole: values a locked or
    // fixed field already holds change nothing.
    Unit k4(4, "orangeworld");
    ServerRecord ss4 = k4.ss;
    EXPECT_EQ(k4.set({{"port", "9000"}, {"server", "192.0.2.8"}}), "");
    EXPECT_EQ(k4.ss, ss4);
    EXPECT_EQ(k4.set({{"port", "9001"}}), "port: fixed on this unit");
    ASSERT_EQ(k4.set({{"carrier_row", "16"},
                      {"apn", wtext_to_utf8(CARRIER_PRESETS[16].apn)},
                      {"user", wtext_to_utf8(CARRIER_PRESETS[16].user)}}),
              "");
    char text[64];
    rec_get_text(text, sizeof text, k4.ss.data() + SS_OFF_USER, SS_USER_SIZE);
    EXPECT_EQ(utf8_to_wtext(text), CARRIER_PRESETS[16].user);

    Unit none(4);
    none.view = config_view_load(u"Setting", 1, 4, none.param.data(), nullptr, nullptr);
    EXPECT_EQ(none.set({{"apn", "a"}}), "apn: this unit has no GPRS settings");
}

// What fits the unit's field in bytes is taken, one byte more is not; a
// whole settings file is checked by the same measure before any write.
TEST(SettingKeys, TextsAreMeasuredInTheUnitsCodePage) {
    Unit u4(4);
    EXPECT_EQ(u4.set({{"apn", "a" + zh(24)}}), "");
    EXPECT_EQ(0, std::memcmp(u4.ss.data() + SS_OFF_APN, "a\xD6\xD0", 3));
    EXPECT_EQ(u4.ss[SS_OFF_APN + 49], 0); // 49 bytes and the end
    Unit u3(3);
    EXPECT_EQ(u3.set({{"user", "a" + zh(13)}}), "");
    struct Case {
        int kind;
        std::vector<std::pair<std::string, std::string>> values;
        std::string refusal;
    } cases[] = {
        {4, {{"time_zone", "3"}, {"apn", zh(24)}}, ""},
        {4, {{"apn", zh(25)}}, "apn: \"" + zh(25) + "\" takes 50 bytes"},
        {3, {{"carrier_row", "2"}, {"password", zh(14)}}, "password: \"" + zh(14) + "\" takes 28"},
        {3, {{"server", std::string(20, 's')}}, "server: at most 19 characters"},
        {4, {{"user", "\xF0\x9F\x98\x80"}}, "user: \"\xF0\x9F\x98\x80\" cannot be stored"},
        {4, {{"day_hour", zh(30)}}, ""}, // not a text of the unit: its own check names it
    };
    for (const Case& c : cases) {
        std::string e = config_values_refusal(c.kind, c.values);
        EXPECT_EQ(e.substr(0, c.refusal.size()), c.refusal) << e;
        EXPECT_EQ(e.empty(), c.refusal.empty()) << e;
    }
}
