// Downloads that resume after a drop, against the test server's /resume
// route (ranges, ETag, If-Range and dropped connections under the test's
// control) and once against nginx.
#include "online/ResumableDownload.h"

#include "online/HttpDownload.h"
#include "support/text.h"
#include "tests/helpers/process.h"
#include "tests/helpers/test_server.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

constexpr const char* PARTIAL = "Transferred a partial file"; // libcurl's message

struct Resume : ::testing::Test {
    TempDir tmp;
    TestServer server;
    QueueOwner owner;
    CHttpDownload dl;
    std::string target = tmp.path("pkg.zip");
    std::string part = target + ".part";
    std::string record = target + ".part.json";
    std::string content = pattern_bytes(200000);
    std::vector<int> pauses;
    std::vector<std::string> notices;
    ResumeOptions options;

    void SetUp() override {
        ASSERT_TRUE(server.ok());
        server.put("pkg.zip", content);
        // The pauses are noted, not waited for.
        options.pause = [this](int ms) {
            pauses.push_back(ms);
            return true;
        };
        options.notice = [this](const std::u16string& text) {
            notices.push_back(wtext_to_utf8(text.c_str()));
        };
    }

    std::string url() const { return server.url("/resume/pkg.zip"); }

    ResumeOutcome run(const std::string& u) {
        owner.reset();
        return resumable_download(dl, &owner, w(u), w(target), options);
    }
    ResumeOutcome run() { return run(url()); }

    void drops(int n, size_t after) {
        TestServer::Resume how;
        how.drops = n;
        how.drop_after = after;
        server.set_resume("pkg.zip", how);
    }

    std::vector<std::string> ranges() const {
        std::vector<std::string> out;
        for (const TestServer::Seen& s : server.log())
            out.push_back(s.range);
        return out;
    }

    // The owner hears one end, the last message.
    void expect_one_end(uintptr_t result) {
        auto ends = owner.of(UWM_DOWNLOAD_FINISHED);
        ASSERT_EQ(ends.size(), 1u);
        EXPECT_EQ(ends[0].w, result);
        EXPECT_EQ(owner.all().back().id, UWM_DOWNLOAD_FINISHED);
    }
};

TEST_F(Resume, DropAtHalfFetchesOnlyTheRest) {
    const size_t half = content.size() / 2;
    drops(1, half);
    ResumeOutcome out = run();

    ASSERT_TRUE(out.complete) << out.reason;
    EXPECT_EQ(read_file(target), content);
    EXPECT_FALSE(file_exists(part));
    EXPECT_FALSE(file_exists(record));
    EXPECT_EQ(ranges(), (std::vector<std::string>{"", "bytes=" + std::to_string(half) + "-"}));
    EXPECT_EQ(server.log()[1].if_range, "\"v1\"");
    EXPECT_EQ(server.log()[1].status, 206);
    EXPECT_EQ(notices,
              std::vector<std::string>{"Download interrupted, resuming (attempt 1 of 3)\u2026"});
    EXPECT_EQ(pauses, std::vector<int>{1000});
    EXPECT_EQ(out.retries, 1);
    expect_one_end(DOWNLOAD_RESULT_OK);
    // Sizes and positions count from the file's start: the second attempt
    // announces the whole file and goes on from half.
    auto sizes = owner.of(UWM_DOWNLOAD_SIZE);
    ASSERT_EQ(sizes.size(), 2u);
    EXPECT_EQ(sizes[0].w, content.size());
    EXPECT_EQ(sizes[1].w, content.size());
    EXPECT_EQ(sizes[1].l, static_cast<intptr_t>(half));
    auto percents = owner.of(UWM_DOWNLOAD_PERCENT);
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(percents.back().w, 100u);
}

// A plain download that nothing disturbs asks once, with no range, and
// tells the owner what a download without resuming would.
TEST_F(Resume, UndisturbedDownloadIsOnePlainRequest) {
    ResumeOutcome out = run();
    ASSERT_TRUE(out.complete);
    EXPECT_EQ(read_file(target), content);
    EXPECT_EQ(ranges(), std::vector<std::string>{""});
    EXPECT_EQ(server.log()[0].if_range, "");
    EXPECT_TRUE(notices.empty());
    expect_one_end(DOWNLOAD_RESULT_OK);
    EXPECT_EQ(owner.of(UWM_DOWNLOAD_SIZE)[0].l, 0);
}

// What the second answer is after a drop at a quarter, and what the part
// must then hold.
struct AfterDrop {
    const char* what;
    TestServer::Resume how; // drops 1 after a quarter is added
    bool complete;
    std::vector<std::string> if_ranges;
    std::vector<int> statuses;
};

