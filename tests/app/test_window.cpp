// The main window against the emulated unit: start-up, device notices,
// titles, buttons, drops, the Update question, update runs and closing.
#include "window_fixture.h"

#include "app/device_notifier.h"
#include "update/failure_text.h"
#include "update/unit_backup.h"
#include "update/update_history.h"
#include "common_t73/QV_Cmd.h"
#include "package/package.h"
#include "update/update_run.h"
#include "support/log.h"

#include <QRegularExpression>
#include <QEventLoop>

#include <QGroupBox>
#include <QLabel>
#include <filesystem>
#include <fstream>
#include <mutex>

using namespace app_test;

namespace {

const char* const UNIT_NAME = "emulated:vid_0416&pid_b500";

TEST(WindowDecisions, TitleTexts) {
    EXPECT_EQ(trevik_title(false, 2019, 3, 18), "Update Tool   No hardware connected!");
    EXPECT_EQ(trevik_title(true, 2019, 3, 18), "Update Tool   GPS Connected   V:20190318");
    EXPECT_EQ(trevik_title(true, 2019, 11, 5), "Update Tool   GPS Connected   V:20191105");
    EXPECT_EQ(trevik_title(true, 0, 3, 18), "Update Tool   GPS Connected   V:");
}

TEST(WindowDecisions, PackageExtension) {
    EXPECT_TRUE(trevik_is_package_path("/home/u/map.DQV"));
    EXPECT_TRUE(trevik_is_package_path("/x.y/map.dqv"));
    EXPECT_TRUE(trevik_is_package_path("/home/u/map.zip"));
    EXPECT_TRUE(trevik_is_package_path("/home/u/map.ZIP"));
    EXPECT_FALSE(trevik_is_package_path("/home/u/map.rar"));
    EXPECT_FALSE(trevik_is_package_path("/home/u/map.zip.txt"));
    EXPECT_FALSE(trevik_is_package_path("/home/u/map.dqv.bak"));
    // Without a '.', the whole path is the extension.
    EXPECT_TRUE(trevik_is_package_path("dqv"));
    EXPECT_FALSE(trevik_is_package_path("/home/u/dqv"));
}

TEST(WindowDecisions, AcceptanceRule) {
    auto accept = [](const std::string& client, const char* customer) {
        uint8_t id[256];
        memset(id, 0xFF, sizeof id);
        memcpy(id, client.data(), client.size());
        return trevik_accept_identity(id, sizeof id, customer, strlen(customer));
    };
    const char* blanks = "                     ";
    EXPECT_EQ(accept("VELMORA NAV", blanks), 1);          // no customer: every unit
    EXPECT_EQ(accept("SOMEONE ELSE", "TREVIK-DEMO "), 1); // unknown ids are accepted
    EXPECT_EQ(accept("TREVIK-DEMO 01", "TREVIK-DEMO "), 1);
    EXPECT_EQ(accept("PARTNR-7", "TREVIK-DEMO "), 1); // served, first 6 bytes
    EXPECT_EQ(accept("PARTNER FLEET SERVICES 2019 ", "TREVIK-DEMO "), 1);
    EXPECT_EQ(accept("VELMORA NAV", "TREVIK-DEMO "), 0); // another known customer
    EXPECT_EQ(accept("BRAND12", "TREVIK-DEMO "), 0);
    EXPECT_EQ(trevik_accept_identity(nullptr, 256, "TREVIK-DEMO ", 12), 0);
}

TEST(WindowDecisions, NoticeNames) {
    QString name;
    EXPECT_EQ(device_notice_from_udev(
                  "hidraw", "",
                  "/devices/pci0000:00/usb1/1-1/1-1:1.0/0003:0416:B500.0004/hidraw/hidraw3",
                  "/dev/hidraw3", &name),
              4);
    std::u16string n = name.toStdU16String();
    EXPECT_TRUE(QV_Hid_isUnitPath(n.c_str())) << name.toStdString();
    device_notice_from_udev("hidraw", "", "/devices/x/0003:0416:B501.0001/hidraw/hidraw0",
                            "/dev/hidraw0", &name);
    n = name.toStdU16String();
    EXPECT_FALSE(QV_Hid_isUnitPath(n.c_str()));
    EXPECT_EQ(
        device_notice_from_udev("block", "partition", "/devices/x/sdb/sdb1", "/dev/sdb1", &name),
        2);
    EXPECT_EQ(device_notice_from_udev("block", "disk", "/devices/x/sdb", "/dev/sdb", &name), 3);
    EXPECT_EQ(device_notice_from_udev("usb", "usb_device", "/devices/x/1-1", "", &name), 1);
    EXPECT_EQ(device_notice_from_udev("net", "", "/devices/x/net/eth0", "", &name), 5);
    EXPECT_EQ(device_notice_from_udev("tty", "", "/devices/x/tty0", "", &name), 0);
    n = device_notice_socket_name("/tmp/u.sock").toStdU16String();
    EXPECT_TRUE(QV_Hid_isUnitPath(n.c_str()));
}

using Window = WindowTest;

TEST_F(Window, StartWithUnitShowsDateAndEnablesSetting) {
    open();
    EXPECT_EQ(title(), "Update Tool   GPS Connected   V:20190318");
    EXPECT_TRUE(enabled(IDC_SETTING));
    EXPECT_FALSE(enabled(IDC_UPDATE)); // nothing to update with yet
    // The unit's version check (against a closed port here) holds Open
    // until it ends.
    EXPECT_TRUE(wait_for([&] { return enabled(IDC_OPEN); }));
    EXPECT_EQ(dlg->StatusText(), "Access database failed,please updated by local file!");
    EXPECT_TRUE(enabled(IDC_CLOSE));
    EXPECT_TRUE(prompter.records.empty());
}

TEST_F(Window, StartWithoutUnit) {
    unplug();
    open();
    EXPECT_EQ(title(), "Update Tool   No hardware connected!");
    EXPECT_FALSE(enabled(IDC_SETTING));
    EXPECT_FALSE(enabled(IDC_UPDATE));
    EXPECT_TRUE(enabled(IDC_OPEN));
}

TEST_F(Window, UnitWithoutGpsDateShowsEmptyVersion) {
    // A unit without a GPS region has no GPS date.
    UnitSim bare;
    UnitMainSetting noGps;
    noGps.flashSize = bare.flashSize();
    noGps.placeRegions(false, 0x1000, 0x4000, 0x1000, 0, 0, 0);
    bare.setMainSetting(false, noGps);
    bare.setParamRecord(false, 1);
    bare.setClientId(false, "TREVIK-DEMO ");
    QV_Hid_selectEmulated([&] { return bare.transport(); });
    open();
    EXPECT_EQ(title(), "Update Tool   GPS Connected   V:");
    dlg.reset();
}

TEST_F(Window, TemplateTextsAndLayout) {
    // A served customer's unit: it has no version file, so no check text.
    sim.setClientId(false, "PARTNR 0001");
    open();
    EXPECT_EQ(static_cast<QGroupBox*>(dlg->Control(IDC_GROUP_FILE))->title(), "Update the File");
    EXPECT_EQ(static_cast<QGroupBox*>(dlg->Control(IDC_GROUP_PROGRESS))->title(), "Progress");
    EXPECT_EQ(dlg->Button(IDC_OPEN)->text(), "Open");
    EXPECT_EQ(dlg->Button(IDC_UPDATE)->text(), "Update");
    EXPECT_EQ(dlg->Button(IDC_SETTING)->text(), "Setting");
    EXPECT_EQ(dlg->Button(IDC_CLOSE)->text(), "Close");
    EXPECT_TRUE(dlg->Button(IDC_OPEN)->HasIconOut()); // grey copy
    EXPECT_FALSE(dlg->Button(IDC_CLOSE)->HasIconOut());
    EXPECT_EQ(dlg->StatusText(), "");
    EXPECT_EQ(dlg->ProgressText(), "");
    EXPECT_FALSE(static_cast<QLabel*>(dlg->Control(IDC_PICTURE))->pixmap().isNull());
    // Same proportions as the 282 x 250 template, controls inside the window.
    QRect picture = dlg->Control(IDC_PICTURE)->geometry();
    EXPECT_EQ(picture.topLeft(), QPoint(0, 0));
    EXPECT_EQ(picture.width(), dlg->width());
    QRect close = dlg->Button(IDC_CLOSE)->geometry();
    EXPECT_LE(close.right(), dlg->width());
    EXPECT_LE(close.bottom(), dlg->height());
    EXPECT_LT(dlg->Button(IDC_SETTING)->x(), dlg->Button(IDC_UPDATE)->x());
    EXPECT_LT(dlg->Button(IDC_UPDATE)->x(), close.x());
    EXPECT_EQ(dlg->SystemMenuText(), "TREVIK-DEMO Version407");
}

TEST_F(Window, ArrivalAttachesAndRemovalDrops) {
    unplug();
    open();
    EXPECT_FALSE(dlg->IsConnected());
    std::string pkg = writePackage("map.dqv");
    dlg->OnDropFiles({QString::fromStdString(pkg)});
    EXPECT_FALSE(enabled(IDC_UPDATE)); // no unit yet

    plugIn();
    // Another device's arrival changes nothing.
    EXPECT_EQ(
        dlg->OnDeviceChange(DBT_DEVICEARRIVAL, DEVICE_CLASS_HID, "emulated:vid_0416&pid_b501"), 0);
    EXPECT_FALSE(dlg->IsConnected());
    dlg->OnDeviceChange(DBT_DEVICEARRIVAL, DEVICE_CLASS_USB, UNIT_NAME);
    EXPECT_FALSE(dlg->IsConnected());
    dlg->OnDeviceChange(DBT_DEVICEARRIVAL, DEVICE_CLASS_HID, UNIT_NAME);
    EXPECT_TRUE(dlg->IsConnected());
    EXPECT_EQ(title(), "Update Tool   GPS Connected   V:20190318");
    EXPECT_TRUE(enabled(IDC_SETTING));
    EXPECT_TRUE(enabled(IDC_UPDATE));

    dlg->OnDeviceChange(DBT_DEVICEREMOVECOMPLETE, DEVICE_CLASS_HID, UNIT_NAME);
    EXPECT_FALSE(dlg->IsConnected());
    EXPECT_EQ(title(), "Update Tool   No hardware connected!");
    EXPECT_FALSE(enabled(IDC_SETTING));
    EXPECT_FALSE(enabled(IDC_UPDATE));
    EXPECT_EQ(dlg->PackagePath().toStdString(), pkg); // the chosen package stays
    EXPECT_EQ(dlg->StatusText().toStdString(), pkg);
}

TEST_F(Window, DriveProbeShowsConnectingThenAttachesLater) {
    open(1, 100);
    EXPECT_EQ(title(), "Update Tool   GPS Connecting...");
    EXPECT_FALSE(dlg->IsConnected());
    EXPECT_TRUE(wait_for([&] { return dlg->IsConnected(); }, 3000));
    EXPECT_EQ(title(), "Update Tool   GPS Connected   V:20190318");
    EXPECT_TRUE(enabled(IDC_SETTING));
}

TEST_F(Window, VolumeArrivalOfTheUnitShowsConnecting) {
    unplug();
    open();
    int probes = 0;
    dlg->SetStorageProbe([&] { return ++probes; });
    dlg->OnDeviceChange(DBT_DEVICEARRIVAL, DEVICE_CLASS_VOLUME, "mount");
    EXPECT_EQ(probes, 1);
    EXPECT_EQ(title(), "Update Tool   GPS Connecting...");
    dlg->OnDeviceChange(DBT_DEVICEREMOVECOMPLETE, DEVICE_CLASS_VOLUME, "mount");
    EXPECT_EQ(probes, 1);
}

TEST_F(Window, DropsTakeOnlyTheFirstPackage) {
    open();
    dlg->OnDropFiles({qfile("notes.txt")});
    EXPECT_TRUE(dlg->PackagePath().isEmpty());
    EXPECT_FALSE(enabled(IDC_UPDATE));
    dlg->OnDropFiles({qfile("map.DQV"), qfile("other.dqv")});
    EXPECT_EQ(dlg->PackagePath().toStdString(), file("map.DQV"));
    EXPECT_EQ(dlg->StatusText().toStdString(), file("map.DQV"));
    EXPECT_TRUE(enabled(IDC_UPDATE));
    dlg->OnDropFiles({qfile("second.txt"), qfile("third.dqv")});
    EXPECT_EQ(dlg->PackagePath().toStdString(), file("map.DQV"));
    // A zip archive is taken as a package is.
    dlg->OnDropFiles({qfile("zipped.zip")});
    EXPECT_EQ(dlg->PackagePath().toStdString(), file("zipped.zip"));
    EXPECT_TRUE(prompter.records.empty());
}

TEST_F(Window, OpenChoosesPackage) {
    open();
    prompter.files.push_back(QString::fromStdString(file("chosen.dqv")));
    dlg->OnClickOpen();
    ASSERT_EQ(prompter.records.size(), 1u);
    EXPECT_EQ(prompter.records[0].kind, "open");
    EXPECT_EQ(prompter.records[0].filter,
              "Update File(*.dqv)|*.dqv|Zip File(*.zip)|*.zip|All File(*.*)|*.*||");
    EXPECT_EQ(prompter.records[0].defaultExt, "file");
    EXPECT_EQ(dlg->PackagePath().toStdString(), file("chosen.dqv"));
    EXPECT_TRUE(enabled(IDC_UPDATE));
    // Cancelling keeps the choice.
    dlg->OnClickOpen();
    EXPECT_EQ(dlg->PackagePath().toStdString(), file("chosen.dqv"));
}

TEST_F(Window, UpdateWithoutUnitSaysNoHardware) {
    unplug();
    open();
    dlg->OnClickUpdate();
    ASSERT_EQ(prompter.records.size(), 1u);
    EXPECT_EQ(prompter.records[0].text, "   No hardware connected!");
    EXPECT_EQ(prompter.records[0].caption, "");
    EXPECT_EQ(prompter.records[0].icon, PromptIcon::Error);
    EXPECT_FALSE(dlg->IsUpdating());
}

// The Update question against a version file read into the window.
class UpdateQuestion : public WindowTest {
  protected:
    void loadVersion(const std::string& text) {
        // The unit's own check (against a closed port) ends first; its file
        // is not this one.
        ASSERT_TRUE(wait_for([&] { return !dlg->VersionState().awaiting_end; }));
        std::string path = file("version.txt");
        std::ofstream(path, std::ios::binary) << text;
        dlg->LoadVersionFile(QString::fromStdString(path));
    }
    int questions() const {
        int n = 0;
        for (const auto& r : prompter.records)
            if (r.text == "Already the newest version,Updated or Not?")
                ++n;
        return n;
    }
};

TEST_F(UpdateQuestion, EqualOnlineVersionAsksAndNoStops) {
    sim.setGpsHeader(ms.gpsAddress, day_seconds(2019, 1, 1));
    open();
    loadVersion("20190101\r\nhttp://127.0.0.1:9/map.dqv\r\n");
    EXPECT_EQ(dlg->StatusText(), "Internet vesion:20190101");
    EXPECT_TRUE(enabled(IDC_UPDATE));
    dlg->OnClickUpdate(); // scripted answer: No
    EXPECT_EQ(questions(), 1);
    EXPECT_EQ(prompter.records.back().caption, "Update Tool");
    EXPECT_EQ(prompter.records.back().buttons, PromptButtons::YesNo);
    EXPECT_FALSE(dlg->IsUpdating());
}

TEST_F(UpdateQuestion, NewerOnlineVersionDoesNotAsk) {
    sim.setGpsHeader(ms.gpsAddress, day_seconds(2019, 1, 1));
    open();
    loadVersion("20190102\r\nhttp://127.0.0.1:9/map.dqv\r\n");
    dlg->OnClickUpdate();
    EXPECT_EQ(questions(), 0);
    EXPECT_TRUE(dlg->IsUpdating());
    EXPECT_TRUE(dlg->WaitForRunEnd(20000));
}

TEST_F(UpdateQuestion, ChosenPackageNeverAsks) {
    sim.setGpsHeader(ms.gpsAddress, day_seconds(2019, 1, 1));
    open();
    loadVersion("20190101\r\nhttp://127.0.0.1:9/map.dqv\r\n");
    dlg->OnDropFiles({QString::fromStdString(writePackage("map.dqv"))});
    dlg->OnClickUpdate();
    EXPECT_EQ(questions(), 0);
    EXPECT_TRUE(dlg->WaitForRunEnd(20000));
}

// A GPS header left erased by a write that broke off holds no data: the
// title shows no date, and no online version is "already" on the unit.
TEST_F(UpdateQuestion, ErasedGpsHeaderIsVersionZero) {
    sim.setGpsHeader(ms.gpsAddress, 0xFFFFFFFFu);
    open();
    EXPECT_EQ(title(), "Update Tool   GPS Connected   V:");
    loadVersion("21060207\r\nhttp://127.0.0.1:9/map.dqv\r\n");
    dlg->OnClickUpdate();
    EXPECT_EQ(questions(), 0);
    EXPECT_TRUE(dlg->IsUpdating());
    EXPECT_TRUE(dlg->WaitForRunEnd(20000));
}

TEST_F(UpdateQuestion, FailedCheckNeverAsks) {
    open();
    loadVersion("20190101\r\n"); // one line only
    EXPECT_EQ(dlg->StatusText(), "Access database failed,please updated by local file!");
    EXPECT_EQ(dlg->OnlineVersion(), -1);
}

class UpdateRunWindow : public WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        open();
        QObject::connect(dlg->Progress(), &CTextProgressCtrl::textChanged,
                         [this](const QString& t) { texts << t; });
    }
    QStringList texts;
    std::error_code ec_;
};

