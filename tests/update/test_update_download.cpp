// The update run's download: a real HTTP server on 127.0.0.1, zip files made
// by the tests, the in-process emulated unit.
#include "tests/helpers/test_server.h"
#include "tests/update/update_fixture.h"

#include <chrono>
#include <mutex>
#include <thread>

#include "config/records.h"
#include "online/ResumableDownload.h"

using namespace update_test;

namespace {

constexpr const char* DOWNLOAD_FAILED = "Error! Please update by local file!";

// Plays the window's side of a package download: the end message is handled
// later, on another thread, as the window's queue would; a failed end sets
// the download failure text the run waits for.
class WindowHost : public RecordingHost, public DownloadOwner {
  public:
    WindowHost() {
        download = &component;
        owner = this;
    }
    ~WindowHost() override {
        for (std::thread& t : late_)
            t.join();
    }
    void post(uint32_t message, uintptr_t wParam, intptr_t) override {
        if (message == UWM_DOWNLOAD_SIZE)
            sizes.push_back(uint32_t(wParam));
        if (message != UWM_DOWNLOAD_FINISHED)
            return;
        finished.push_back(int(wParam));
        if (wParam == 0 || wParam == 6)
            return;
        late_.emplace_back([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            std::lock_guard<std::mutex> lock(m_);
            failure = utf8_to_wtext(DOWNLOAD_FAILED);
        });
    }
    std::u16string downloadFailureText() override {
        std::lock_guard<std::mutex> lock(m_);
        return failure;
    }
    void downloadNotice(const std::u16string& text) override {
        events.push_back("notice " + u8(text));
    }
    void clearDownloadFailureText() override {
        std::lock_guard<std::mutex> lock(m_);
        failure.clear();
    }

    CHttpDownload component;
    std::vector<int> finished;
    std::vector<uint32_t> sizes;

  private:
    std::mutex m_;
    std::vector<std::thread> late_;
};

class DownloadUpdate : public ::testing::Test {
  protected:
    void SetUp() override {
        setup_unit(sim);
        unit = std::make_unique<AttachedUnit>(sim);
        host.machine = unit->machine;
        package = pkgbuild_bytes(standard_package(p));
        ASSERT_FALSE(package.empty());
        sim.clearCommands();
    }

    // A zip made by the test holding the package among other entries.
    std::string zipWithPackage(const std::string& entry = "sub/PKG.DQV") {
        std::string path = tmp.path("made.zip");
        std::vector<PkgZipEntry> entries = {
            {"folder/", {}}, {"readme.txt", Bytes{'h', 'i'}}, {entry, package}};
        EXPECT_EQ(pkgbuild_zip(path, entries), 1);
        Bytes zip = pkg_read_file(path);
        std::filesystem::remove(path);
        return std::string(zip.begin(), zip.end());
    }

    UpdateOutcome runUrl(const std::string& url) {
        UpdateSource source;
        source.download_url = w(url);
        UpdateRun run(&host, unit->machine, source);
        // Pauses between download attempts are noted, not waited for.
        run.setDownloadPause([this](int ms) {
            pauses.push_back(ms);
            return true;
        });
        return run.run();
    }

