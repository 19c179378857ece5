#include "config/config_run.h"
#include "config/records.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <vector>

namespace {
struct Shown {
    std::string text, caption;
    ConfigIcon icon;
};

struct ScriptedPrompter : ConfigPrompter {
    std::vector<Shown> shown;
    std::vector<std::string> asked;
    bool answer = true;
    void message(const std::string& t, const std::string& c, ConfigIcon i) override {
        shown.push_back({t, c, i});
    }
    bool ask_yes_no(const std::string& t, const std::string& c) override {
        asked.push_back(t + "|" + c);
        return answer;
    }
};

struct FakeUnit : ConfigUnit {
    bool attached = true;
    bool gone_after_edit = false;
    int k = 4;
    ParamRecord p = make_param(4);
    MainRecord ms = make_main("T73A", 100);
    ServerRecord ss = make_server("internetmas", "h", 80);
    int param_result = 1, block_result = 1;
    std::u16string client = u"TREVIK-DEMO ";
    int ms_state = CONFIG_MAIN_SETTING_VALID;
    bool reread_result = true;
    std::vector<std::string> calls;
    std::vector<uint8_t> written_param, written_ms, written_ss;

    bool connected() override { return attached; }
    int kind() override { return k; }
    int boot_version() override { return 1012; }
    const uint8_t* param() override { return p.data(); }
    const uint8_t* main_setting() override { return ms.data(); }
    const uint8_t* server_settings() override { return ss.data(); }
    int write_param(const uint8_t* r) override {
        calls.push_back("param");
        written_param.assign(r, r + 256);
        return param_result;
    }
    int write_main_setting(const uint8_t* m, const uint8_t* s) override {
        calls.push_back("block");
        written_ms.assign(m, m + 231);
        written_ss.assign(s, s + 178);
        return block_result;
    }
    std::u16string client_id() override { return client; }
    int main_setting_state() override { return ms_state; }
    bool reread() override {
        calls.push_back("check");
        return reread_result;
    }
    void reread_and_finish() override { calls.push_back("reread"); }
};
} // namespace

TEST(ConfigRun, RefusalsBeforeTheDialog) {
    struct Case {
        const char* name;
        bool attached;
        int kind;
        uint32_t required;
        ConfigRunResult want;
        const char* text;
    } cases[] = {
        {"no unit", false, 4, 0, CONFIG_RUN_NO_HARDWARE, "   No hardware connected!"},
        {"kind -1", true, -1, 0, CONFIG_RUN_NOT_INITIALISED,
         "Please start the machine to initialization parameter!!!!!"},
        {"tool 408", true, 4, 408, CONFIG_RUN_UPGRADE_TOOL,
         "Please upgrade the current update tool!"},
    };
    for (auto& c : cases) {
        FakeUnit unit;
        unit.attached = c.attached;
        unit.k = c.kind;
        rec_set_u32(unit.ms.data() + MS_OFF_REQUIRED_TOOL_VERSION, c.required);
        ScriptedPrompter prompter;
        bool opened = false;
        auto r = config_run(unit, prompter, [&](const ConfigEditArgs&) {
            opened = true;
            return 1;
        });
        EXPECT_EQ(r, c.want) << c.name;
        EXPECT_FALSE(opened) << c.name;
        ASSERT_EQ(prompter.shown.size(), 1u) << c.name;
        EXPECT_EQ(prompter.shown[0].text, c.text);
        EXPECT_EQ(prompter.shown[0].caption, "");
        EXPECT_EQ(prompter.shown[0].icon, CONFIG_ICON_ERROR);
        EXPECT_TRUE(unit.calls.empty());
    }
}

TEST(ConfigRun, UnknownRadarTypeAsksFirst) {
    for (bool yes : {false, true}) {
        FakeUnit unit;
        unit.p[P35_OFF_RADAR_TYPE] = 0xFF;
        ScriptedPrompter prompter;
        prompter.answer = yes;
        bool opened = false;
        config_run(unit, prompter, [&](const ConfigEditArgs&) {
            opened = true;
            return 2;
        });
        ASSERT_EQ(prompter.asked.size(), 1u);
        EXPECT_EQ(prompter.asked[0], "Can not identify the radar type,will use the default "
                                     "configuration, are you sure continue?|Update Tool");
        EXPECT_EQ(opened, yes);
    }
    // Kinds 1 and 2 have no radar type to ask about.
    FakeUnit k2;
    k2.k = 2;
    k2.p = make_param(2);
    k2.p[52] = 0xFF;
    ScriptedPrompter prompter;
    config_run(k2, prompter, [](const ConfigEditArgs&) { return 2; });
    EXPECT_TRUE(prompter.asked.empty());
}