TEST_F(UpdateRunWindow, WholeRunShowsProgressAndSucceeds) {
    std::string pkg = writePackage("map.dqv");
    prompter.files.push_back(QString::fromStdString(pkg));
    dlg->OnClickOpen();
    sim.setReportDelayUs(300); // long enough to look at the window mid-run
    dlg->OnClickUpdate();
    EXPECT_TRUE(dlg->IsUpdating());
    // The run holds the three buttons.
    EXPECT_TRUE(wait_for([&] { return !enabled(IDC_UPDATE); }, 2000));
    EXPECT_FALSE(enabled(IDC_SETTING));
    EXPECT_FALSE(enabled(IDC_OPEN));
    // A drop during the run is ignored.
    dlg->OnDropFiles({qfile("other.dqv")});
    EXPECT_EQ(dlg->PackagePath().toStdString(), pkg);

    ASSERT_TRUE(dlg->WaitForRunEnd(30000));
    EXPECT_TRUE(enabled(IDC_UPDATE));
    EXPECT_TRUE(enabled(IDC_SETTING));
    EXPECT_TRUE(enabled(IDC_OPEN));
    EXPECT_EQ(dlg->LastRunBoxText(), "Update Successfully!");
    ASSERT_NE(box("Update Successfully!"), nullptr);
    EXPECT_EQ(box("Update Successfully!")->icon, PromptIcon::Information);
    EXPECT_TRUE(texts.contains("updating"));
    bool sawPercent = false, sawFull = false;
    QRegularExpression re("^Updated \\d+\\.\\d\\d%   Time \\d+ Second$");
    for (const QString& t : texts) {
        sawPercent |= re.match(t).hasMatch();
        sawFull |= t.startsWith("Updated 100.00%   Time ");
    }
    EXPECT_TRUE(sawPercent) << texts.join('|').toStdString();
    EXPECT_TRUE(sawFull) << texts.join('|').toStdString();
    // The GPS data landed in the unit's flash.
    EXPECT_EQ(sim.count(CMD_FINISH), 1);
}