    TempDir tmp;
    TestServer server;
    UnitSim sim;
    std::unique_ptr<AttachedUnit> unit;
    WindowHost host;
    Payloads p;
    Bytes package;
    std::vector<int> pauses;
};

TEST_F(DownloadUpdate, UpperCaseZipIsUnpackedWrittenAndCleanedUp) {
    server.serve("/files/MAP2019.ZIP", zipWithPackage());
    UpdateOutcome out = runUrl(server.url("/files/MAP2019.ZIP"));

    ASSERT_EQ(out.result, UPDATE_SUCCEEDED) << u8(out.box_text);
    EXPECT_EQ(host.events, (std::vector<std::string>{
                               "buttons off", "text updating", "text Decompressing database\u2026",
                               "text updating", "box info [Update Tool] Update Successfully!",
                               "buttons on", "ended"}));
    EXPECT_EQ(host.finished, std::vector<int>{0});
    EXPECT_EQ(host.range, package.size());
    EXPECT_EQ(host.last_pos, package.size());
    uint32_t voice = rec_u32(unit->machine->main_setting + MS_OFF_VOICE_ADDR);
    EXPECT_EQ(flash_at(sim, voice, p.voice.size()), p.voice);
    // Neither the archive nor tmp.dqv is left, nor the emptied run
    // directory.
    EXPECT_TRUE(tmp.files().empty());
    EXPECT_FALSE(std::filesystem::exists(tmp.own("MAP2019")));
}

TEST_F(DownloadUpdate, PackageFileIsLoadedAsDownloaded) {
    server.serve("/p/latest.dqv", package);
    UpdateOutcome out = runUrl(server.url("/p/latest.dqv"));
    ASSERT_EQ(out.result, UPDATE_SUCCEEDED) << u8(out.box_text);
    EXPECT_FALSE(host.saw("text Decompressing database\u2026"));
    EXPECT_TRUE(tmp.files().empty());
}

// A package download that brings no whole file is a failed download, even
// when its end message says 0: one stopped before its request (someone
// else stopped the shared component), and a server answering with nothing.
TEST_F(DownloadUpdate, StoppedOrEmptyDownloadIsNeverASuccess) {
    // Stops itself once set up, as another thread's Stop would.
    class StoppedBeforeTheRequest : public CHttpDownload {
      protected:
        int OnConnected() override {
            Abort();
            return 1;
        }
    };
    StoppedBeforeTheRequest stopped;
    server.serve("/p/latest.dqv", package);
    server.serve("/p/empty.dqv", "");
    struct Case {
        const char* what;
        CHttpDownload* component;
        const char* path;
    };
    const Case cases[] = {{"stopped", &stopped, "/p/latest.dqv"},
                          {"empty", &host.component, "/p/empty.dqv"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        host.events.clear();
        host.finished.clear();
        host.download = c.component;
        UpdateOutcome out = runUrl(server.url(c.path));
        EXPECT_EQ(host.finished, std::vector<int>{0});
        EXPECT_EQ(out.result, UPDATE_FAILED);
        EXPECT_EQ(host.boxes(),
                  std::vector<std::string>{std::string("box error [] ") + DOWNLOAD_FAILED});
        EXPECT_TRUE(sim.commands().empty());
        EXPECT_TRUE(tmp.files().empty());
    }
    EXPECT_EQ(server.requests(), 1); // the stopped one never asked
}

TEST_F(DownloadUpdate, QueryDoesNotBecomePartOfTheName) {
    server.serve("/dl/pkg.zip", zipWithPackage("pkg.dqv"));
    UpdateOutcome out = runUrl(server.url("/dl/pkg.zip?f=../../escape.dqv"));
    ASSERT_EQ(out.result, UPDATE_SUCCEEDED) << u8(out.box_text);
    // Nothing was made outside the tool's own directory, and the run
    // directory went once empty.
    EXPECT_TRUE(tmp.files().empty());
    EXPECT_TRUE(std::filesystem::is_empty(tmp.own()));
}

struct FailureCase {
    const char* what;
    const char* path;    // served path ("" = nothing served)
    const char* content; // "zip" = a zip with the package, "nozip" = a zip without
    const char* url_path;
    const char* box;
    bool decompressing;
};

class DownloadFailure : public DownloadUpdate, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(DownloadFailure, ShowsItsTextAndLeavesNoFiles) {
    const FailureCase& c = GetParam();
    if (*c.path) {
        std::string content = c.content;
        if (content == "zip") {
            content = zipWithPackage();
        } else if (content == "bomb") {
            // Zeros claiming to inflate to 5 GiB: refused on the claim.
            std::string path = tmp.path("bomb.zip");
            PkgZipEntry bomb{"map.dqv", Bytes(1 << 20, 0)};
            bomb.declared_size = 5ull << 30;
            ASSERT_EQ(pkgbuild_zip(path, {bomb}), 1);
            Bytes zip = pkg_read_file(path);
            std::filesystem::remove(path);
            content.assign(zip.begin(), zip.end());
        } else if (content == "nozip") {
            std::string path = tmp.path("other.zip");
            ASSERT_EQ(pkgbuild_zip(path, {{"notes.txt", Bytes{'x'}}}), 1);
            Bytes zip = pkg_read_file(path);
            std::filesystem::remove(path);
            content.assign(zip.begin(), zip.end());
        }
        server.serve(c.path, content);
    }
    UpdateOutcome out = runUrl(server.url(c.url_path));
    EXPECT_EQ(out.result, UPDATE_FAILED);
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(host.boxes(), std::vector<std::string>{std::string("box error [] ") + c.box});
    EXPECT_EQ(host.saw("text Decompressing database\u2026"), c.decompressing);
    EXPECT_TRUE(host.saw("buttons on"));
    EXPECT_TRUE(tmp.files().empty());
    EXPECT_TRUE(sim.commands().empty());
}

constexpr const char* WEB_PAGE_BOX = "Error! Please update by local file!\nthe server sent "
                                     "something that is not the package (a web page)";

INSTANTIATE_TEST_SUITE_P(
    Cases, DownloadFailure,
    ::testing::Values(FailureCase{"rar", "/a/map.rar", "Rar!\x1a\x07", "/a/map.rar",
                                  "Open update file failed!", true},
                      FailureCase{"7z", "/a/map.7z", "7z\xbc\xaf", "/a/map.7z",
                                  "Open update file failed!", true},
                      FailureCase{"zip without a package", "/a/map.zip", "nozip", "/a/map.zip",
                                  "Open update file failed!", true},
                      FailureCase{"not a zip", "/a/map.zip", "garbage", "/a/map.zip",
                                  "Open update file failed!", true},
                      FailureCase{"entry larger than any package", "/a/map.zip", "bomb",
                                  "/a/map.zip", "Open update file failed!", true},
                      FailureCase{"other extension", "/a/map.txt", "zip", "/a/map.txt",
                                  "Can not Find Update File!", false},
                      FailureCase{"not found", "", "", "/a/missing.zip", DOWNLOAD_FAILED, false},
                      // A server's page in place of the package is named, not unpacked.
                      FailureCase{"web page", "/a/map.zip", "<html>Moved</html>", "/a/map.zip",
                                  WEB_PAGE_BOX, false},
                      FailureCase{"not a package", "/a/map.dqv", "just text", "/a/map.dqv",
                                  "Open update file failed!", false}),
    [](const ::testing::TestParamInfo<FailureCase>& info) {
        std::string name = info.param.what;
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch)))
                ch = '_';
        return name;
    });

