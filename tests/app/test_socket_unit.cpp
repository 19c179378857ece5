// The window attached to a unit emulator on a socket: the socket appearing
// and going away are the unit's arrival and removal.
#include "window_fixture.h"

#include "app/device_notifier.h"

#include <QSignalSpy>

using namespace app_test;

namespace {

class SocketUnit : public WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        socket = file("unit.sock");
        QV_Hid_selectSource("socket:" + socket);
    }
    void serve() {
        server = std::make_unique<UnitSimServer>(sim, socket);
        ASSERT_TRUE(server->listen());
        ASSERT_TRUE(server->start());
    }
    void TearDown() override {
        dlg.reset();
        server.reset();
        WindowTest::TearDown();
    }
    std::string socket;
    std::unique_ptr<UnitSimServer> server;
};

TEST_F(SocketUnit, NotifierReportsTheSocketComingAndGoing) {
    DeviceNotifier notifier;
    notifier.watchSocket(QString::fromStdString(socket));
    QSignalSpy spy(&notifier, &DeviceNotifier::deviceChange);
    serve();
    ASSERT_TRUE(wait_for([&] { return spy.count() >= 1; }, 3000));
    EXPECT_EQ(spy.at(0).at(0).toUInt(), DBT_DEVICEARRIVAL);
    EXPECT_EQ(spy.at(0).at(1).toInt(), DEVICE_CLASS_HID);
    std::u16string name = spy.at(0).at(2).toString().toStdU16String();
    EXPECT_TRUE(QV_Hid_isUnitPath(name.c_str()));
    server.reset();
    ASSERT_TRUE(wait_for([&] { return spy.count() >= 2; }, 3000));
    EXPECT_EQ(spy.at(1).at(0).toUInt(), DBT_DEVICEREMOVECOMPLETE);
}

TEST_F(SocketUnit, WindowFollowsTheEmulator) {
    serve();
    dlg = std::make_unique<CTrevikDlg>(&prompter);
    dlg->SetStorageProbe([] { return 0; });
    ASSERT_TRUE(dlg->OnInitDialog()); // with the system's notices and the socket watch
    EXPECT_TRUE(dlg->IsConnected());
    EXPECT_EQ(title(), "Update Tool   GPS Connected   V:20190318");

    server.reset();
    ASSERT_TRUE(wait_for([&] { return !dlg->IsConnected(); }, 3000));
    EXPECT_EQ(title(), "Update Tool   No hardware connected!");
    EXPECT_FALSE(enabled(IDC_SETTING));

    serve();
    ASSERT_TRUE(wait_for([&] { return dlg->IsConnected(); }, 3000));
    EXPECT_EQ(title(), "Update Tool   GPS Connected   V:20190318");
    EXPECT_TRUE(enabled(IDC_SETTING));
}

} // namespace