TEST_F(UpdateRunWindow, SavesTheUnitsSettingsFirstAndSaysTheWayBack) {
    std::string state = std::getenv("XDG_STATE_HOME");
    std::string root = state + "/trevik/backups";
    std::vector<std::string> before;
    for (auto& e : std::filesystem::directory_iterator(root, ec_)) {
        before.push_back(e.path().string());
        // The units of earlier tests share this one's identity: as far as
        // the backups know, its settings were never reset.
        if (e.path().extension() == ".reset")
            std::filesystem::remove(e.path(), ec_);
    }
    prompter.files.push_back(QString::fromStdString(writePackage("map.dqv")));
    dlg->OnClickOpen();
    dlg->OnClickUpdate();
    ASSERT_TRUE(dlg->WaitForRunEnd(30000));
    EXPECT_EQ(dlg->LastRunBoxText(), "Update Successfully!");
    int saving = int(texts.indexOf(QString::fromUtf8("Saving the unit's settings\u2026")));
    ASSERT_GE(saving, 0) << texts.join('|').toStdString();
    EXPECT_LT(saving, int(texts.indexOf("updating")));
    // A new backup of this unit, named after the success box in a question
    // of its own that offers the way back; declined, nothing waits for it.
    std::string folder;
    for (auto& e : std::filesystem::directory_iterator(root, ec_))
        if (std::find(before.begin(), before.end(), e.path().string()) == before.end())
            folder = e.path().string();
    ASSERT_FALSE(folder.empty());
    EXPECT_TRUE(std::filesystem::exists(folder + "/settings.json"));
    QStringList shown = prompter.messages();
    ASSERT_EQ(shown.size(), 2);
    EXPECT_EQ(shown[0], "Update Successfully!");
    EXPECT_EQ(shown[1], CTrevikDlg::RestoreOfferText(folder));
    EXPECT_TRUE(shown[1].contains(QString::fromStdString(folder)));
    const ScriptedPrompter::Record& offer = prompter.records.back();
    EXPECT_EQ(offer.caption, "Update Tool");
    EXPECT_EQ(offer.labels, QStringList({CTrevikDlg::RestoreNowText(), "Later"}));
    EXPECT_TRUE(dlg->PendingRestore().empty());
    EXPECT_FALSE(dlg->StatusText().contains("trevik-cli")) << dlg->StatusText().toStdString();
}

