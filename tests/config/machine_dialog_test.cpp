// The Setting dialog itself as the editor of a run against the emulated
// unit: what confirming it leaves in the unit's flash.
#include "common_t73/QV_Hid.h"
#include "common_t73/QV_Machine.h"
#include "config/ConfigDialog.h"
#include "config/machine_unit.h"
#include "config/records.h"
#include "tools/unitsim/UnitSim.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {
struct Prompts : ConfigPrompter {
    std::vector<std::string> shown;
    void message(const std::string& t, const std::string&, ConfigIcon) override {
        shown.push_back(t);
    }
    bool ask_yes_no(const std::string&, const std::string&) override { return true; }
};

struct DialogOnUnit : testing::Test {
    UnitSim sim;
    QV_Machine* m = nullptr;
    CConfigDialog dlg;

    void SetUp() override {
        UnitMainSetting ms;
        ms.placeRegions(false, 0x1000, 0x200000, 0xC8000, 0x400000, 0, 0);
        UnitServerSetting ss{"corp.example", "192.0.2.10", "me", "secret", 7000};
        sim.setMainSetting(false, ms, &ss);
        sim.setParamRecord(false, 4);
        m = QV_Machine_create(nullptr, nullptr, nullptr, nullptr);
        ASSERT_EQ(QV_Machine_attach(m, QV_Hid_openTransport(sim.transport())), 1);
        ASSERT_EQ(QV_Machine_getDeveiceInfo(m), 1);
        dlg.showMessage = [](const QString&, const QString&) {};
    }
    void TearDown() override { QV_Machine_release(m); }

    // Runs the Setting run with the dialog loaded from the copies; touch
    // changes its controls before OK.
    ConfigRunResult run(const std::function<void()>& touch) {
        Prompts prompts;
        MachineConfigUnit unit(m);
        return config_run(unit, prompts, [&](const ConfigEditArgs& a) {
            if (!dlg.Prepare(QString::fromStdU16String(a.title_prefix), a.boot_version, a.kind,
                             a.param, a.main_setting, a.server_settings))
                return 2;
            touch();
            return dlg.OnOK() ? 1 : 2;
        });
    }
    std::vector<uint8_t> server_half() const {
        uint32_t at = unit_main_setting_address(false) + 256;
        return std::vector<uint8_t>(sim.flash().begin() + at, sim.flash().begin() + at + 256);
    }
};
} // namespace

TEST_F(DialogOnUnit, UnlistedApnIsKeptUnlessACarrierIsPicked) {
    const std::vector<uint8_t> before = server_half();
    ASSERT_EQ(run([&] {
                  auto* company = qobject_cast<QComboBox*>(dlg.Control(1043));
                  EXPECT_EQ(company->currentText(), "corp.example");
                  EXPECT_EQ(qobject_cast<QLineEdit*>(dlg.Control(1051))->text(), "me");
                  dlg.BandBoxes()[0]->setChecked(!dlg.BandBoxes()[0]->isChecked());
              }),
              CONFIG_RUN_SUCCESS);
    EXPECT_EQ(server_half(), before);

    ASSERT_EQ(run([&] {
                  auto* company = qobject_cast<QComboBox*>(dlg.Control(1043));
                  company->setCurrentIndex(1 + 3); // Orange/Amena, after the unit's entry
                  dlg.OnSelchangeCompany();
              }),
              CONFIG_RUN_SUCCESS);
    char text[64];
    const std::vector<uint8_t> after = server_half();
    ASSERT_TRUE(server_settings_half_valid(after.data()));
    rec_get_text(text, sizeof text, after.data() + 4 + SS_OFF_APN, SS_APN_SIZE);
    EXPECT_STREQ(text, "orangeworld");
    rec_get_text(text, sizeof text, m->server_settings + SS_OFF_USER, SS_USER_SIZE);
    EXPECT_STREQ(text, "orange");
}
