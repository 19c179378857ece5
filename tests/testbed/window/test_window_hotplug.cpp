// The window on a unit behind a hidraw node, run inside trevik-unit-testbed
// (see CMakeLists.txt): no unit at first, the unit plugged in after a while,
// then pulled out again. The window learns both through udev's monitor and
// reaches the unit through hidapi, as on USB.
#include "app/TrevikDlg.h"
#include "app/prompter.h"
#include "common_t73/QV_Hid.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

template <class Pred> bool wait_for(Pred pred, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!pred() && t.elapsed() < timeoutMs) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return pred();
}

TEST(HidrawWindow, AttachesOnArrivalAndDropsOnRemoval) {
    ASSERT_NE(std::getenv("UMOCKDEV_DIR"), nullptr) << "run inside trevik-unit-testbed";
    ScriptedPrompter prompter;
    CTrevikDlg dlg(&prompter);
    dlg.SetWatchDevices(true);
    dlg.SetStorageProbe([] { return 0; });
    dlg.SetDelayedOpenMs(100);
    ASSERT_TRUE(dlg.OnInitDialog());
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

} // namespace