// The run's end reaches the window once, however the run ended: what it
// has to say at its end (here: a history that cannot be written) is said
// once per run, and closing the window says it no more.
TEST_F(UpdateRunWindow, TheRunsEndArrivesOnce) {
    // Counts the warning's lines; the sink and the state folder go back to
    // what they were however the test ends.
    struct Watch {
        std::mutex lock;
        int lines = 0;
        bool hadState = false;
        std::string oldState;
        explicit Watch(const std::string& state) {
            const char* old = std::getenv("XDG_STATE_HOME");
            hadState = old != nullptr;
            oldState = old ? old : "";
            setenv("XDG_STATE_HOME", state.c_str(), 1);
            log_set_sink(
                [](void* user, int, const char* line) {
                    auto* w = static_cast<Watch*>(user);
                    if (std::strstr(line, "The update history could not be written")) {
                        std::lock_guard<std::mutex> g(w->lock);
                        ++w->lines;
                    }
                },
                this);
        }
        ~Watch() {
            log_set_sink(nullptr, nullptr);
            if (hadState)
                setenv("XDG_STATE_HOME", oldState.c_str(), 1);
            else
                unsetenv("XDG_STATE_HOME");
        }
        int said() {
            std::lock_guard<std::mutex> g(lock);
            return lines;
        }
    };
    std::string state = dir + "/state";
    Watch watch(state);
    // The history file is a folder: every append fails.
    std::filesystem::create_directories(state + "/trevik/history.jsonl", ec_);
    auto settle = [] {
        // Anything still queued to the window is handled by now.
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 200)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    };
    dlg->OnDropFiles({QString::fromStdString(writePackage("map.dqv"))});
    for (int run = 1; run <= 2; ++run) {
        dlg->OnClickUpdate();
        ASSERT_TRUE(dlg->WaitForRunEnd(30000));
        settle();
        EXPECT_EQ(dlg->LastRunBoxText(), "Update Successfully!");
        EXPECT_EQ(watch.said(), run);
    }
    dlg->done(QDialog::Accepted);
    settle();
    EXPECT_EQ(watch.said(), 2);
}