TEST_F(DownloadUpdate, UrlNamingNoFileRequestsNothing) {
    for (const char* path : {"/dir/", "/dir/..", "/."}) {
        host.events.clear();
        UpdateOutcome out = runUrl(server.url(path));
        EXPECT_EQ(out.box_text, u"Can not Find Update File!") << path;
    }
    EXPECT_EQ(server.requests(), 0);
    EXPECT_TRUE(tmp.files().empty());
}

TEST_F(DownloadUpdate, TargetThatCannotBeOpenedShowsTheComponentText) {
    // A file where the run directory should be: the target cannot be made.
    ASSERT_EQ(pkg_write_file(tmp.own_made("blocked"), Bytes{'x'}), 1);
    server.serve("/blocked.dqv", package);
    UpdateOutcome out = runUrl(server.url("/blocked.dqv"));
    EXPECT_EQ(out.result, UPDATE_FAILED);
    EXPECT_EQ(u8(out.box_text).rfind("An error occured while opening the file to be downloaded", 0),
              0u)
        << u8(out.box_text);
    EXPECT_EQ(server.requests(), 0);
}

TEST_F(DownloadUpdate, RunDirectoryThatIsALinkIsRefused) {
    // Someone else's link at the run directory's name: nothing is fetched
    // into the place it points to.
    std::filesystem::create_directory(tmp.path("elsewhere"));
    std::filesystem::create_directory_symlink(tmp.path("elsewhere"), tmp.own_made("evil"));
    server.serve("/evil.dqv", package);
    UpdateOutcome out = runUrl(server.url("/evil.dqv"));
    EXPECT_EQ(out.result, UPDATE_FAILED);
    EXPECT_EQ(host.boxes(), std::vector<std::string>{"box error [] Open update file failed!"});
    EXPECT_EQ(server.requests(), 0);
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path("elsewhere")));
}

// What another local user could put at the name of the tool's temporary
// directory before this user's first run: the run stops with the step's
// failure text, fetches nothing and writes nothing through it.
TEST_F(DownloadUpdate, TemporaryDirectoryOfAnotherOrALinkIsRefused) {
    std::string own = tmp.path("trevik-" + std::to_string(geteuid()));
    std::string elsewhere = tmp.path("elsewhere");
    std::filesystem::create_directory(elsewhere);
    struct Case {
        const char* what;
        bool root_only;
        void (*plant)(const std::string& own, const std::string& elsewhere);
    };
    const Case cases[] = {
        {"a link", false,
         [](const std::string& o, const std::string& e) {
             std::filesystem::create_directory_symlink(e, o);
         }},
        {"another user's directory", true,
         [](const std::string& o, const std::string&) {
             std::filesystem::create_directory(o);
             ::chmod(o.c_str(), 0777);
             ASSERT_EQ(::chown(o.c_str(), 65534, 65534), 0);
         }},
    };
    server.serve("/files/MAP2019.ZIP", zipWithPackage());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.root_only && geteuid() != 0)
            continue; // only root can make a directory of another user
        c.plant(own, elsewhere);
        host.events.clear();
        UpdateOutcome out = runUrl(server.url("/files/MAP2019.ZIP"));
        EXPECT_EQ(out.result, UPDATE_FAILED);
        EXPECT_EQ(host.boxes(), std::vector<std::string>{"box error [] Open update file failed!"});
        EXPECT_EQ(server.requests(), 0);
        EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
        if (std::filesystem::is_directory(own) && !std::filesystem::is_symlink(own)) {
            EXPECT_TRUE(std::filesystem::is_empty(own));
        }
        std::filesystem::remove_all(own);
    }
}

