// The window's service commands (10000, 10001), the about box, the Setting
// button and the online version check against a server on 127.0.0.1.
#include "window_fixture.h"

#include <httplib.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

using namespace app_test;

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

using Service = WindowTest;

TEST_F(Service, CommandsWithoutUnitSayNoHardware) {
    unplug();
    open();
    for (uint32_t id : {ID_SAVE_DEVICE_INFO, ID_READ_SERVER_DATA}) {
        prompter.records.clear();
        dlg->SendMessage(WM_SYSCOMMAND_MSG, id, 0);
        ASSERT_EQ(prompter.records.size(), 1u) << id;
        EXPECT_EQ(prompter.records[0].text, "   No hardware connected!");
        EXPECT_EQ(prompter.records[0].caption, "");
        EXPECT_EQ(prompter.records[0].icon, PromptIcon::Error);
    }
}

TEST_F(Service, DeviceInfoDumpWritesTwelveLines) {
    open();
    prompter.files.push_back(qfile("info.txt"));
    dlg->SendMessage(WM_SYSCOMMAND_MSG, ID_SAVE_DEVICE_INFO, 0);
    ASSERT_EQ(prompter.records.size(), 2u);
    EXPECT_EQ(prompter.records[0].kind, "save");
    EXPECT_EQ(prompter.records[0].filter, "txt File(*.txt)|*.txt|All File(*.*)|*.*||");
    EXPECT_EQ(prompter.records[0].defaultExt, "file");
    EXPECT_EQ(prompter.records[1].text, "Write Ok!");
    EXPECT_EQ(prompter.records[1].caption, "");
    EXPECT_EQ(prompter.records[1].icon, PromptIcon::Error);
    std::string text = read_file(file("info.txt"));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 12);
    EXPECT_NE(text.find("boot:1046\n"), std::string::npos) << text;

    // The same command arrives as WM_COMMAND too; a cancelled dialog is silent.
    prompter.records.clear();
    dlg->SendMessage(WM_COMMAND_MSG, ID_SAVE_DEVICE_INFO, 0);
    ASSERT_EQ(prompter.records.size(), 1u);
    EXPECT_EQ(prompter.records[0].kind, "save");
}

TEST_F(Service, DeviceInfoDumpToUnwritablePathFails) {
    open();
    prompter.files.push_back(qfile("missing-dir/info.txt"));
    dlg->SendMessage(WM_SYSCOMMAND_MSG, ID_SAVE_DEVICE_INFO, 0);
    EXPECT_EQ(prompter.messages(), QStringList{"Write Error!"});
    EXPECT_EQ(prompter.records.back().icon, PromptIcon::Error);
}

TEST_F(Service, ServerDataReadOutSavesTheRegion) {
    // Something recognisable in the server-data region.
    for (uint32_t i = 0; i < ms.serverSize; ++i)
        sim.flash()[ms.serverAddress + i] = static_cast<uint8_t>(i * 7 + 3);
    open();
    sim.clearCommands();
    prompter.files.push_back(qfile("server.bin"));
    dlg->SendMessage(WM_SYSCOMMAND_MSG, ID_READ_SERVER_DATA, 0);
    ASSERT_EQ(prompter.records.size(), 2u);
    EXPECT_EQ(prompter.records[0].filter, "bin File(*.bin)|*.bin|All File(*.*)|*.*||");
    EXPECT_EQ(prompter.records[1].text, "Write Ok!");
    EXPECT_EQ(prompter.records[1].caption, "Tips");
    EXPECT_EQ(prompter.records[1].icon, PromptIcon::None);
    std::string data = read_file(file("server.bin"));
    ASSERT_EQ(data.size(), ms.serverSize);
    EXPECT_EQ(Bytes(data.begin(), data.end()),
              Bytes(sim.flash().begin() + ms.serverAddress,
                    sim.flash().begin() + ms.serverAddress + ms.serverSize));
    EXPECT_TRUE(dlg->ProgressText().startsWith("Load Updated 100.00%   Time "))
        << dlg->ProgressText().toStdString();
    EXPECT_EQ(dlg->Progress()->GetPos(), 10000);
}