TEST_F(UpdateRunWindow, FailingVoiceWriteReportsItsCode) {
    dlg->OnDropFiles({QString::fromStdString(writePackage("map.dqv"))});
    UnitFaultRule rule;
    rule.kind = UnitFault::Status;
    rule.code = CMD_WRITE;
    rule.nth = 1; // write 0 is the new main-setting block, write 1 the voice area
    rule.status = 3;
    sim.addFault(rule);
    sim.setReportDelayUs(100);
    QStringList bar;
    QObject::connect(dlg->Progress(), &CTextProgressCtrl::textChanged,
                     [&](const QString& t) { bar << t; });
    dlg->OnClickUpdate();
    ASSERT_TRUE(dlg->WaitForRunEnd(30000));
    // The system's text, then the cause and the next step in one line that
    // names the backup taken before the run.
    EXPECT_EQ(dlg->LastRunBoxText(), "Update Failed!  -4");
    QStringList lines = prompter.messages().last().split('\n');
    ASSERT_EQ(lines.size(), 2) << prompter.messages().last().toStdString();
    EXPECT_EQ(lines[0], "Update Failed!  -4");
    // The one backup of this test's unit, taken before the run.
    std::vector<UnitBackupEntry> backups =
        unit_backup_list(unit_backups_root(trevik_state_directory()));
    ASSERT_EQ(backups.size(), 1u);
    const UnitBackupEntry& backup = backups[0];
    EXPECT_EQ(lines[1].toStdString(), failure_text_line(failure_text_update(-4, backup.folder)));
    EXPECT_TRUE(lines[1].contains(QString::fromStdString(backup.folder)));
    EXPECT_EQ(prompter.records.back().icon, PromptIcon::Error);
    // The bar says where the run stopped instead of its last figure.
    ASSERT_FALSE(bar.isEmpty());
    EXPECT_TRUE(
        QRegularExpression("^Stopped at \\d+\\.\\d\\d%$").match(dlg->ProgressText()).hasMatch())
        << dlg->ProgressText().toStdString() << " after " << bar.join('|').toStdString();
    EXPECT_TRUE(enabled(IDC_UPDATE));
}

