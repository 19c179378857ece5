// The window on a unit behind a hidraw node, run inside trevik-unit-testbed
// (see CMakeLists.txt): the unit plugged in and pulled out again, also in
// the middle of an update. The window learns of both through udev's monitor
// and reaches the unit through hidapi, as on USB.
#include "app/TrevikDlg.h"
#include "app/prompter.h"
#include "common_t73/QV_Hid.h"
#include "update/update_history.h"
#include "tests/app/window_fixture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/types.h>

namespace {

using app_test::wait_for;

// The window as the program opens it, learning of units from udev's monitor.
bool open_watching_udev(CTrevikDlg& dlg) {
    dlg.SetWatchDevices(true);
    dlg.SetStorageProbe([] { return 0; });
    dlg.SetDelayedOpenMs(100);
    return dlg.OnInitDialog();
}

TEST(HidrawWindow, AttachesOnArrivalAndDropsOnRemoval) {
    ASSERT_NE(std::getenv("UMOCKDEV_DIR"), nullptr) << "run inside trevik-unit-testbed";
    ScriptedPrompter prompter;
    CTrevikDlg dlg(&prompter);
    ASSERT_TRUE(open_watching_udev(dlg));
    auto title = [&dlg] { return dlg.windowTitle().toStdString(); };
    EXPECT_EQ(title(), "Update Tool   No hardware connected!");
    // The testbed plugs the unit in 5 s after the start: its GPS data of
    // 2025-01-01.
    EXPECT_TRUE(
        wait_for([&] { return title() == "Update Tool   GPS Connected   V:20250101"; }, 15000))
        << title();
    // ... and pulls it out 12 s after the start.
    EXPECT_TRUE(wait_for([&] { return title() == "Update Tool   No hardware connected!"; }, 15000))
        << title();
}

// The unit pulled out while the window writes it (the testbed pulls it when
// this test signals it, once the bar shows the run under way) and plugged in
// again a second later: the run fails and says why, its history line says
// "failed", the window finds the unit again by itself, and the same update
// then brings the unit back.
TEST(HidrawWindow, PulledDuringAnUpdateAndRecovered) {
    const char* testbed = std::getenv("TREVIK_TESTBED_PULL_PID");
    ASSERT_NE(testbed, nullptr) << "run inside trevik-unit-testbed --pull-on-signal";
    char tmpl[] = "/tmp/trevik-pulled-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string package = std::string(tmpl) + "/map.dqv";
    PkgStandardParts parts;
    // Some seconds of writing at the testbed's pace, so the pull lands inside.
    parts.gps = pkg_pattern(400000, 15);
    ASSERT_EQ(pkgbuild_write(pkg_standard_description(parts), package), 1);

    ScriptedPrompter prompter;
    CTrevikDlg dlg(&prompter);
    ASSERT_TRUE(open_watching_udev(dlg));
    auto connected = [&dlg] { return dlg.windowTitle().contains("GPS Connected"); };
    ASSERT_TRUE(wait_for(connected, 15000)) << dlg.windowTitle().toStdString();
    dlg.OnDropFiles({QString::fromStdString(package)});
    bool signalled = false;
    QObject::connect(dlg.Progress(), &CTextProgressCtrl::textChanged, [&](const QString& t) {
        if (!signalled && t.startsWith("Updated ") && !t.startsWith("Updated 0.00%")) {
            signalled = true;
            ::kill(static_cast<pid_t>(std::atol(testbed)), SIGUSR1);
        }
    });
    dlg.OnClickUpdate();
    ASSERT_TRUE(dlg.WaitForRunEnd(60000));
    ASSERT_TRUE(signalled);
    EXPECT_TRUE(dlg.LastRunBoxText().startsWith("Update Failed!"))
        << dlg.LastRunBoxText().toStdString();
    // Under the system's text, the cause and the next step.
    QStringList lines = prompter.messages().last().split('\n');
    ASSERT_EQ(lines.size(), 2) << prompter.messages().last().toStdString();
    EXPECT_FALSE(lines[1].isEmpty());
    std::vector<nlohmann::json> history = update_history_read(trevik_state_directory());
    ASSERT_FALSE(history.empty());
    EXPECT_EQ(history.back().value("result", ""), "failed") << history.back().dump();

    // Back in a second: found again without anything done, and updated.
    ASSERT_TRUE(wait_for(connected, 20000)) << dlg.windowTitle().toStdString();
    ASSERT_TRUE(wait_for([&] { return dlg.Button(IDC_UPDATE)->isEnabled(); }, 10000));
    dlg.OnClickUpdate();
    ASSERT_TRUE(dlg.WaitForRunEnd(60000));
    EXPECT_EQ(dlg.LastRunBoxText(), "Update Successfully!");
    history = update_history_read(trevik_state_directory());
    EXPECT_EQ(history.back().value("result", ""), "succeeded") << history.back().dump();
    std::error_code ec;
    std::filesystem::remove_all(tmpl, ec);
}

} // namespace