TEST_F(Service, ServerDataOfOddSizeReadsWholeBlocksOnly) {
    ms.serverSize = 300;
    sim.setMainSetting(false, ms);
    for (uint32_t i = 0; i < 300; ++i)
        sim.flash()[ms.serverAddress + i] = static_cast<uint8_t>(i + 1);
    open();
    prompter.files.push_back(qfile("server.bin"));
    dlg->SendMessage(WM_SYSCOMMAND_MSG, ID_READ_SERVER_DATA, 0);
    std::string data = read_file(file("server.bin"));
    ASSERT_EQ(data.size(), 300u);
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 256),
              Bytes(sim.flash().begin() + ms.serverAddress,
                    sim.flash().begin() + ms.serverAddress + 256));
    EXPECT_EQ(prompter.messages().last(), "Write Ok!");
}

TEST_F(Service, ServerDataReadOutFailures) {
    open();
    // The unit goes away in the middle of the read-out.
    sim.unplugAfterReports(20);
    prompter.files.push_back(qfile("server.bin"));
    dlg->SendMessage(WM_SYSCOMMAND_MSG, ID_READ_SERVER_DATA, 0);
    EXPECT_EQ(prompter.messages().last(), "Write Error!");
    EXPECT_EQ(prompter.records.back().icon, PromptIcon::Error);
    EXPECT_TRUE(dlg->ProgressText().startsWith(QString::fromUtf8("read fail！")))
        << dlg->ProgressText().toStdString();

    sim.replug();
    prompter.records.clear();
    prompter.files.push_back(qfile("missing-dir/server.bin"));
    dlg->SendMessage(WM_SYSCOMMAND_MSG, ID_READ_SERVER_DATA, 0);
    EXPECT_EQ(prompter.messages().last(), "Write Error!");
    EXPECT_TRUE(dlg->ProgressText().startsWith(QString::fromUtf8("open file fail！")))
        << dlg->ProgressText().toStdString();
}

TEST_F(Service, AboutBoxAndOtherCommands) {
    open();
    dlg->SendMessage(WM_SYSCOMMAND_MSG, 0x10, 0);
    dlg->SendMessage(WM_SYSCOMMAND_MSG, 0x13, 0); // low bits are masked
    dlg->SendMessage(WM_SYSCOMMAND_MSG, 0xF020, 0);
    ASSERT_EQ(prompter.records.size(), 2u);
    EXPECT_EQ(prompter.records[0].kind, "dialog");
    EXPECT_EQ(prompter.records[0].text, "CAboutDlg");
    EXPECT_EQ(prompter.records[1].text, "CAboutDlg");
}

TEST_F(Service, SettingRunsTheDialogAndWritesNothingOnCancel) {
    open();
    sim.clearCommands();
    dlg->OnClickSetting();
    ASSERT_FALSE(prompter.records.empty());
    EXPECT_EQ(prompter.records.back().kind, "dialog");
    EXPECT_EQ(prompter.records.back().text, "CConfigDialog");
    EXPECT_EQ(sim.count(0xF3), 0);

    prompter.records.clear();
    prompter.dialogResults.push_back(1); // confirmed without changes
    dlg->OnClickSetting();
    EXPECT_EQ(prompter.messages().last(), "Configuration success!");
    EXPECT_EQ(prompter.records.back().caption, "Update Tool");
    EXPECT_EQ(prompter.records.back().icon, PromptIcon::Information);
}

TEST_F(Service, SettingNeverWritesABlockTheUnitDidNotHave) {
    // The old layout: radar-mute data where the main-setting block would lie.
    std::fill_n(sim.flash().begin() + 0x16000, 512, 0xFF);
    std::fill_n(sim.flash().begin() + 0x1E000, 512, 0xFF);
    sim.setRadarMuteHeader(0x16000, 1699920000);
    open();
    std::vector<uint8_t> before = sim.flash();
    prompter.dialogResults.push_back(1);
    dlg->OnClickSetting();
    EXPECT_EQ(prompter.messages().last(), "Configuration success!");
    const uint32_t param = 0x11000;
    std::vector<uint8_t> after = sim.flash();
    std::fill_n(before.begin() + param, 256, 0);
    std::fill_n(after.begin() + param, 256, 0);
    EXPECT_TRUE(after == before); // only the parameter record was written
}