// Closing waits for the run; a run that succeeds still says so before the
// window goes, one that fails says nothing.
TEST_F(UpdateRunWindow, ClosingWaitsForTheRunAndWithholdsOnlyFailures) {
    struct Case {
        bool fail;
        const char* box;
        QStringList shown;
    };
    const Case cases[] = {{false, "Update Successfully!", {"Update Successfully!"}},
                          {true, "", {}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.box);
        if (!dlg)
            open();
        prompter.records.clear();
        sim.clearFaults();
        sim.clearCommands();
        dlg->OnDropFiles({QString::fromStdString(writePackage("map.dqv"))});
        if (c.fail) {
            UnitFaultRule rule;
            rule.kind = UnitFault::Status;
            rule.code = CMD_WRITE;
            rule.nth = 3; // late enough to be closing by then
            rule.status = 3;
            sim.addFault(rule);
        }
        // Slow the unit down so the window closes in the middle of the writes.
        sim.setReportDelayUs(300);
        dlg->OnClickUpdate();
        ASSERT_TRUE(wait_for([&] { return sim.count(CMD_WRITE) > 0; }, 5000));
        EXPECT_TRUE(dlg->IsUpdating());
        dlg->OnClickClose();
        // The run was not cut short: it ended by itself.
        EXPECT_FALSE(dlg->IsUpdating());
        EXPECT_TRUE(dlg->IsClosing());
        QStringList shown = prompter.messages();
        if (!c.fail) {
            // The run reset the settings: the offer to bring them back still
            // comes before the window goes (answered Later here).
            ASSERT_EQ(shown.size(), 2) << shown.join('|').toStdString();
            EXPECT_TRUE(shown.takeLast().startsWith("The unit starts its new program"));
            EXPECT_EQ(prompter.records.back().icon, PromptIcon::Question);
            EXPECT_EQ(sim.count(CMD_FINISH), 1);
            EXPECT_EQ(prompter.records[prompter.records.size() - 2].icon,
                      PromptIcon::Information);
        }
        EXPECT_EQ(shown, c.shown) << shown.join('|').toStdString();
        EXPECT_EQ(dlg->LastRunBoxText(), c.box);
        EXPECT_EQ(dlg->Machine(), nullptr);
        dlg.reset();
    }
}

