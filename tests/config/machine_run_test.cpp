// The whole Setting run against the emulated unit over the real command
// exchange: what the unit's flash holds afterwards, byte for byte.
#include "common_t73/QV_Cmd.h"
#include "common_t73/QV_Hid.h"
#include "common_t73/QV_Machine.h"
#include "config/config_model.h"
#include "config/machine_unit.h"
#include "config/records.h"
#include "tools/unitsim/UnitSim.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

namespace {
struct Prompts : ConfigPrompter {
    std::vector<std::string> shown;
    void message(const std::string& t, const std::string&, ConfigIcon) override {
        shown.push_back(t);
    }
    bool ask_yes_no(const std::string&, const std::string&) override { return true; }
};

struct SettingRun : testing::Test {
    UnitSim sim;
    QV_Machine* m = nullptr;

    void attach(bool layout502, int kind) {
        UnitMainSetting ms;
        ms.board = "T73A";
        ms.programVersion = 321;
        ms.placeRegions(layout502, 0, 0x200000, 0xC8000, 0x400000, 0, 0);
        UnitServerSetting ss{"internetmas", "192.0.2.10", "old", "oldpw", 7000};
        sim.setMainSetting(layout502, ms, &ss);
        sim.setParamRecord(layout502, kind);
        m = QV_Machine_create(nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(m, nullptr);
        ASSERT_EQ(QV_Machine_attach(m, QV_Hid_openTransport(sim.transport())), 1);
        ASSERT_EQ(QV_Machine_getDeveiceInfo(m), 1);
        ASSERT_EQ(m->param_kind, kind);
        sim.clearCommands();
    }
    void TearDown() override { QV_Machine_release(m); }

    std::vector<uint8_t> flash(uint32_t addr, size_t n) {
        return std::vector<uint8_t>(sim.flash().begin() + addr, sim.flash().begin() + addr + n);
    }
};

// The edit a user makes in the dialog: the first band off, time zone -3,
// daytime hour 9, carrier row 3 ("Orange/Amena"), port 8080.
int edit(const ConfigEditArgs& a) {
    ConfigView v = config_view_load(a.title_prefix, a.boot_version, a.kind, a.param, a.main_setting,
                                    a.server_settings);
    ConfigInput in = config_input_from_view(v);
    if (!in.bands.empty())
        in.bands[0] = false;
    in.time_zone = u"-3";
    in.day_hour = u"9";
    GprsValues g = v.gprs;
    gprs_select_row(g, 3);
    in.gprs.apn = g.apn;
    in.gprs.user = g.user;
    in.gprs.password = g.password;
    in.gprs.port = u"8080";
    return config_apply(v, in, a.param, a.server_settings).accepted ? 1 : 2;
}
} // namespace

TEST_F(SettingRun, KindFourWritesBothRecords) {
    for (bool layout502 : {false, true}) {
        SCOPED_TRACE(layout502);
        sim.flash().assign(sim.flash().size(), 0xFF);
        attach(layout502, 4);
        std::array<uint8_t, 256> want_param;
        std::memcpy(want_param.data(), m->param, 256);
        std::array<uint8_t, 178> want_ss;
        std::memcpy(want_ss.data(), m->server_settings, 178);
        std::array<uint8_t, 231> ms;
        std::memcpy(ms.data(), m->main_setting, 231);

        Prompts prompts;
        MachineConfigUnit unit(m);
        ASSERT_EQ(config_run(unit, prompts, edit), CONFIG_RUN_SUCCESS);
        ASSERT_EQ(prompts.shown, std::vector<std::string>{"Configuration success!"});

        // What the run must have written, computed independently.
        want_param[P35_OFF_BANDS] = 0;
        want_param[P35_OFF_TIME_ZONE] = 0xFD;
        want_param[P35_OFF_DAY_HOUR] = 9;
        param_record_seal(want_param.data(), 4);
        rec_set_text(want_ss.data() + SS_OFF_APN, 50, "orangeworld", 11);
        rec_set_text(want_ss.data() + SS_OFF_USER, 50, "orange", 6);
        rec_set_text(want_ss.data() + SS_OFF_PASSWORD, 50, "orange", 6);
        rec_set_u32(want_ss.data() + SS_OFF_PORT, 8080);
        std::vector<uint8_t> block(512);
        main_setting_block_build(block.data(), ms.data(), want_ss.data());

        EXPECT_EQ(flash(unit_param_address(layout502), 256),
                  std::vector<uint8_t>(want_param.begin(), want_param.end()));
        EXPECT_EQ(flash(unit_main_setting_address(layout502), 512), block);
        // The unit was read again and told the run is over.
        EXPECT_EQ(0, std::memcmp(m->param, want_param.data(), 256));
        EXPECT_EQ(0, std::memcmp(m->server_settings, want_ss.data(), 178));
        EXPECT_EQ(sim.commands().back().code, CMD_FINISH);
        QV_Machine_release(m);
        m = nullptr;
    }
}

TEST_F(SettingRun, KindThreeKeepsGprsInTheParameterRecord) {
    attach(false, 3);
    Prompts prompts;
    MachineConfigUnit unit(m);
    ASSERT_EQ(config_run(unit, prompts, edit), CONFIG_RUN_SUCCESS);
    std::vector<uint8_t> p = flash(unit_param_address(false), 256);
    EXPECT_EQ(param_record_kind(p.data()), 3);
    const uint8_t port[7] = {'8', '0', '8', '0', 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(p.data() + P3_OFF_PORT, port, 7));
    EXPECT_EQ(0, std::memcmp(p.data() + P3_OFF_APN, "orangeworld\0", 12));
}

TEST_F(SettingRun, FailedWriteSaysSoAndRereads) {
    attach(false, 5);
    sim.addFault({UnitFault::Status, CMD_WRITE, 0, 3});
    Prompts prompts;
    MachineConfigUnit unit(m);
    EXPECT_EQ(config_run(unit, prompts, edit), CONFIG_RUN_WRITE_FAILED);
    EXPECT_EQ(prompts.shown, std::vector<std::string>{"Configuration failed!"});
    EXPECT_GT(sim.count(CMD_READ), 0); // the unit was read again
}

TEST_F(SettingRun, UnpluggedDuringTheDialogWritesNothing) {
    attach(false, 4);
    Prompts prompts;
    MachineConfigUnit unit(m);
    auto r = config_run(unit, prompts, [&](const ConfigEditArgs& a) {
        QV_Machine_attach(m, nullptr);
        return edit(a);
    });
    EXPECT_EQ(r, CONFIG_RUN_UNIT_GONE);
    EXPECT_EQ(sim.count(CMD_WRITE), 0);
    EXPECT_TRUE(prompts.shown.empty());
}

namespace {
// The whole flash but the parameter record of the normal layout.
std::vector<uint8_t> without_param(const std::vector<uint8_t>& flash) {
    std::vector<uint8_t> out(flash);
    std::fill_n(out.begin() + unit_param_address(false), 256, 0);
    return out;
}
} // namespace

TEST_F(SettingRun, UnitOfTheOldLayoutGetsOnlyItsParameterRecord) {
    // No main-setting record: radar-mute data lies where the block would.
    sim.setParamRecord(false, 3);
    sim.setRadarMuteHeader(0x16000, 1699920000);
    m = QV_Machine_create(nullptr, nullptr, nullptr, nullptr);
    ASSERT_EQ(QV_Machine_attach(m, QV_Hid_openTransport(sim.transport())), 1);
    ASSERT_EQ(QV_Machine_getDeveiceInfo(m), 1);
    ASSERT_EQ(m->main_setting_state, MAIN_SETTING_NONE);
    const std::vector<uint8_t> before = sim.flash();

    Prompts prompts;
    MachineConfigUnit unit(m);
    ASSERT_EQ(config_run(unit, prompts, edit), CONFIG_RUN_SUCCESS);
    EXPECT_EQ(prompts.shown, std::vector<std::string>{"Configuration success!"});
    EXPECT_TRUE(without_param(sim.flash()) == without_param(before));
    std::vector<uint8_t> p = flash(unit_param_address(false), 256);
    EXPECT_EQ(param_record_kind(p.data()), 3);
    EXPECT_EQ(int8_t(p[P35_OFF_TIME_ZONE]), -3);
    EXPECT_EQ(m->radar_mute_date.year, 2023); // the header is still there
}

TEST_F(SettingRun, BlockThatWasNotReadIsNeverWritten) {
    // The first read is the block's first half, the second its server half.
    for (int nth : {0, 1}) {
        SCOPED_TRACE(nth);
        UnitMainSetting ms;
        ms.placeRegions(false, 0x1000, 0x200000, 0xC8000, 0x400000, 0, 0);
        UnitServerSetting ss{"internetmas", "192.0.2.10", "old", "oldpw", 7000};
        sim.setMainSetting(false, ms, &ss);
        sim.setParamRecord(false, 4);
        sim.clearFaults();
        sim.addFault({UnitFault::NoReply, CMD_READ, nth});
        QV_Machine_release(m);
        m = QV_Machine_create(nullptr, nullptr, nullptr, nullptr);
        ASSERT_EQ(QV_Machine_attach(m, QV_Hid_openTransport(sim.transport())), 1);
        ASSERT_EQ(QV_Machine_getDeveiceInfo(m), 1);
        EXPECT_EQ(m->main_setting_state, MAIN_SETTING_UNREAD);
        sim.clearFaults();
        sim.clearCommands();
        const std::vector<uint8_t> before = sim.flash();

        Prompts prompts;
        MachineConfigUnit unit(m);
        bool opened = false;
        auto r = config_run(unit, prompts, [&](const ConfigEditArgs& a) {
            opened = true;
            return edit(a);
        });
        EXPECT_EQ(r, CONFIG_RUN_READ_FAILED);
        EXPECT_FALSE(opened);
        EXPECT_EQ(prompts.shown, std::vector<std::string>{"Configuration failed!"});
        EXPECT_EQ(sim.count(CMD_WRITE), 0);
        EXPECT_EQ(sim.count(CMD_ERASE), 0);
        EXPECT_TRUE(sim.flash() == before);
    }
}

TEST_F(SettingRun, UnitSwappedWhileTheDialogIsOpenGetsNothing) {
    sim.setClientId(false, "TREVIK-DEMO ");
    attach(false, 4);
    std::vector<uint8_t> before;
    Prompts prompts;
    MachineConfigUnit unit(m);
    auto r = config_run(unit, prompts, [&](const ConfigEditArgs& a) {
        // Another customer's unit on the same link by the time of OK.
        sim.setClientId(false, "OTHER CLIENT");
        before = sim.flash();
        return edit(a);
    });
    EXPECT_EQ(r, CONFIG_RUN_UNIT_CHANGED);
    EXPECT_EQ(prompts.shown, std::vector<std::string>{"Configuration failed!"});
    EXPECT_EQ(sim.count(CMD_WRITE), 0);
    EXPECT_TRUE(sim.flash() == before);
}

TEST_F(SettingRun, UnlistedApnSurvivesAConfirmedDialog) {
    UnitMainSetting ms;
    ms.placeRegions(false, 0x1000, 0x200000, 0xC8000, 0x400000, 0, 0);
    UnitServerSetting ss{"corp.example", "192.0.2.10", "me", "secret", 7000};
    sim.setMainSetting(false, ms, &ss);
    sim.setParamRecord(false, 5);
    m = QV_Machine_create(nullptr, nullptr, nullptr, nullptr);
    ASSERT_EQ(QV_Machine_attach(m, QV_Hid_openTransport(sim.transport())), 1);
    ASSERT_EQ(QV_Machine_getDeveiceInfo(m), 1);
    const std::vector<uint8_t> block = flash(unit_main_setting_address(false), 512);

    // OK as the dialog leaves it: only a band changed.
    Prompts prompts;
    MachineConfigUnit unit(m);
    auto r = config_run(unit, prompts, [](const ConfigEditArgs& a) {
        ConfigView v = config_view_load(a.title_prefix, a.boot_version, a.kind, a.param,
                                        a.main_setting, a.server_settings);
        EXPECT_EQ(v.gprs.row, GPRS_UNIT_ROW);
        ConfigInput in = config_input_from_view(v);
        in.bands[0] = !in.bands[0];
        return config_apply(v, in, a.param, a.server_settings).accepted ? 1 : 2;
    });
    ASSERT_EQ(r, CONFIG_RUN_SUCCESS);
    EXPECT_EQ(flash(unit_main_setting_address(false), 512), block);
    EXPECT_EQ(sim.count(CMD_WRITE), 2); // the parameter record and the block
}
