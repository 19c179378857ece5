// The context menu's restore of the settings an update reset, from the
// backup the window's own update run took.
#include "window_fixture.h"

#include "app/device_notifier.h"
#include "common_t73/QV_Cmd.h"
#include "config/records.h"

#include <QKeyEvent>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "update/unit_backup.h"

using namespace app_test;

namespace {

const char* const UNIT_NAME = "emulated:vid_0416&pid_b500";
const uint32_t PARAM = 0x11000; // the parameter record of the normal layout

class RestoreSettings : public WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        // Backups of this test only.
        const char* old = std::getenv("XDG_STATE_HOME");
        hadState = old != nullptr;
        if (old)
            oldState = old;
        setenv("XDG_STATE_HOME", file("state").c_str(), 1);
        // A driver's own time zone in a record of kind 3.
        sim.setParamRecord(false, 3);
        ASSERT_EQ(param_set_time_zone(&sim.flash()[PARAM], 3, 3), 1);
        ASSERT_EQ(param_record_seal(&sim.flash()[PARAM], 3), 1);
    }
    void TearDown() override {
        if (hadState)
            setenv("XDG_STATE_HOME", oldState.c_str(), 1);
        else
            unsetenv("XDG_STATE_HOME");
        WindowTest::TearDown();
    }
    int timeZone() { return param_time_zone(&sim.flash()[PARAM], 3); }
    bool recordErased() {
        for (uint32_t i = 0; i < 256; ++i)
            if (sim.flash()[PARAM + i] != 0xFF)
                return false;
        return true;
    }
    // An update whose end offers the way back; offer is the answer to it.
    void update(int offer = PROMPT_IDNO) {
        prompter.files.push_back(QString::fromStdString(writePackage("map.dqv")));
        dlg->OnClickOpen();
        prompter.answers.push_back(PROMPT_IDOK); // "Update Successfully!"
        prompter.answers.push_back(offer);
        dlg->OnClickUpdate();
        ASSERT_TRUE(dlg->WaitForRunEnd(30000));
        QStringList shown = prompter.messages();
        ASSERT_GE(shown.size(), 2);
        ASSERT_EQ(shown[shown.size() - 2], "Update Successfully!");
        ASSERT_EQ(prompter.records.back().labels.size(), 2);
    }
    // The unit restarts with its new program and the default record, and is
    // found again.
    void restart() {
        sim.connectionEnded();
        ASSERT_NE(timeZone(), 3);
        dlg->OnDeviceChange(DBT_DEVICEARRIVAL, DEVICE_CLASS_HID, UNIT_NAME);
        ASSERT_TRUE(wait_for([&] { return dlg->Machine()->param_kind == 3; }));
    }

    bool hadState = false;
    std::string oldState;
};

TEST_F(RestoreSettings, BringsBackWhatTheUpdateResetOnceTheUnitRestarted) {
    open();
    // No backup yet: nothing is written.
    sim.clearCommands();
    dlg->OnRestoreSettings();
    EXPECT_TRUE(prompter.messages().last().startsWith("No backup of this unit's settings"))
        << prompter.messages().last().toStdString();
    EXPECT_EQ(sim.count(0xF3), 0);

    update();
    ASSERT_TRUE(recordErased());
    // The unit still runs without its record: refused, nothing written.
    sim.clearCommands();
    prompter.records.clear();
    dlg->OnRestoreSettings();
    ASSERT_EQ(prompter.records.size(), 1u);
    EXPECT_TRUE(prompter.records[0].text.startsWith("The settings cannot be restored yet"))
        << prompter.records[0].text.toStdString();
    EXPECT_EQ(sim.count(0xF3), 0);
    EXPECT_TRUE(recordErased());

    restart();

    // Declining the question writes nothing.
    prompter.records.clear();
    prompter.answers.push_back(PROMPT_IDNO);
    dlg->OnRestoreSettings();
    ASSERT_EQ(prompter.records.size(), 1u);
    EXPECT_EQ(prompter.records[0].buttons, PromptButtons::YesNo);
    EXPECT_TRUE(prompter.records[0].text.contains("time_zone = 3"))
        << prompter.records[0].text.toStdString();
    EXPECT_NE(timeZone(), 3);

    prompter.records.clear();
    prompter.answers.push_back(PROMPT_IDYES);
    dlg->OnRestoreSettings();
    EXPECT_EQ(prompter.messages().last(), "Configuration success!");
    EXPECT_EQ(timeZone(), 3);
}