// The run reads the unit's information again at its end; the title shows
// the GPS date the unit reports then, before the success box.
TEST_F(UpdateRunWindow, TitleShowsTheDateReadAtTheEndOfTheRun) {
    EXPECT_EQ(title(), "Update Tool   GPS Connected   V:20190318");
    dlg->OnDropFiles({QString::fromStdString(writePackage("map.dqv"))});
    dlg->OnClickUpdate();
    ASSERT_TRUE(dlg->WaitForRunEnd(30000));
    ASSERT_EQ(dlg->LastRunBoxText(), "Update Successfully!");
    // What a fresh read of the unit says now.
    QV_Machine* m = QV_Machine_create(nullptr, nullptr, nullptr, nullptr);
    ASSERT_EQ(QV_Machine_attach(m, QV_Hid_openTransport(sim.transport())), 1);
    QV_Machine_getDeveiceInfo(m);
    std::string now = trevik_title(true, m->gps_date.year, m->gps_date.month, m->gps_date.day);
    QV_Machine_release(m);
    EXPECT_NE(now, "Update Tool   GPS Connected   V:20190318");
    EXPECT_EQ(title(), now);
    // It did so already as the success box came.
    ASSERT_NE(box("Update Successfully!"), nullptr);
    EXPECT_EQ(box("Update Successfully!")->ownerTitle.toStdString(), now);
}

// After a failure the bar says where the run stopped, but never at a figure
// that reads complete, and a bar without a text shows no percentage.
TEST_F(UpdateRunWindow, FailedRunLeavesNoMisleadingFigure) {
    auto shown = [&] {
        CTextProgressCtrl* bar = dlg->Progress();
        QString t = bar->GetWindowText();
        return t.isEmpty() ? CTextProgressCtrl::PercentText(bar->GetRangeMin(), bar->GetRangeMax(),
                                                            bar->GetPos())
                           : t;
    };
    // Nothing has used the bar yet.
    EXPECT_EQ(shown(), "");

    // A run that fails in the middle of its writes: its last figure stays.
    sim.setReportDelayUs(100);
    UnitFaultRule rule;
    rule.kind = UnitFault::Status;
    rule.code = CMD_WRITE;
    rule.nth = 3; // after the voice and radar-mute areas
    rule.status = 3;
    sim.addFault(rule);
    dlg->OnDropFiles({QString::fromStdString(writePackage("map.dqv"))});
    dlg->OnClickUpdate();
    ASSERT_TRUE(dlg->WaitForRunEnd(30000));
    ASSERT_TRUE(prompter.messages().last().startsWith("Update Failed!"));
    EXPECT_TRUE(shown().startsWith("Stopped at ")) << shown().toStdString();
    EXPECT_FALSE(shown().contains("100")) << shown().toStdString();

    // A whole run, then one whose package cannot be opened: the complete
    // figure of the first is no figure of the second.
    sim.clearFaults();
    dlg->OnClickUpdate();
    ASSERT_TRUE(dlg->WaitForRunEnd(30000));
    ASSERT_EQ(dlg->LastRunBoxText(), "Update Successfully!");
    EXPECT_TRUE(shown().startsWith("Updated 100.00%   Time ")) << shown().toStdString();
    std::ofstream(file("bad.dqv"), std::ios::binary) << "not a package";
    dlg->OnDropFiles({qfile("bad.dqv")});
    dlg->OnClickUpdate();
    ASSERT_TRUE(dlg->WaitForRunEnd(30000));
    ASSERT_EQ(dlg->LastRunBoxText(), "Open update file failed!");
    EXPECT_EQ(shown(), "");
}

TEST_F(UpdateRunWindow, RemovalDuringRunIsHandledWhenItEnds) {
    dlg->OnDropFiles({QString::fromStdString(writePackage("map.dqv"))});
    sim.setReportDelayUs(300);
    dlg->OnClickUpdate();
    ASSERT_TRUE(wait_for([&] { return sim.count(CMD_WRITE) > 0; }, 5000));
    // Read-outs would share the channel with the run: they are refused.
    dlg->SendMessage(WM_SYSCOMMAND_MSG, ID_SAVE_DEVICE_INFO, 0);
    EXPECT_TRUE(prompter.records.empty());
    // The handle is in use by the run: it is not closed under it.
    dlg->OnDeviceChange(DBT_DEVICEREMOVECOMPLETE, DEVICE_CLASS_HID, UNIT_NAME);
    EXPECT_TRUE(dlg->IsConnected());
    ASSERT_TRUE(dlg->WaitForRunEnd(30000));
    EXPECT_EQ(dlg->LastRunBoxText(), "Update Successfully!");
    EXPECT_FALSE(dlg->IsConnected());
    EXPECT_EQ(title(), "Update Tool   No hardware connected!");
    EXPECT_FALSE(enabled(IDC_UPDATE));
    EXPECT_FALSE(enabled(IDC_SETTING));
}