class ResumeAfterDrop : public Resume, public ::testing::WithParamInterface<AfterDrop> {};

TEST_P(ResumeAfterDrop, NeverGluesAnythingButTheRest) {
    const AfterDrop& c = GetParam();
    TestServer::Resume how = c.how;
    how.drops = 1;
    how.drop_after = content.size() / 4;
    server.set_resume("pkg.zip", how);
    ResumeOutcome out = run();
    EXPECT_EQ(out.complete, c.complete);
    std::vector<std::string> if_ranges;
    std::vector<int> statuses;
    for (const TestServer::Seen& s : server.log()) {
        if_ranges.push_back(s.if_range);
        statuses.push_back(s.status);
    }
    EXPECT_EQ(if_ranges, c.if_ranges);
    EXPECT_EQ(statuses, c.statuses);
    if (c.complete) {
        EXPECT_EQ(read_file(target), content);
        return;
    }
    // The error page never reached the part: it holds the first quarter,
    // kept with its record for the next run.
    EXPECT_FALSE(file_exists(target));
    EXPECT_EQ(read_file(part), content.substr(0, content.size() / 4));
    ResumeRecord rec;
    ASSERT_EQ(resume_record_read(record, &rec), 1);
    EXPECT_EQ(rec.written, content.size() / 4);
    EXPECT_TRUE(out.gave_up);
    EXPECT_EQ(out.reason, "HTTP response code said error");
    expect_one_end(DOWNLOAD_RESULT_HTTP_STATUS);
}

TestServer::Resume with(void (*set)(TestServer::Resume&)) {
    TestServer::Resume how;
    set(how);
    return how;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResumeAfterDrop,
    ::testing::Values(AfterDrop{"server ignoring ranges",
                                with([](TestServer::Resume& h) { h.ignore_range = true; }),
                                true,
                                {"", "\"v1\""},
                                {200, 200}},
                      AfterDrop{"last modified only",
                                with([](TestServer::Resume& h) {
                                    h.etag.clear();
                                    h.last_modified = "Tue, 01 Dec 2026 10:00:00 GMT";
                                }),
                                true,
                                {"", "Tue, 01 Dec 2026 10:00:00 GMT"},
                                {200, 206}},
                      // A weak ETag vouches for no single byte: the retry starts at zero.
                      AfterDrop{"weak etag",
                                with([](TestServer::Resume& h) { h.etag = "W/\"v1\""; }),
                                true,
                                {"", ""},
                                {200, 200}},
                      AfterDrop{"error page",
                                with([](TestServer::Resume& h) { h.range_status = 503; }),
                                false,
                                {"", "\"v1\""},
                                {200, 503}}),
    [](const ::testing::TestParamInfo<AfterDrop>& info) {
        std::string name = info.param.what;
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch)))
                ch = '_';
        return name;
    });

TEST_F(Resume, ThreeDropsInARowGiveUpWithTheReasonAndTheNextRunResumes) {
    const size_t piece = content.size() / 10;
    drops(4, piece);
    ResumeOutcome out = run();

    EXPECT_FALSE(out.complete);
    EXPECT_TRUE(out.gave_up);
    EXPECT_EQ(out.retries, 3);
    EXPECT_EQ(out.reason, PARTIAL);
    EXPECT_EQ(pauses, (std::vector<int>{1000, 2000, 4000}));
    EXPECT_EQ(notices,
              (std::vector<std::string>{"Download interrupted, resuming (attempt 1 of 3)\u2026",
                                        "Download interrupted, resuming (attempt 2 of 3)\u2026",
                                        "Download interrupted, resuming (attempt 3 of 3)\u2026"}));
    EXPECT_EQ(ranges(),
              (std::vector<std::string>{"", "bytes=20000-", "bytes=40000-", "bytes=60000-"}));
    expect_one_end(DOWNLOAD_RESULT_READ);
    EXPECT_EQ(read_file(part), content.substr(0, 4 * piece));

    // The next run of the same URL asks only for what is missing.
    pauses.clear();
    ResumeOutcome next = run();
    ASSERT_TRUE(next.complete);
    EXPECT_EQ(read_file(target), content);
    EXPECT_EQ(ranges().back(), "bytes=80000-");
    EXPECT_TRUE(pauses.empty());
    EXPECT_FALSE(file_exists(record));
}