// The offer after the update: its button waits for the unit to come back
// with a record, then applies the backup the run took, without asking again.
TEST_F(RestoreSettings, TheOfferAfterTheUpdateRestoresOnceTheUnitIsBack) {
    open();
    update(PROMPT_IDYES);
    ASSERT_TRUE(recordErased());
    std::string pending = dlg->PendingRestore();
    ASSERT_FALSE(pending.empty());
    EXPECT_TRUE(prompter.messages().last().contains(QString::fromStdString(pending)));
    EXPECT_EQ(dlg->StatusText(), "The unit's settings are restored once it has restarted.");
    // Still without its record: nothing is written, the restore waits.
    sim.clearCommands();
    dlg->RefreshDeviceState();
    QApplication::processEvents();
    EXPECT_EQ(sim.count(0xF3), 0);
    EXPECT_EQ(dlg->PendingRestore(), pending);

    prompter.records.clear();
    restart();
    ASSERT_TRUE(wait_for([&] { return timeZone() == 3; }));
    EXPECT_EQ(prompter.messages(), QStringList{"Configuration success!"});
    EXPECT_TRUE(dlg->PendingRestore().empty());
    EXPECT_EQ(dlg->StatusText(), dlg->PackagePath()); // the chosen package again
}

// Updated again before its settings came back: the second backup holds the
// defaults the first left, so the offer names the first one and says it
// is older, and it is that one the restore brings back.
TEST_F(RestoreSettings, ASecondUpdateStillOffersTheUsersOwnSettings) {
    std::string root = file("state") + "/trevik/backups";
    open();
    update();
    std::vector<UnitBackupEntry> list = unit_backup_list(root);
    ASSERT_EQ(list.size(), 1u);
    std::string own = list[0].folder;
    restart();
    update(PROMPT_IDYES);
    list = unit_backup_list(root);
    ASSERT_EQ(list.size(), 2u);
    UnitBackupOffer offer = unit_backup_offer(root, list[1].folder);
    EXPECT_EQ(offer.run.holds_defaults, 1);
    EXPECT_EQ(offer.backup.folder, own);
    EXPECT_EQ(dlg->PendingRestore(), own);
    QString text = prompter.messages().last();
    EXPECT_EQ(text, CTrevikDlg::RestoreOfferText(own, offer.backup.time));
    EXPECT_TRUE(text.contains("holds its default settings, not its own")) << text.toStdString();
    restart();
    ASSERT_TRUE(wait_for([&] { return timeZone() == 3; }));
}

// Escape while the run writes: the write finishes, and the offer to bring
// the settings back still comes before the window goes. Choosing to restore
// keeps the window open for it; Later lets it close.
TEST_F(RestoreSettings, EscapeDuringTheRunStillOffersTheWayBack) {
    struct Case {
        int offer;
        bool staysOpen;
    };
    for (const Case& c : {Case{PROMPT_IDNO, false}, Case{PROMPT_IDYES, true}}) {
        SCOPED_TRACE(c.offer);
        sim.setParamRecord(false, 3);
        ASSERT_EQ(param_set_time_zone(&sim.flash()[PARAM], 3, 3), 1);
        ASSERT_EQ(param_record_seal(&sim.flash()[PARAM], 3), 1);
        open();
        dlg->show();
        prompter.records.clear();
        sim.clearCommands();
        dlg->OnDropFiles({QString::fromStdString(writePackage("map.dqv"))});
        prompter.answers = {PROMPT_IDOK, c.offer}; // "Update Successfully!", the offer
        sim.setReportDelayUs(300);
        dlg->OnClickUpdate();
        ASSERT_TRUE(wait_for([&] { return sim.count(CMD_WRITE) > 0; }));
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(dlg.get(), &escape);
        sim.setReportDelayUs(0);
        EXPECT_FALSE(dlg->IsUpdating());
        QStringList shown = prompter.messages();
        ASSERT_EQ(shown.size(), 2) << shown.join("|").toStdString();
        EXPECT_EQ(shown[0], "Update Successfully!");
        EXPECT_TRUE(shown[1].startsWith("The unit starts its new program with its default"));
        EXPECT_EQ(prompter.records.back().labels.size(), 2);
        EXPECT_EQ(dlg->isVisible(), c.staysOpen);
        EXPECT_EQ(dlg->IsClosing(), !c.staysOpen);
        EXPECT_EQ(dlg->PendingRestore().empty(), !c.staysOpen);
        dlg.reset();
    }
}