TEST_F(UpdateRunWindow, ProvinceQuestionNoWritesNationalPackage) {
    PkgDescription d = standard_package();
    d.province_table = true;
    d.provinces.push_back(PkgProvince(std::string(PROVINCE_NAMES[0]), pkg_province_records(3, 1)));
    dlg->OnDropFiles({QString::fromStdString(writePackage("prov.dqv", d))});
    prompter.answers.push_back(PROMPT_IDNO);
    dlg->OnClickUpdate();
    ASSERT_TRUE(dlg->WaitForRunEnd(30000));
    ASSERT_GE(prompter.records.size(), 1u);
    EXPECT_TRUE(prompter.records[0].text.startsWith(QString::fromUtf8("进入省份选择界面")));
    EXPECT_EQ(prompter.records[0].caption, "Update Tool");
    // Its buttons carry the names it tells the user to choose.
    EXPECT_EQ(prompter.records[0].labels,
              QStringList({QString::fromUtf8("是"), QString::fromUtf8("否")}));
    // Both answers write: the box cannot be dismissed, so Escape never
    // counts as 否.
    EXPECT_EQ(prompter.records[0].buttons, PromptButtons::YesNoChoice);
    EXPECT_EQ(dlg->ProvinceMode(), 0);
    EXPECT_EQ(dlg->LastRunBoxText(), "Update Successfully!");
}

// A package that holds only 北京: the map is told which provinces it
// holds, and a choice of a province it lacks is refused, never written as
// an empty GPS area and reported as done.
TEST_F(UpdateRunWindow, ProvincesThePackageLacksAreNeverWritten) {
    PkgDescription d = standard_package();
    d.province_table = true;
    d.provinces.push_back(PkgProvince(std::string(PROVINCE_NAMES[0]), pkg_province_records(3, 1)));
    dlg->OnDropFiles({QString::fromStdString(writePackage("prov.dqv", d))});
    prompter.answers.push_back(PROMPT_IDYES);
    ScriptedPrompter::ProvinceAnswer xinjiang{1, 1, std::vector<int>(PROVINCE_COUNT, 0)};
    xinjiang.flags[12] = 1;
    prompter.provinces.push_back(xinjiang);
    dlg->OnClickUpdate();
    ASSERT_TRUE(dlg->WaitForRunEnd(30000));
    ASSERT_GE(prompter.records.size(), 2u);
    EXPECT_EQ(prompter.records[1].kind, "province");
    std::vector<int> held(PROVINCE_COUNT, 0);
    held[0] = 1;
    EXPECT_EQ(prompter.records[1].held, held);
    EXPECT_EQ(dlg->LastRunBoxText(), QString::fromStdU16String(UPDATE_TEXT_PROVINCE_NOT_HELD));
    EXPECT_EQ(prompter.records.back().icon, PromptIcon::Error);
    EXPECT_EQ(sim.count(CMD_WRITE), 0);
}

// When the unit goes away, or a run disables the buttons, the focus moves
// to Open or the window, never on to Close: the next Enter must not close
// the window.
TEST_F(UpdateRunWindow, FocusNeverFallsOnClose) {
    dlg->show();
    dlg->OnDropFiles({QString::fromStdString(writePackage("map.dqv"))});
    dlg->Button(IDC_UPDATE)->setFocus();
    ASSERT_EQ(dlg->focusWidget(), dlg->Button(IDC_UPDATE));
    sim.setReportDelayUs(300);
    dlg->OnClickUpdate();
    ASSERT_TRUE(wait_for([&] { return !enabled(IDC_UPDATE); }));
    EXPECT_NE(dlg->focusWidget(), dlg->Button(IDC_CLOSE));
    ASSERT_TRUE(dlg->WaitForRunEnd(30000));
    EXPECT_NE(dlg->focusWidget(), dlg->Button(IDC_CLOSE));

    dlg->Button(IDC_SETTING)->setFocus();
    // Open is held while a version check runs: the focus has no button left.
    dlg->Button(IDC_OPEN)->setEnabled(false);
    dlg->OnDeviceChange(DBT_DEVICEREMOVECOMPLETE, DEVICE_CLASS_HID, UNIT_NAME);
    ASSERT_FALSE(enabled(IDC_SETTING));
    EXPECT_NE(dlg->focusWidget(), dlg->Button(IDC_CLOSE));
    dlg->Button(IDC_OPEN)->setEnabled(true);
}

TEST_F(UpdateRunWindow, ProvinceDialogCancelledAbandonsQuietly) {
    PkgDescription d = standard_package();
    d.province_table = true;
    d.provinces.push_back(PkgProvince(std::string(PROVINCE_NAMES[0]), pkg_province_records(3, 1)));
    dlg->OnDropFiles({QString::fromStdString(writePackage("prov.dqv", d))});
    prompter.answers.push_back(PROMPT_IDYES);
    // No province answer queued: the dialog ends without OK.
    dlg->OnClickUpdate();
    ASSERT_TRUE(dlg->WaitForRunEnd(30000));
    EXPECT_EQ(prompter.messages().size(), 1); // the question only
    EXPECT_EQ(prompter.records.back().kind, "province");
    EXPECT_EQ(sim.count(CMD_WRITE), 0);
    EXPECT_TRUE(enabled(IDC_UPDATE));
}

} // namespace