TEST_F(Service, SettingWithALostBlockReadWritesNothing) {
    sim.addFault({UnitFault::NoReply, 0xF2, 0}); // the block's first half
    open();
    sim.clearFaults();
    sim.clearCommands();
    std::vector<uint8_t> before = sim.flash();
    prompter.dialogResults.push_back(1);
    dlg->OnClickSetting();
    EXPECT_EQ(prompter.messages().last(), "Configuration failed!");
    EXPECT_EQ(prompter.records.back().caption, "Update Tool");
    EXPECT_EQ(prompter.records.back().icon, PromptIcon::Error);
    EXPECT_EQ(sim.count(0xF3), 0);
    EXPECT_TRUE(sim.flash() == before);
}

// A version server on 127.0.0.1; the version file can be held back.
class VersionServer {
  public:
    VersionServer() {
        server_.Get(R"(/.*)", [this](const httplib::Request& req, httplib::Response& res) {
            while (hold && !released)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (req.path != path) {
                res.status = 404;
                return;
            }
            res.set_content(body, "text/plain");
        });
        port = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        for (int i = 0; i < 500 && !server_.is_running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ~VersionServer() {
        released = true;
        server_.stop();
        thread_.join();
    }
    std::string host() const { return "127.0.0.1:" + std::to_string(port); }

    std::string path = "/UserFiles/File/velmora.txt";
    std::string body;
    std::atomic<bool> hold{false};
    std::atomic<bool> released{false};
    int port = 0;

  private:
    httplib::Server server_;
    std::thread thread_;
};

class OnlineCheck : public WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        // A unit of customer A: its version file lies on the maker's server.
        setup_unit(sim, std::string(VERSION_CUSTOMER_A_NAME) + " 7");
        versionHost = server.host();
    }
    VersionServer server;
};

TEST_F(OnlineCheck, VersionFileIsReadAndEnablesUpdate) {
    server.body = "20190318\r\nhttp://" + server.host() + "/map.dqv\r\n";
    open();
    EXPECT_EQ(dlg->StatusText(),
              QString::fromUtf16(u"Searching the database version now,please wait\u2026"));
    EXPECT_FALSE(enabled(IDC_OPEN));
    ASSERT_TRUE(wait_for([&] { return dlg->VersionState().version_check == 0; }, 10000));
    EXPECT_EQ(dlg->StatusText(), "Internet vesion:20190318");
    EXPECT_EQ(dlg->OnlineVersion(), 20190318);
    EXPECT_TRUE(enabled(IDC_OPEN));
    EXPECT_TRUE(enabled(IDC_UPDATE));
    // The version file shows no text on the bar.
    EXPECT_EQ(dlg->ProgressText(), "");
}

TEST_F(OnlineCheck, MissingVersionFileFailsTheCheck) {
    server.path = "/elsewhere.txt";
    open();
    ASSERT_TRUE(wait_for([&] { return dlg->VersionState().version_check == 0; }, 10000));
    EXPECT_EQ(dlg->StatusText(), "Access database failed,please updated by local file!");
    EXPECT_EQ(dlg->OnlineVersion(), -1);
    EXPECT_TRUE(enabled(IDC_OPEN));
}

TEST_F(OnlineCheck, OpenAbortsTheRunningCheck) {
    server.hold = true;
    server.body = "20190318\r\nhttp://" + server.host() + "/map.dqv\r\n";
    open();
    EXPECT_FALSE(enabled(IDC_OPEN));
    // Let the request reach the server, then choose a file.
    QThread::msleep(200);
    prompter.files.push_back(qfile("chosen.dqv"));
    dlg->OnClickOpen();
    EXPECT_EQ(dlg->PackagePath().toStdString(), file("chosen.dqv"));
    EXPECT_TRUE(wait_for([&] { return enabled(IDC_OPEN); }, 3000));
    server.released = true;
    QThread::msleep(100);
    QApplication::processEvents();
    EXPECT_NE(dlg->StatusText(), "Internet vesion:20190318");
    EXPECT_EQ(dlg->StatusText().toStdString(), file("chosen.dqv"));
}

} // namespace
