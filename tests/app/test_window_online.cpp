// The window's online check and package download against a version server
// on 127.0.0.1, with the in-process emulated unit.
#include "window_fixture.h"

#include "app/device_notifier.h"
#include "tests/helpers/test_server.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

using namespace app_test;

namespace {

const char* const UNIT_NAME = "emulated:vid_0416&pid_b500";

// The maker's server for the tool's own customer: its version file comes
// slowly (half of it, a pause, the rest), the package it names at once.
class VersionServer {
  public:
    VersionServer(const std::string& package, int pauseMs) : package_(package), pauseMs_(pauseMs) {
        server_.Get("/UserFiles/File/velmora.txt",
                    [this](const httplib::Request&, httplib::Response& res) {
                        ++checks_;
                        std::string file = versionFile();
                        res.set_chunked_content_provider(
                            "text/plain", [this, file](size_t offset, httplib::DataSink& sink) {
                                size_t half = file.size() / 2;
                                if (offset == 0) {
                                    sink.write(file.data(), half);
                                } else {
                                    pause();
                                    sink.write(file.data() + half, file.size() - half);
                                    sink.done();
                                }
                                return true;
                            });
                    });
        server_.Get("/pkg/map.dqv", [this](const httplib::Request&, httplib::Response& res) {
            ++packages_;
            res.set_content(package_, "application/octet-stream");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        for (int i = 0; i < 500 && !server_.is_running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ~VersionServer() {
        stopping_ = true;
        server_.stop();
        thread_.join();
    }
    std::string hostPort() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string versionFile() const {
        return "99991231\r\nhttp://" + hostPort() + "/pkg/map.dqv\r\n";
    }
    int checks() const { return checks_.load(); }
    int packages() const { return packages_.load(); }

  private:
    void pause() {
        for (int i = 0; i < pauseMs_ / 5 && !stopping_; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    httplib::Server server_;
    std::thread thread_;
    std::string package_;
    int pauseMs_;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> checks_{0};
    std::atomic<int> packages_{0};
};

class WindowOnline : public WindowTest {
  protected:
    void startServer(int pauseMs) {
        std::string pkg = writePackage("served.dqv");
        std::ifstream in(pkg, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        server = std::make_unique<VersionServer>(bytes, pauseMs);
        versionHost = server->hostPort();
    }
    void TearDown() override {
        dlg.reset();
        server.reset();
        WindowTest::TearDown();
    }
    // Lets the window's loop run for ms.
    static void idle(int ms) {
        wait_for([] { return false; }, ms);
    }
    std::unique_ptr<VersionServer> server;
};

// Plugging the unit in again starts a new check while Update is already
// enabled from the last one. Update pressed at any moment of that check
// stops it and waits for its end; the stopped check's end message then
// changes nothing, and the run downloads the whole package and writes it.
TEST_F(WindowOnline, UpdateWhileTheCheckDownloadsStopsTheCheckFirst) {
    startServer(120);
    open();
    ASSERT_TRUE(wait_for([&] { return dlg->StatusText() == "Internet vesion:99991231"; }))
        << dlg->StatusText().toStdString();
    ASSERT_TRUE(enabled(IDC_UPDATE));
    QStringList texts;
    QObject::connect(dlg->Progress(), &CTextProgressCtrl::textChanged,
                     [&](const QString& t) { texts << t; });

    const int tries = 30;
    for (int i = 0; i < tries; ++i) {
        SCOPED_TRACE(i);
        texts.clear();
        prompter.records.clear();
        dlg->OnDeviceChange(DBT_DEVICEARRIVAL, DEVICE_CLASS_HID, UNIT_NAME);
        ASSERT_EQ(dlg->StatusText(), "Searching the database version now,please wait\u2026");
        ASSERT_TRUE(enabled(IDC_UPDATE));
        // From before the request to the middle of the version file.
        idle((i % 8) * 20);
        dlg->OnClickUpdate();
        ASSERT_TRUE(dlg->WaitForRunEnd(30000));
        idle(30); // an end message still queued is handled now
        ASSERT_EQ(prompter.messages().first(), "Update Successfully!")
            << texts.join('|').toStdString();
        EXPECT_TRUE(texts.contains("Updated percent100.00% Speed0.00Kb/s  Remaining time0Second"))
            << texts.join('|').toStdString();
        // The run reset the unit's settings: a question of its own says so
        // and offers the way back. The window is idle.
        ASSERT_EQ(prompter.messages().size(), 2);
        EXPECT_TRUE(prompter.messages()[1].startsWith(
            "The unit starts its new program with its default settings"))
            << prompter.messages()[1].toStdString();
        EXPECT_FALSE(dlg->VersionState().version_check);
        EXPECT_EQ(dlg->VersionState().stale_ends, 0);
        EXPECT_TRUE(enabled(IDC_OPEN));
        EXPECT_TRUE(enabled(IDC_UPDATE));
    }
    EXPECT_EQ(server->packages(), tries);
    EXPECT_LE(server->checks(), tries + 1);
    // The stopped checks leave no version file behind.
    EXPECT_FALSE(
        std::filesystem::exists(std::filesystem::path(std::u16string(version_file_target()))));
}

// The version file is no run of the user's: the bar shows no figure while
// the window is idle, and a check leaves what the last run showed.
TEST_F(WindowOnline, VersionCheckLeavesTheBarAlone) {
    startServer(0);
    open();
    ASSERT_TRUE(wait_for([&] { return dlg->StatusText() == "Internet vesion:99991231"; }));
    CTextProgressCtrl* bar = dlg->Progress();
    EXPECT_EQ(bar->GetWindowText(), "");
    EXPECT_EQ(CTextProgressCtrl::PercentText(bar->GetRangeMin(), bar->GetRangeMax(), bar->GetPos()),
              "");

    dlg->OnClickUpdate();
    ASSERT_TRUE(dlg->WaitForRunEnd(30000));
    ASSERT_EQ(dlg->LastRunBoxText(), "Update Successfully!");
    QString last = bar->GetWindowText();
    EXPECT_TRUE(last.startsWith("Updated 100.00%   Time ")) << last.toStdString();
    int checks = server->checks();
    dlg->OnDeviceChange(DBT_DEVICEARRIVAL, DEVICE_CLASS_HID, UNIT_NAME);
    ASSERT_TRUE(wait_for([&] { return dlg->StatusText() == "Internet vesion:99991231"; }));
    EXPECT_EQ(server->checks(), checks + 1);
    EXPECT_EQ(bar->GetWindowText(), last);
    EXPECT_GT(bar->GetRangeMax(), bar->GetRangeMin());
    EXPECT_EQ(bar->GetPos(), bar->GetRangeMax());
}

// TREVIK_VERSION_SERVER points the window's check at another server.
TEST_F(WindowOnline, VersionServerFromTheEnvironment) {
    startServer(0);
    std::string old =
        std::getenv("TREVIK_VERSION_SERVER") ? std::getenv("TREVIK_VERSION_SERVER") : "";
    setenv("TREVIK_VERSION_SERVER", server->hostPort().c_str(), 1);
    dlg = std::make_unique<CTrevikDlg>(&prompter);
    if (old.empty())
        unsetenv("TREVIK_VERSION_SERVER");
    else
        setenv("TREVIK_VERSION_SERVER", old.c_str(), 1);
    dlg->SetWatchDevices(false);
    dlg->SetStorageProbe([] { return 0; });
    ASSERT_TRUE(dlg->OnInitDialog());
    EXPECT_TRUE(wait_for([&] { return dlg->StatusText() == "Internet vesion:99991231"; }))
        << dlg->StatusText().toStdString();
    EXPECT_EQ(server->checks(), 1);
}

// A package chosen while the check runs stops the check; whatever its end
// message says comes too late to change anything.
TEST_F(WindowOnline, OpenDuringTheCheckStopsIt) {
    startServer(400);
    for (int delayMs : {0, 30, 150}) {
        SCOPED_TRACE(delayMs);
        open();
        ASSERT_EQ(dlg->StatusText(), "Searching the database version now,please wait…");
        EXPECT_FALSE(enabled(IDC_OPEN));
        idle(delayMs);
        std::string pkg = writePackage("chosen.dqv");
        prompter.files.push_back(QString::fromStdString(pkg));
        dlg->OnClickOpen();
        EXPECT_EQ(dlg->StatusText().toStdString(), pkg);
        EXPECT_TRUE(enabled(IDC_OPEN));
        EXPECT_TRUE(enabled(IDC_UPDATE));
        idle(100);
        EXPECT_EQ(dlg->StatusText().toStdString(), pkg);
        EXPECT_EQ(dlg->VersionState().stale_ends, 0);
        EXPECT_EQ(dlg->VersionState().version_check, 0);
        EXPECT_EQ(dlg->VersionState().list_form, 0);
        EXPECT_TRUE(enabled(IDC_OPEN));
        dlg.reset();
    }
}

// The package download drops at half: the status text says a retry
// follows, then gets back what it said; the retry fetches only the other
// half and the unit is written.
TEST_F(WindowOnline, DroppedPackageDownloadResumes) {
    TestServer resume;
    ASSERT_TRUE(resume.ok());
    std::ifstream in(writePackage("served.dqv"), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    resume.put("map.dqv", bytes);
    TestServer::Resume how;
    how.drops = 1;
    how.drop_after = bytes.size() / 2;
    resume.set_resume("map.dqv", how);
    resume.serve("/UserFiles/File/velmora.txt",
                 "99991231\r\n" + resume.url("/resume/map.dqv") + "\r\n");
    versionHost = resume.host_port();
    open();
    ASSERT_TRUE(wait_for([&] { return dlg->StatusText() == "Internet vesion:99991231"; }))
        << dlg->StatusText().toStdString();

    QStringList statuses{dlg->StatusText()};
    dlg->OnClickUpdate();
    ASSERT_TRUE(wait_for(
        [&] {
            if (statuses.last() != dlg->StatusText())
                statuses << dlg->StatusText();
            return !dlg->IsUpdating();
        },
        30000));
    // The success box, then the offer to restore the settings it reset.
    ASSERT_EQ(prompter.messages().first(), "Update Successfully!")
        << statuses.join('|').toStdString();
    ASSERT_EQ(dlg->LastRunBoxText(), "Update Successfully!");
    ASSERT_GE(statuses.size(), 3);
    EXPECT_EQ(statuses.mid(0, 3),
              (QStringList{"Internet vesion:99991231",
                           "Download interrupted, resuming (attempt 1 of 3)\u2026",
                           "Internet vesion:99991231"}));
    std::vector<TestServer::Seen> log = resume.log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[2].range, "bytes=" + std::to_string(bytes.size() / 2) + "-");
    EXPECT_EQ(log[2].status, 206);
}

} // namespace

namespace {

// A package the server does not have: the window's failure box names the
// server's answer under the failure's own text, as the terminal does.
TEST_F(WindowOnline, FailedPackageDownloadNamesTheServersAnswer) {
    TestServer site;
    ASSERT_TRUE(site.ok());
    site.serve("/UserFiles/File/velmora.txt",
               "99991231\r\n" + site.url("/missing/map.dqv") + "\r\n");
    versionHost = site.host_port();
    open();
    ASSERT_TRUE(wait_for([&] { return dlg->StatusText() == "Internet vesion:99991231"; }))
        << dlg->StatusText().toStdString();
    dlg->OnClickUpdate();
    ASSERT_TRUE(wait_for([&] { return !dlg->IsUpdating(); }, 30000));
    ASSERT_FALSE(prompter.messages().isEmpty());
    QString box = prompter.messages().first();
    EXPECT_TRUE(box.startsWith("Error! Please update by local file!\n")) << box.toStdString();
    EXPECT_TRUE(box.contains("HTTP status 404")) << box.toStdString();
}

} // namespace