TEST(ConfigRun, ConfirmedEditIsWrittenInOrder) {
    FakeUnit unit;
    ScriptedPrompter prompter;
    auto r = config_run(unit, prompter, [&](const ConfigEditArgs& a) {
        EXPECT_EQ(a.title_prefix, u"Setting");
        EXPECT_EQ(a.boot_version, 1012);
        EXPECT_EQ(a.kind, 4);
        EXPECT_NE(a.param, unit.p.data()); // copies, not the unit's state
        a.param[P35_OFF_DAY_HOUR] = 9;
        a.server_settings[SS_OFF_PORT] = 0x50;
        return 1;
    });
    EXPECT_EQ(r, CONFIG_RUN_SUCCESS);
    EXPECT_EQ(unit.calls, (std::vector<std::string>{"check", "param", "block", "reread"}));
    EXPECT_EQ(unit.written_param[P35_OFF_DAY_HOUR], 9);
    EXPECT_EQ(unit.p[P35_OFF_DAY_HOUR], 6); // the unit's state untouched
    EXPECT_EQ(std::vector<uint8_t>(unit.ms.begin(), unit.ms.end()), unit.written_ms);
    EXPECT_EQ(unit.written_ss[SS_OFF_PORT], 0x50);
    ASSERT_EQ(prompter.shown.size(), 1u);
    EXPECT_EQ(prompter.shown[0].text, "Configuration success!");
    EXPECT_EQ(prompter.shown[0].caption, "Update Tool");
    EXPECT_EQ(prompter.shown[0].icon, CONFIG_ICON_INFORMATION);
}

TEST(ConfigRun, FailedWriteIsNeverReportedAsSuccess) {
    for (int failing = 0; failing < 2; ++failing) {
        FakeUnit unit;
        (failing == 0 ? unit.param_result : unit.block_result) = 0;
        ScriptedPrompter prompter;
        auto r = config_run(unit, prompter, [](const ConfigEditArgs&) { return 1; });
        EXPECT_EQ(r, CONFIG_RUN_WRITE_FAILED);
        EXPECT_EQ(unit.calls.back(), "reread"); // the window shows what the unit holds
        ASSERT_EQ(prompter.shown.size(), 1u);
        EXPECT_EQ(prompter.shown[0].text, "Configuration failed!");
        EXPECT_EQ(prompter.shown[0].icon, CONFIG_ICON_ERROR);
    }
}

TEST(ConfigRun, CancelOrUnpluggedWritesNothing) {
    FakeUnit unit;
    ScriptedPrompter prompter;
    EXPECT_EQ(config_run(unit, prompter, [](const ConfigEditArgs&) { return 2; }),
              CONFIG_RUN_CANCELLED);
    EXPECT_EQ(config_run(unit, prompter,
                         [&](const ConfigEditArgs&) {
                             unit.attached = false;
                             return 1;
                         }),
              CONFIG_RUN_UNIT_GONE);
    EXPECT_TRUE(unit.calls.empty());
    EXPECT_TRUE(prompter.shown.empty());
}

TEST(ConfigRun, UnreadMainSettingFailsBeforeTheDialog) {
    FakeUnit unit;
    unit.ms_state = CONFIG_MAIN_SETTING_UNREAD;
    ScriptedPrompter prompter;
    bool opened = false;
    auto r = config_run(unit, prompter, [&](const ConfigEditArgs&) {
        opened = true;
        return 1;
    });
    EXPECT_EQ(r, CONFIG_RUN_READ_FAILED);
    EXPECT_FALSE(opened);
    EXPECT_TRUE(unit.calls.empty());
    ASSERT_EQ(prompter.shown.size(), 1u);
    EXPECT_EQ(prompter.shown[0].text, "Configuration failed!");
    EXPECT_EQ(prompter.shown[0].caption, "Update Tool");
    EXPECT_EQ(prompter.shown[0].icon, CONFIG_ICON_ERROR);
}