// A run stopped during the pause (the window closes) asks no more and
// keeps the part for the next run.
TEST_F(Resume, StoppedDuringThePauseKeepsThePart) {
    drops(1, 30000);
    options.pause = [](int) { return false; };
    ResumeOutcome out = run();
    EXPECT_FALSE(out.complete);
    EXPECT_FALSE(out.gave_up);
    EXPECT_EQ(server.log().size(), 1u);
    expect_one_end(DOWNLOAD_RESULT_ABORTED);
    EXPECT_EQ(read_file(part), content.substr(0, 30000));
    ResumeRecord rec;
    ASSERT_EQ(resume_record_read(record, &rec), 1);
    EXPECT_EQ(rec.url, url());
    EXPECT_EQ(rec.etag, "\"v1\"");
    EXPECT_EQ(rec.total, static_cast<int64_t>(content.size()));
    EXPECT_EQ(rec.written, 30000u);
}

TEST_F(Resume, ChangedFileSinceTheLastRunIsFetchedAfresh) {
    drops(1, 5000);
    options.pauses_ms.clear(); // no retries: the run gives up at once
    ResumeOutcome first = run();
    ASSERT_FALSE(first.complete);
    ASSERT_EQ(read_file(part).size(), 5000u);

    // The file on the server changed: new bytes, new ETag.
    std::string changed = pattern_bytes(150000);
    std::reverse(changed.begin(), changed.end());
    server.put("pkg.zip", changed);
    TestServer::Resume how;
    how.etag = "\"v2\"";
    server.set_resume("pkg.zip", how);
    ResumeOutcome out = run();
    ASSERT_TRUE(out.complete);
    EXPECT_EQ(read_file(target), changed);
    EXPECT_EQ(server.log().back().if_range, "\"v1\"");
    EXPECT_EQ(server.log().back().status, 200);
}

TEST_F(Resume, RangeNotSatisfiableCompletesOnlyAWholeSoundFile) {
    struct Case {
        const char* what;
        bool sound; // what the package check says
        std::vector<int> statuses;
    };
    for (const Case& c :
         {Case{"whole and sound", true, {416}}, Case{"whole but broken", false, {416, 200}}}) {
        SCOPED_TRACE(c.what);
        // A part as long as the file, left by an earlier run.
        write_file(part, content);
        ResumeRecord rec;
        rec.url = url();
        rec.etag = "\"v1\"";
        rec.total = static_cast<int64_t>(content.size());
        rec.written = content.size();
        ASSERT_EQ(resume_record_write(record, rec), 1);
        size_t before = server.log().size();
        options.check = [&c](const std::u16string&) { return c.sound; };
        ResumeOutcome out = run();
        ASSERT_TRUE(out.complete);
        EXPECT_EQ(read_file(target), content);
        std::vector<int> statuses;
        for (size_t i = before; i < server.log().size(); ++i)
            statuses.push_back(server.log()[i].status);
        EXPECT_EQ(statuses, c.statuses);
        EXPECT_TRUE(notices.empty());
        expect_one_end(DOWNLOAD_RESULT_OK);
        std::filesystem::remove(target);
    }
}

TEST_F(Resume, LeftoversOfAnotherUrlAreRemoved) {
    std::filesystem::create_directory(tmp.path("old"));
    std::filesystem::create_directory(tmp.path("same"));
    ResumeRecord other;
    other.url = server.url("/resume/old.zip");
    other.etag = "\"x\"";
    other.total = 10;
    ResumeRecord same = other;
    same.url = url();
    write_file(tmp.path("old/old.zip.part"), "12345");
    ASSERT_EQ(resume_record_write(tmp.path("old/old.zip.part.json"), other), 1);
    write_file(tmp.path("same/pkg.zip.part"), "12345");
    ASSERT_EQ(resume_record_write(tmp.path("same/pkg.zip.part.json"), same), 1);
    write_file(tmp.path("orphan.zip.part"), "12345");
    write_file(tmp.path("keep.zip"), "not a part");

    EXPECT_EQ(resume_remove_leftovers(tmp.path(), url()), 3);
    EXPECT_FALSE(file_exists(tmp.path("old/old.zip.part")));
    EXPECT_FALSE(file_exists(tmp.path("orphan.zip.part")));
    EXPECT_TRUE(file_exists(tmp.path("same/pkg.zip.part")));
    EXPECT_TRUE(file_exists(tmp.path("same/pkg.zip.part.json")));
    EXPECT_TRUE(file_exists(tmp.path("keep.zip")));
}