TEST_F(DownloadUpdate, ExistingTargetIsReplaced) {
    std::filesystem::create_directory(tmp.own_made("fresh"));
    ASSERT_EQ(pkg_write_file(tmp.own("fresh/fresh.dqv"), Bytes(100000, 0x55)), 1);
    server.serve("/fresh.dqv", package);
    UpdateOutcome out = runUrl(server.url("/fresh.dqv"));
    EXPECT_EQ(out.result, UPDATE_SUCCEEDED) << u8(out.box_text);
    EXPECT_TRUE(tmp.files().empty());
}

// A package download whose connection drops: the run asks for the rest and
// writes the unit; one that keeps dropping gives up with libcurl's reason,
// and the next Update of the same URL fetches only what is missing.
TEST_F(DownloadUpdate, DroppedDownloadResumesAndTheUnitIsWritten) {
    std::string zip = zipWithPackage();
    server.put("MAP2019.ZIP", zip);
    TestServer::Resume how;
    how.drops = 4;
    how.drop_after = zip.size() / 8;
    server.set_resume("MAP2019.ZIP", how);
    const std::string url = server.url("/resume/MAP2019.ZIP");

    UpdateOutcome out = runUrl(url);
    EXPECT_EQ(out.result, UPDATE_FAILED);
    EXPECT_EQ(host.boxes(),
              std::vector<std::string>{std::string("box error [] ") + DOWNLOAD_FAILED +
                                       "\nTransferred a partial file"});
    EXPECT_EQ(pauses, (std::vector<int>{1000, 2000, 4000}));
    EXPECT_TRUE(host.saw("notice Download interrupted, resuming (attempt 3 of 3)\u2026"));
    EXPECT_TRUE(host.saw("notice ")); // the status text gets back what it said
    EXPECT_EQ(host.finished, std::vector<int>{DOWNLOAD_RESULT_READ});
    EXPECT_TRUE(sim.commands().empty());
    EXPECT_EQ(tmp.files().size(), 2u); // the part and its record, for the next run

    host.events.clear();
    host.finished.clear();
    out = runUrl(url);
    ASSERT_EQ(out.result, UPDATE_SUCCEEDED) << u8(out.box_text);
    EXPECT_EQ(server.log().back().range, "bytes=" + std::to_string(4 * (zip.size() / 8)) + "-");
    EXPECT_EQ(server.log().back().status, 206);
    EXPECT_FALSE(host.saw("notice "));
    EXPECT_EQ(host.finished, std::vector<int>{0});
    EXPECT_EQ(host.range, package.size());
    uint32_t voice = rec_u32(unit->machine->main_setting + MS_OFF_VOICE_ADDR);
    EXPECT_EQ(flash_at(sim, voice, p.voice.size()), p.voice);
    EXPECT_TRUE(tmp.files().empty());
}

TEST_F(DownloadUpdate, DropAtHalfFetchesTheOtherHalfAndLeftoversOfAnotherUrlGo) {
    // What an earlier run of another package left.
    std::filesystem::create_directory(tmp.own_made("MAP2018"));
    ResumeRecord old;
    old.url = server.url("/resume/MAP2018.ZIP");
    old.etag = "\"old\"";
    old.total = 100;
    ASSERT_EQ(pkg_write_file(tmp.own("MAP2018/MAP2018.ZIP.part"), Bytes(40, 1)), 1);
    ASSERT_EQ(resume_record_write(tmp.own("MAP2018/MAP2018.ZIP.part.json"), old), 1);

    std::string zip = zipWithPackage();
    server.put("MAP2019.ZIP", zip);
    TestServer::Resume how;
    how.drops = 1;
    how.drop_after = zip.size() / 2;
    server.set_resume("MAP2019.ZIP", how);
    UpdateOutcome out = runUrl(server.url("/resume/MAP2019.ZIP"));

    ASSERT_EQ(out.result, UPDATE_SUCCEEDED) << u8(out.box_text);
    std::vector<std::string> ranges;
    for (const TestServer::Seen& seen : server.log())
        ranges.push_back(seen.range);
    EXPECT_EQ(ranges,
              (std::vector<std::string>{"", "bytes=" + std::to_string(zip.size() / 2) + "-"}));
    EXPECT_EQ(host.events,
              (std::vector<std::string>{
                  "buttons off", "text updating",
                  "notice Download interrupted, resuming (attempt 1 of 3)\u2026", "notice ",
                  "text Decompressing database\u2026", "text updating",
                  "box info [Update Tool] Update Successfully!", "buttons on", "ended"}));
    // The bar's total is the whole archive on both attempts.
    EXPECT_EQ(host.sizes, (std::vector<uint32_t>{uint32_t(zip.size()), uint32_t(zip.size())}));
    EXPECT_TRUE(tmp.files().empty());
}

} // namespace