TEST(ConfigRun, AnotherUnitByTheTimeOfWritingGetsNothing) {
    struct Case {
        const char* name;
        void (*change)(FakeUnit&);
    } cases[] = {
        {"client id", [](FakeUnit& u) { u.client = u"OTHER CLIENT"; }},
        {"record kind", [](FakeUnit& u) { u.k = 5; }},
        {"main setting", [](FakeUnit& u) { u.ms[MS_OFF_PROGRAM_VERSION] ^= 1; }},
        {"block now unread", [](FakeUnit& u) { u.ms_state = CONFIG_MAIN_SETTING_UNREAD; }},
        {"block now gone", [](FakeUnit& u) { u.ms_state = CONFIG_MAIN_SETTING_NONE; }},
        {"read refused", [](FakeUnit& u) { u.reread_result = false; }},
    };
    for (const Case& c : cases) {
        FakeUnit unit;
        ScriptedPrompter prompter;
        auto r = config_run(unit, prompter, [&](const ConfigEditArgs&) {
            c.change(unit);
            return 1;
        });
        EXPECT_EQ(r, CONFIG_RUN_UNIT_CHANGED) << c.name;
        EXPECT_EQ(unit.calls, std::vector<std::string>{"check"}) << c.name;
        ASSERT_EQ(prompter.shown.size(), 1u) << c.name;
        EXPECT_EQ(prompter.shown[0].text, "Configuration failed!") << c.name;
        EXPECT_EQ(prompter.shown[0].icon, CONFIG_ICON_ERROR) << c.name;
    }
}

TEST(ConfigRun, UnitWithoutMainSettingGetsOnlyItsParameterRecord) {
    FakeUnit unit;
    unit.ms_state = CONFIG_MAIN_SETTING_NONE;
    ScriptedPrompter prompter;
    auto r = config_run(unit, prompter, [](const ConfigEditArgs&) { return 1; });
    EXPECT_EQ(r, CONFIG_RUN_SUCCESS);
    EXPECT_EQ(unit.calls, (std::vector<std::string>{"check", "param", "reread"}));
    ASSERT_EQ(prompter.shown.size(), 1u);
    EXPECT_EQ(prompter.shown[0].text, "Configuration success!");
}

// A stop from outside ends the run between whole records: before the first
// write nothing is written; during the parameter record's write the block
// is not begun; the run says nothing and tells what it wrote.
TEST(ConfigRun, StopEndsTheRunAtARecordBoundary) {
    struct StoppingUnit : FakeUnit {
        volatile std::sig_atomic_t stop = 0;
        const char* raise_at = "";
        bool reread() override {
            bool r = FakeUnit::reread();
            stop = stop || std::string(raise_at) == "check";
            return r;
        }
        int write_param(const uint8_t* rec) override {
            int r = FakeUnit::write_param(rec);
            stop = stop || std::string(raise_at) == "param";
            return r;
        }
        int write_main_setting(const uint8_t* m, const uint8_t* s) override {
            int r = FakeUnit::write_main_setting(m, s);
            stop = stop || std::string(raise_at) == "block";
            return r;
        }
    };
    struct Case {
        const char* raise_at;
        int param_result;
        ConfigRunResult want;
        std::vector<std::string> calls;
        int param, block;
    } cases[] = {
        {"check", 1, CONFIG_RUN_STOPPED, {"check"}, -1, -1},
        {"param", 1, CONFIG_RUN_STOPPED, {"check", "param", "reread"}, 1, -1},
        // The channel stopped too: the record broke off.
        {"param", 0, CONFIG_RUN_STOPPED, {"check", "param", "reread"}, 0, -1},
        // Asked during the last write: everything is written.
        {"block", 1, CONFIG_RUN_SUCCESS, {"check", "param", "block", "reread"}, 1, 1},
    };
    for (const Case& c : cases) {
        StoppingUnit unit;
        unit.raise_at = c.raise_at;
        unit.param_result = c.param_result;
        ScriptedPrompter prompter;
        ConfigWrites w;
        auto r = config_run(unit, prompter, [](const ConfigEditArgs&) { return 1; }, &unit.stop, &w);
        EXPECT_EQ(r, c.want) << c.raise_at;
        EXPECT_EQ(unit.calls, c.calls) << c.raise_at;
        EXPECT_EQ(w.param, c.param) << c.raise_at;
        EXPECT_EQ(w.block, c.block) << c.raise_at;
        EXPECT_TRUE(w.block_due || c.param < 0) << c.raise_at;
        EXPECT_EQ(prompter.shown.size(), r == CONFIG_RUN_SUCCESS ? 1u : 0u) << c.raise_at;
    }
}
