// One program per unit, seen from the window: a command-line tool is turned
// away while the window has the unit, and the window says who has it when
// another program does.
#include "window_fixture.h"

#include "app/device_notifier.h"
#include "common_t73/QV_UnitLock.h"

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

using namespace app_test;

namespace {

class UnitInUse : public WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        socket = file("unit.sock");
        QV_Hid_selectSource("socket:" + socket);
        server = std::make_unique<UnitSimServer>(sim, socket);
        ASSERT_TRUE(server->listen());
        ASSERT_TRUE(server->start());
    }
    void TearDown() override {
        dlg.reset();
        server.reset();
        WindowTest::TearDown();
    }
    void openWindow() {
        dlg = std::make_unique<CTrevikDlg>(&prompter);
        dlg->SetStorageProbe([] { return 0; });
        dlg->SetWatchDevices(false);
        ASSERT_TRUE(dlg->OnInitDialog());
    }
    // trevik-cli info on the window's unit: exit code and standard error.
    std::pair<int, std::string> cliInfo() {
        std::string err = file("cli.err");
        std::string cmd = std::string("'") + TREVIK_CLI + "' info --unit 'socket:" + socket +
                          "' </dev/null >/dev/null 2>'" + err + "'";
        int status = std::system(cmd.c_str());
        std::ifstream in(err);
        std::stringstream text;
        text << in.rdbuf();
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text.str()};
    }
    std::string inUse(pid_t pid) const {
        return "The unit is in use by another program (process " + std::to_string(pid) + ")";
    }

    std::string socket;
    std::unique_ptr<UnitSimServer> server;
};

TEST_F(UnitInUse, CliIsTurnedAwayWhileTheWindowHasTheUnit) {
    openWindow();
    ASSERT_TRUE(dlg->IsConnected());
    auto [code, err] = cliInfo();
    EXPECT_EQ(code, 9);
    EXPECT_EQ(err, inUse(::getpid()) + "\n");
    // The window's unit was not disturbed.
    EXPECT_TRUE(dlg->IsConnected());
    EXPECT_EQ(title(), "Update Tool   GPS Connected   V:20190318");

    // Closed, the window lets go of the unit.
    dlg.reset();
    auto [after, afterErr] = cliInfo();
    EXPECT_EQ(after, 0) << afterErr;
}

TEST_F(UnitInUse, WindowSaysWhoHasTheUnit) {
    int fd = -1, holder = 0;
    ASSERT_EQ(QV_UnitLock_acquire(socket + ".lock", true, &fd, &holder), QV_UNIT_LOCK_HELD);
    openWindow();
    EXPECT_FALSE(dlg->IsConnected());
    EXPECT_EQ(title(), "Update Tool   No hardware connected!");
    EXPECT_EQ(dlg->StatusText().toStdString(), inUse(::getpid()));

    // Still held a while later: still not the window's.
    wait_for([] { return false; }, 2 * CTrevikDlg::BUSY_RETRY_MS + 200);
    EXPECT_FALSE(dlg->IsConnected());
    EXPECT_EQ(dlg->StatusText().toStdString(), inUse(::getpid()));

    // Once the other program is done, the window takes the unit by itself:
    // a lock ends without a device notice.
    ::close(fd);
    EXPECT_TRUE(wait_for([&] { return dlg->IsConnected(); }, 4 * CTrevikDlg::BUSY_RETRY_MS));
    EXPECT_EQ(title(), "Update Tool   GPS Connected   V:20190318");
}

} // namespace