TEST_F(RestoreSettings, RefusesABackupOfAnotherKind) {
    open();
    update();
    sim.connectionEnded();
    // The unit comes back with a record of another kind.
    sim.setParamRecord(false, 1);
    dlg->OnDeviceChange(DBT_DEVICEARRIVAL, DEVICE_CLASS_HID, UNIT_NAME);
    ASSERT_TRUE(wait_for([&] { return dlg->Machine()->param_kind == 1; }));
    std::vector<uint8_t> before = sim.flash();
    prompter.records.clear();
    dlg->OnRestoreSettings();
    ASSERT_EQ(prompter.records.size(), 1u);
    EXPECT_TRUE(prompter.records[0].text.startsWith("The settings cannot be restored yet"));
    EXPECT_TRUE(sim.flash() == before);
}

// On a bench of units of one customer, the newest backup of the client id
// may be another unit's: only this unit's own is offered.
TEST_F(RestoreSettings, OffersOnlyThisUnitsOwnBackup) {
    open();
    update();
    std::string root = file("state") + "/trevik/backups";
    std::vector<UnitBackupEntry> list = unit_backup_list(root);
    ASSERT_EQ(list.size(), 1u);
    std::string own = list[0].folder;
    // Another unit's backup, taken later, with another time zone.
    std::string theirs = root + "/20991231T000000Z-TREVIK-DEMO";
    std::filesystem::copy(own, theirs);
    auto slurp = [](const std::string& path) {
        std::ifstream in(path);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    };
    nlohmann::json id = nlohmann::json::parse(slurp(own + "/backup.json"));
    id["key"] = "TREVIK-DEMO-0123456789ab";
    id["unit_path"] = "socket:/tmp/elsewhere";
    id["time_ns"] = id["time_ns"].get<int64_t>() + 1000000000;
    std::ofstream(theirs + "/backup.json", std::ios::trunc) << id.dump();
    std::string settings = slurp(own + "/settings.json");
    size_t at = settings.find("\"time_zone\":3");
    ASSERT_NE(at, std::string::npos) << settings;
    settings.replace(at, 13, "\"time_zone\":5");
    std::ofstream(theirs + "/settings.json", std::ios::trunc) << settings;
    ASSERT_EQ(unit_backup_list(root).back().folder, theirs);

    sim.connectionEnded();
    dlg->OnDeviceChange(DBT_DEVICEARRIVAL, DEVICE_CLASS_HID, UNIT_NAME);
    ASSERT_TRUE(wait_for([&] { return dlg->Machine()->param_kind == 3; }));
    prompter.records.clear();
    prompter.answers.push_back(PROMPT_IDYES);
    dlg->OnRestoreSettings();
    ASSERT_FALSE(prompter.records.empty());
    const QString question = prompter.records[0].text;
    EXPECT_TRUE(question.contains(QString::fromStdString(own))) << question.toStdString();
    EXPECT_FALSE(question.contains(QString::fromStdString(theirs))) << question.toStdString();
    EXPECT_EQ(timeZone(), 3);
}

} // namespace