// A 206 that is not the rest of the file the part holds is never appended.
TEST_F(Resume, ComponentRefusesARangeThatIsNotTheRest) {
    write_file(part, content.substr(0, 1000));
    DownloadRequest request{.url = w(url()), .target = w(part)};
    request.resume_offset = 1000;
    dl.Configure(&owner, request);
    dl.SetKeepPartial(true);
    dl.SetResumeValidator("\"v1\"", 12345); // another total than the server's
    ASSERT_EQ(dl.Start(1), u"");
    EXPECT_EQ(dl.LastResult(), DOWNLOAD_RESULT_READ);
    EXPECT_EQ(dl.LastErrorText(), "Requested range was not delivered by the server");
    EXPECT_EQ(read_file(part), content.substr(0, 1000));
    EXPECT_EQ(server.log().back().range, "bytes=1000-");
}

// nginx on 127.0.0.1 with everything it writes in the test's folder.
class Nginx {
  public:
    explicit Nginx(const std::string& dir) : dir_(dir) {
        if (access("/usr/sbin/nginx", X_OK) != 0)
            return;
        port_ = free_port();
        std::filesystem::create_directories(dir + "/www");
        std::string conf = "daemon off;\nmaster_process off;\nworker_processes 1;\n"
                           "pid " +
                           dir + "/nginx.pid;\nerror_log " + dir +
                           "/error.log;\n"
                           "events { worker_connections 16; }\n"
                           "http {\n  access_log " +
                           dir + "/access.log;\n";
        for (const char* t : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
            conf += std::string("  ") + t + "_temp_path " + dir + "/" + t + ";\n";
        conf += "  default_type application/octet-stream;\n"
                "  server {\n    listen 127.0.0.1:" +
                std::to_string(port_) +
                ";\n"
                "    root " +
                dir + "/www;\n  }\n}\n";
        write_file(dir + "/nginx.conf", conf);
        process_ = std::make_unique<Spawned>(std::vector<std::string>{"/usr/sbin/nginx", "-p", dir,
                                                                      "-e", dir + "/error.log",
                                                                      "-c", dir + "/nginx.conf"},
                                             "/dev/null", dir + "/stderr.txt");
        for (int i = 0; i < 250 && !listening(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    bool ok() const { return process_ && listening(); }
    std::string url(const std::string& name) const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/" + name;
    }
    std::string www(const std::string& name) const { return dir_ + "/www/" + name; }
    std::string why() const {
        return read_text(dir_ + "/stderr.txt") + read_text(dir_ + "/error.log");
    }
    std::string access_log() const { return read_text(dir_ + "/access.log"); }

  private:
    static int free_port() {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        int port = 0;
        if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            getsockname(s, reinterpret_cast<sockaddr*>(&a), &n) == 0)
            port = ntohs(a.sin_port);
        close(s);
        return port;
    }
    bool listening() const {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port_));
        bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(s);
        return ok;
    }

    std::string dir_;
    int port_ = 0;
    std::unique_ptr<Spawned> process_;
};

TEST_F(Resume, RealServerAnswersTheRestWith206AndContentRange) {
    if (access("/usr/sbin/nginx", X_OK) != 0)
        GTEST_SKIP() << "nginx is not installed (Debian package nginx-light): no real-server check";
    Nginx nginx(tmp.path("nginx"));
    ASSERT_TRUE(nginx.ok()) << nginx.why();
    write_file(nginx.www("pkg.zip"), content);

    // A whole download first, to learn the validator nginx gives.
    std::string whole = tmp.path("whole.zip");
    DownloadOutcome first = download_file(dl, nullptr, w(nginx.url("pkg.zip")), w(whole));
    ASSERT_EQ(first.result, DOWNLOAD_RESULT_OK);
    ASSERT_EQ(read_file(whole), content);
    std::string etag = dl.LastETag();
    ASSERT_FALSE(etag.empty());
    ASSERT_NE(etag.rfind("W/", 0), 0u) << "nginx gave a weak ETag: " << etag;

    // Half of it left by an earlier run, with its record.
    const size_t half = content.size() / 2;
    write_file(part, content.substr(0, half));
    ResumeRecord rec;
    rec.url = nginx.url("pkg.zip");
    rec.etag = etag;
    rec.total = static_cast<int64_t>(content.size());
    rec.written = half;
    ASSERT_EQ(resume_record_write(record, rec), 1);

    ResumeOutcome out = run(nginx.url("pkg.zip"));
    ASSERT_TRUE(out.complete) << out.reason;
    EXPECT_EQ(read_file(target), content);
    EXPECT_EQ(dl.LastStatus(), 206);
    EXPECT_EQ(dl.LastTotal(), static_cast<int64_t>(content.size()));
    EXPECT_EQ(dl.LastReceived(), content.size() - half);
    // nginx logs the 206 and the bytes of the rest alone.
    EXPECT_NE(nginx.access_log().find("\" 206 " + std::to_string(content.size() - half) + " "),
              std::string::npos)
        << nginx.access_log();
}

} // namespace
