// A settings.json read back into settings by key: each band entry goes to
// the band its key names, and a value of another JSON type than the one
// `settings --json` writes is named, never taken.
#include "config/settings_json.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {
// What `settings --json` prints for a kind 4 unit, as an object to edit.
nlohmann::json printed() {
    ParamRecord p = make_param(4);
    ServerRecord ss = make_server("private.apn", "192.0.2.8", 9000);
    ConfigView v = config_view_load(u"Setting", 1, 4, p.data(), nullptr, ss.data());
    return nlohmann::json::parse(config_settings_json_text(v, 1, 1));
}

bool has(const ConfigValues& values, const std::string& key, const std::string& value) {
    return std::find(values.begin(), values.end(), std::make_pair(key, value)) != values.end();
}

size_t bands_of(const ConfigValues& values) {
    return size_t(std::count_if(values.begin(), values.end(),
                                [](const auto& kv) { return kv.first.rfind("band.", 0) == 0; }));
}
} // namespace

TEST(SettingsJson, BandsGoByTheirKeyNotTheirPlace) {
    nlohmann::json j = printed();
    ASSERT_GE(j["bands"].size(), 6u);
    // Only band.5 is listed, first, and turned off.
    nlohmann::json only = j["bands"][5];
    only["enabled"] = false;
    j["bands"] = nlohmann::json::array({only});
    ConfigSettingsFile f = config_settings_from_json_text(j.dump());
    ASSERT_EQ(f.ok, 1);
    EXPECT_TRUE(f.wrong_type.empty());
    EXPECT_TRUE(has(f.values, "band.5", "0"));
    EXPECT_EQ(bands_of(f.values), 1u);
}

TEST(SettingsJson, BandEntriesThatNameNoSingleBandAreNamed) {
    struct Case {
        const char* what;
        nlohmann::json entries;
        std::vector<std::string> wrong;
        std::vector<std::string> taken; // band keys taken
    } cases[] = {
        {"the same band twice",
         nlohmann::json::array({{{"key", "band.2"}, {"enabled", true}},
                                {{"key", "band.1"}, {"enabled", true}},
                                {{"key", "band.02"}, {"enabled", false}}}),
         {"bands[0].key: \"band.2\" is named by more than one entry, none of which is applied",
          "bands[2].key: \"band.02\" is named by more than one entry, none of which is applied"},
         {"band.1"}},
        {"no band key",
         nlohmann::json::array({{{"key", "X"}, {"enabled", true}},
                                {{"key", 3}, {"enabled", true}},
                                {{"enabled", true}}}),
         {"bands[0].key: \"X\" is not a band key (band.N)",
          "bands[1].key: 3 is not a band key (band.N)",
          "bands[2]: {\"enabled\":true} is not a band with \"key\" and \"enabled\""},
         {}},
    };
    for (const Case& c : cases) {
        nlohmann::json j = printed();
        j["bands"] = c.entries;
        ConfigSettingsFile f = config_settings_from_json_text(j.dump());
        EXPECT_EQ(f.wrong_type, c.wrong) << c.what;
        EXPECT_EQ(bands_of(f.values), c.taken.size()) << c.what;
        for (const std::string& key : c.taken)
            EXPECT_TRUE(has(f.values, key, "1")) << c.what << ": " << key;
    }
}

// A band key the unit has no band for is taken from the file and named by
// the unit's own check.
TEST(SettingsJson, UnknownBandIsRefusedByTheUnit) {
    nlohmann::json j = printed();
    j["bands"] = nlohmann::json::array({{{"key", "band.40"}, {"enabled", true}}});
    ConfigSettingsFile f = config_settings_from_json_text(j.dump());
    ParamRecord p = make_param(4);
    ServerRecord ss = make_server("private.apn", "192.0.2.8", 9000);
    ConfigView v = config_view_load(u"Setting", 1, 4, p.data(), nullptr, ss.data());
    ConfigInput in = config_input_unchanged(v);
    std::vector<std::string> refused = config_apply_each(v, in, f.values);
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].rfind("band.40: this unit has bands band.0 to band.", 0), 0u)
        << refused[0];
}

TEST(SettingsJson, NumbersGivenAsTextAreNamed) {
    struct Case {
        const char* key;
        nlohmann::json value;
        std::string wrong;
    } cases[] = {
        {"time_zone", "3", "time_zone: \"3\" is not a whole number"},
        {"daytime_start_hour", "7", "daytime_start_hour: \"7\" is not a whole number"},
        {"nighttime_start_hour", "", "nighttime_start_hour: \"\" is not a whole number"},
    };
    for (const Case& c : cases) {
        nlohmann::json j = printed();
        j[c.key] = c.value;
        ConfigSettingsFile f = config_settings_from_json_text(j.dump());
        EXPECT_EQ(f.wrong_type, std::vector<std::string>{c.wrong}) << c.key;
        for (const auto& [key, value] : f.values)
            EXPECT_NE(key, c.key);
    }
}
