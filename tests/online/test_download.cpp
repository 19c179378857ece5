// CHttpDownload against a real server on 127.0.0.1.
#include "online/HttpDownload.h"

#include "tests/helpers/test_server.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct Download : ::testing::Test {
    TempDir tmp;
    TestServer server;
    QueueOwner owner;
    CHttpDownload dl;
    std::string target = tmp.path("target.bin");
    std::string content = pattern_bytes(300000);

    void SetUp() override {
        ASSERT_TRUE(server.ok());
        server.put("a.bin", content);
        server.put("small.txt", "hello");
    }

    void configure(const std::u16string& url, uint32_t offset = 0, int fail_if_exists = 0,
                   double rate = 0.0, const std::u16string& user = u"",
                   const std::u16string& password = u"") {
        DownloadRequest request;
        request.url = url;
        request.target = w(target);
        request.user_name = user;
        request.password = password;
        request.fail_if_exists = fail_if_exists;
        request.rate_limit = rate;
        request.resume_offset = offset;
        dl.Configure(&owner, request);
    }

    // Runs a configured download on this thread; returns its end message.
    Message run_sync() {
        EXPECT_EQ(dl.Start(1), u"");
        Message m{0, 999, 0};
        EXPECT_TRUE(owner.wait_finished(&m));
        return m;
    }

    Message get(const std::string& path) { return get_from(server, path); }

    Message get_from(TestServer& s, const std::string& path = "/files/a.bin") {
        configure(w(s.url(path)));
        return run_sync();
    }

    // The end message is the last one, and there is exactly one.
    void expect_single_end_last() {
        auto all = owner.all();
        ASSERT_FALSE(all.empty());
        EXPECT_EQ(all.back().id, UWM_DOWNLOAD_FINISHED);
        EXPECT_EQ(owner.of(UWM_DOWNLOAD_FINISHED).size(), 1u);
    }
};

// The plain cases: which result, which detail, what is left on disk.
struct EndCase {
    const char* path;
    int result;
    intptr_t detail; // -1: not checked
    bool file_left;
};

TEST_F(Download, EndsWithTheResultAndFileOfEachServerAnswer) {
    const EndCase cases[] = {
        {"/files/a.bin", DOWNLOAD_RESULT_OK, 0, true},
        {"/nolength/a.bin", DOWNLOAD_RESULT_OK, 0, true},
        {"/chunked/a.bin", DOWNLOAD_RESULT_OK, 0, true},
        {"/redirect/a.bin", DOWNLOAD_RESULT_OK, 0, true},
        {"/files/missing.bin", DOWNLOAD_RESULT_HTTP_STATUS, 404, false},
        {"/auth/a.bin", DOWNLOAD_RESULT_HTTP_STATUS, 401, false},
        {"/drop/a.bin", DOWNLOAD_RESULT_READ, -1, false},
    };
    for (const EndCase& c : cases) {
        SCOPED_TRACE(c.path);
        owner.reset();
        Message end = get(c.path);
        EXPECT_EQ(end.w, static_cast<uintptr_t>(c.result));
        if (c.detail >= 0) {
            EXPECT_EQ(end.l, c.detail);
        }
        EXPECT_EQ(file_exists(target), c.file_left);
        if (c.file_left) {
            EXPECT_EQ(read_file(target), content);
        }
        EXPECT_EQ(dl.IsFinished(), 1);
        expect_single_end_last();
        dl.Stop();
    }
}

TEST_F(Download, BoundedTargetFailsPastItsBoundWhateverTheServerAnnounced) {
    struct Case {
        const char* path;
        uint64_t bound;
        int result;
    } cases[] = {
        {"/files/a.bin", 300000, DOWNLOAD_RESULT_OK},
        {"/nolength/a.bin", 300000, DOWNLOAD_RESULT_OK},
        {"/files/a.bin", 299999, DOWNLOAD_RESULT_READ},
        {"/nolength/a.bin", 299999, DOWNLOAD_RESULT_READ},
        {"/chunked/a.bin", 65536, DOWNLOAD_RESULT_READ},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + std::to_string(c.bound));
        owner.reset();
        configure(w(server.url(c.path)));
        dl.SetMaxSize(c.bound);
        Message end = run_sync();
        EXPECT_EQ(end.w, static_cast<uintptr_t>(c.result));
        if (c.result == DOWNLOAD_RESULT_OK) {
            EXPECT_EQ(read_file(target), content);
        } else {
            EXPECT_EQ(end.l, EFBIG);
            EXPECT_FALSE(file_exists(target));
        }
        expect_single_end_last();
        dl.Stop();
    }
    // A new Configure drops the bound: the next file is not held to it.
    owner.reset();
    configure(w(server.url("/files/a.bin")));
    dl.SetMaxSize(10);
    configure(w(server.url("/files/a.bin")));
    EXPECT_EQ(run_sync().w, static_cast<uintptr_t>(DOWNLOAD_RESULT_OK));
}

TEST_F(Download, ReportsSizeAndEveryChangedPercentage) {
    auto t0 = Clock::now();
    Message end = get("/files/a.bin");
    bool under_a_second = Clock::now() - t0 < std::chrono::milliseconds(1000);
    ASSERT_EQ(end.w, 0u);
    auto sizes = owner.of(UWM_DOWNLOAD_SIZE);
    ASSERT_EQ(sizes.size(), 1u);
    EXPECT_EQ(sizes[0].w, content.size());
    EXPECT_EQ(sizes[0].l, 0);
    EXPECT_EQ(owner.all().front().id, UWM_DOWNLOAD_SIZE);
    auto percents = owner.of(UWM_DOWNLOAD_PERCENT);
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(percents.back().w, 100u);
    for (size_t i = 1; i < percents.size(); ++i)
        EXPECT_GT(percents[i].w, percents[i - 1].w);
    // Under a second: no speed report.
    if (under_a_second) {
        EXPECT_TRUE(owner.of(UWM_DOWNLOAD_SPEED).empty());
    }
    EXPECT_EQ(server.last_user_agent(), "Update");
    EXPECT_EQ(server.last_range(), "");
}

TEST_F(Download, WithoutLengthReportsSizeZeroAndNoPercentage) {
    Message end = get("/nolength/a.bin");
    ASSERT_EQ(end.w, 0u);
    auto sizes = owner.of(UWM_DOWNLOAD_SIZE);
    ASSERT_EQ(sizes.size(), 1u);
    EXPECT_EQ(sizes[0].w, 0u);
    EXPECT_EQ(sizes[0].l, 0);
    EXPECT_TRUE(owner.of(UWM_DOWNLOAD_PERCENT).empty());
}

TEST_F(Download, SlowServerGetsSpeedReportsAboutOncePerSecond) {
    server.set_slow(5, 450); // about 1.8 s in all
    auto t0 = Clock::now();
    Message end = get("/slow/a.bin");
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - t0).count();
    ASSERT_EQ(end.w, 0u);
    auto speeds = owner.of(UWM_DOWNLOAD_SPEED);
    ASSERT_FALSE(speeds.empty());
    // At most one report per second of transfer.
    EXPECT_LE(speeds.size(), static_cast<size_t>(seconds));
    uintptr_t last_received = 0;
    for (const Message& m : speeds) {
        // Speed in KB/s x 100000: the server's 300 KB over about 2 s is
        // far below 10 MB/s and above 1 KB/s.
        EXPECT_GT(m.w, 1u * 100000u);
        EXPECT_LT(m.w, 10000u * 100000u);
        EXPECT_GT(static_cast<uintptr_t>(m.l), last_received);
        EXPECT_LE(static_cast<size_t>(m.l), content.size());
        last_received = static_cast<uintptr_t>(m.l);
    }
    EXPECT_EQ(read_file(target), content);
}

TEST_F(Download, ResumeCutsTheFileAndAsksForTheRest) {
    const uint32_t offset = 150000;
    // The part already here, followed by junk past the offset.
    write_file(target, content.substr(0, offset) + std::string(20000, 'x'));
    configure(w(server.url("/files/a.bin")), offset);
    Message end = run_sync();
    ASSERT_EQ(end.w, 0u);
    EXPECT_EQ(server.last_range(), "bytes=150000-");
    EXPECT_EQ(read_file(target), content);
    auto sizes = owner.of(UWM_DOWNLOAD_SIZE);
    ASSERT_EQ(sizes.size(), 1u);
    EXPECT_EQ(sizes[0].w, content.size() - offset);
    EXPECT_EQ(sizes[0].l, static_cast<intptr_t>(offset));
    auto percents = owner.of(UWM_DOWNLOAD_PERCENT);
    ASSERT_FALSE(percents.empty());
    // The bytes already here count: the first report is past half.
    EXPECT_GE(percents.front().w, 50u);
}

TEST_F(Download, ResumeAgainstAServerIgnoringTheRangeStartsAfresh) {
    write_file(target, std::string(5000, 'x'));
    configure(w(server.url("/norange/a.bin")), 1000);
    Message end = run_sync();
    ASSERT_EQ(end.w, 0u);
    EXPECT_EQ(read_file(target), content);
    auto sizes = owner.of(UWM_DOWNLOAD_SIZE);
    ASSERT_EQ(sizes.size(), 1u);
    EXPECT_EQ(sizes[0].l, 0);
}

TEST_F(Download, ExistingTargetIsTruncatedOrRefused) {
    write_file(target, std::string(500000, 'x'));
    ASSERT_EQ(get("/files/small.txt").w, 0u);
    EXPECT_EQ(read_file(target), "hello");

    configure(w(server.url("/files/small.txt")), 0, 1);
    EXPECT_EQ(dl.Start(1), u"The file '" + w(target) + u"' already exists.");
    EXPECT_TRUE(owner.of(UWM_DOWNLOAD_FINISHED).size() == 1u); // only the first run's
}

TEST_F(Download, StartErrorsComeBackAsText) {
    configure(u"");
    EXPECT_EQ(dl.Start(1), u"Failed to parse the URL: http://\n");
    configure(u"ftp://127.0.0.1/a.bin");
    EXPECT_EQ(dl.Start(1), u"Failed to parse the URL: ftp://127.0.0.1/a.bin\n");
    configure(u"http://127.0.0.1:99999/a.bin");
    EXPECT_EQ(dl.Start(1), u"Failed to parse the URL: http://127.0.0.1:99999/a.bin\n");

    dl.Configure(
        &owner, {.url = w(server.url("/files/small.txt")), .target = w(tmp.path("no/such/dir/f"))});
    EXPECT_EQ(dl.Start(1), u"An error occured while opening the file to be downloaded, Error:2");
    EXPECT_TRUE(owner.all().empty());
}

TEST_F(Download, UrlWithoutSchemeIsFetchedOverHttp) {
    std::string url = server.url("/files/small.txt").substr(std::string("http://").size());
    configure(w(url));
    Message end = run_sync();
    EXPECT_EQ(end.w, 0u);
    EXPECT_EQ(dl.Url(), w("http://" + url));
    EXPECT_EQ(dl.ServiceType(), "http");
    EXPECT_EQ(dl.ServerName(), "127.0.0.1");
    EXPECT_EQ(dl.Port(), server.port());
    EXPECT_EQ(dl.ObjectPath(), "/files/small.txt");
    EXPECT_EQ(read_file(target), "hello");
}

TEST_F(Download, BlanksAndWideCharactersInTheUrlAreEscaped) {
    server.put("map 2019.bin", "blank");
    server.put("\xE4\xB8\xAD.bin", "wide");
    configure(w(server.url("/files/map 2019.bin")));
    EXPECT_EQ(run_sync().w, 0u);
    EXPECT_EQ(read_file(target), "blank");
    EXPECT_EQ(dl.ObjectPath(), "/files/map%202019.bin");
    owner.reset();
    configure(w(server.url("/files/")) + u"\u4E2D.bin");
    EXPECT_EQ(run_sync().w, 0u);
    EXPECT_EQ(read_file(target), "wide");
}

TEST_F(Download, AbortBeforeTheRequestEndsWithZeroAndLeavesTheEmptyTarget) {
    write_file(target, "old content");
    configure(w(server.url("/files/a.bin")));
    dl.Abort();
    Message end = run_sync();
    EXPECT_EQ(end.w, 0u);
    EXPECT_EQ(end.l, 0);
    EXPECT_EQ(server.requests(), 0);
    EXPECT_TRUE(file_exists(target));
    EXPECT_EQ(read_file(target), "");
    expect_single_end_last();
}

TEST_F(Download, AbortDuringTheBodyEndsWithSixAndKeepsThePart) {
    server.set_slow(10, 300);
    configure(w(server.url("/slow/a.bin")));
    ASSERT_EQ(dl.Start(0), u"");
    ASSERT_TRUE(owner.wait_for(UWM_DOWNLOAD_PERCENT));
    auto t0 = Clock::now();
    dl.Stop();
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(10));
    Message end{};
    ASSERT_TRUE(owner.wait_finished(&end));
    EXPECT_EQ(end.w, static_cast<uintptr_t>(DOWNLOAD_RESULT_ABORTED));
    EXPECT_TRUE(file_exists(target));
    std::string part = read_file(target);
    EXPECT_LT(part.size(), content.size());
    EXPECT_EQ(part, content.substr(0, part.size()));
    expect_single_end_last();
}

// Two threads stopping the component at once (the window ending a check as
// another user of the component configures it): one joins the transfer's
// thread, the other waits for its end; both return once it has ended.
TEST_F(Download, StopsFromTwoThreadsAtOnceBothWaitForTheEnd) {
    server.set_slow(20, 50);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        owner.reset();
        configure(w(server.url("/slow/a.bin")));
        ASSERT_EQ(dl.Start(0), u"");
        ASSERT_TRUE(owner.wait_for(UWM_DOWNLOAD_SIZE));
        std::atomic<int> ended{0};
        std::thread other([&] {
            if (i % 2)
                dl.Configure(&owner,
                             {.url = w(server.url("/files/small.txt")), .target = w(target)});
            else
                dl.Stop();
            ended += dl.HasThread() ? 0 : 1;
        });
        dl.Stop();
        ended += dl.HasThread() ? 0 : 1;
        other.join();
        EXPECT_EQ(ended.load(), 2);
        EXPECT_EQ(dl.IsRunning(), 0);
        expect_single_end_last();
    }
}

// How the last transfer ended, for a caller that needs a whole file.
TEST_F(Download, KeepsTheOutcomeOfTheLastTransfer) {
    EXPECT_EQ(dl.LastResult(), -1);
    get("/files/a.bin");
    EXPECT_EQ(dl.LastResult(), DOWNLOAD_RESULT_OK);
    EXPECT_EQ(dl.LastReceived(), content.size());
    EXPECT_EQ(dl.LastAnnounced(), static_cast<int64_t>(content.size()));

    owner.reset();
    get("/nolength/a.bin");
    EXPECT_EQ(dl.LastReceived(), content.size());
    EXPECT_EQ(dl.LastAnnounced(), -1);

    owner.reset();
    get("/drop/a.bin");
    EXPECT_EQ(dl.LastResult(), DOWNLOAD_RESULT_READ);
    EXPECT_LT(dl.LastReceived(), content.size());

    // Stopped before its request: result 0, but nothing came.
    owner.reset();
    configure(w(server.url("/files/a.bin")));
    dl.Abort();
    run_sync();
    EXPECT_EQ(dl.LastResult(), DOWNLOAD_RESULT_OK);
    EXPECT_EQ(dl.LastReceived(), 0u);
    EXPECT_EQ(dl.LastAnnounced(), -1);
}

TEST_F(Download, StopAfterTheEndChangesNothing) {
    configure(w(server.url("/files/small.txt")));
    ASSERT_EQ(dl.Start(0), u"");
    Message end{};
    ASSERT_TRUE(owner.wait_finished(&end));
    EXPECT_EQ(end.w, 0u);
    dl.Stop();
    dl.Stop();
    EXPECT_EQ(read_file(target), "hello");
    expect_single_end_last();
}

TEST_F(Download, CredentialsAnswerTheChallenge) {
    configure(w(server.url("/auth/a.bin")), 0, 0, 0.0, u"user", u"secret");
    Message end = run_sync();
    EXPECT_EQ(end.w, 0u);
    EXPECT_EQ(read_file(target), content);

    owner.reset();
    configure(w(server.url("/auth/a.bin")), 0, 0, 0.0, u"user", u"wrong");
    end = run_sync();
    EXPECT_EQ(end.w, static_cast<uintptr_t>(DOWNLOAD_RESULT_HTTP_STATUS));
    EXPECT_EQ(end.l, 401);
    EXPECT_FALSE(file_exists(target));
}

TEST_F(Download, RateLimitStretchesTheTransfer) {
    // 300 KB at 200 bytes per ms takes at least 1.5 s.
    configure(w(server.url("/files/a.bin")), 0, 0, 200.0);
    auto t0 = Clock::now();
    Message end = run_sync();
    EXPECT_EQ(end.w, 0u);
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(1200));
    EXPECT_EQ(read_file(target), content);
}

TEST_F(Download, StalledServerFailsInsteadOfHanging) {
    dl.SetTimeouts(5000, 1000);
    Message end = get("/stall/a.bin");
    EXPECT_EQ(end.w, static_cast<uintptr_t>(DOWNLOAD_RESULT_READ));
    EXPECT_FALSE(file_exists(target));
}

TEST_F(Download, RefusedConnectionEndsWithTwo) {
    int port;
    {
        TestServer gone;
        port = gone.port();
    }
    Message end = [&] {
        configure(w("http://127.0.0.1:" + std::to_string(port) + "/files/a.bin"));
        return run_sync();
    }();
    EXPECT_EQ(end.w, static_cast<uintptr_t>(DOWNLOAD_RESULT_CONNECT));
    EXPECT_FALSE(file_exists(target));
}

// A self-signed certificate is refused: nobody on the way can hand out a
// package of their own.
TEST_F(Download, SelfSignedHttpsIsRefused) {
    TestServer tls(true);
    ASSERT_TRUE(tls.ok());
    tls.put("a.bin", content);
    Message end = get_from(tls);
    EXPECT_EQ(end.w, static_cast<uintptr_t>(DOWNLOAD_RESULT_CONNECT));
    EXPECT_FALSE(file_exists(target));
    EXPECT_EQ(tls.requests(), 0);
}

TEST_F(Download, SynchronousHelperReportsTheEnd) {
    QueueOwner forwarded;
    DownloadOutcome out = download_file(dl, &forwarded, w(server.url("/files/a.bin")), w(target));
    EXPECT_EQ(out.startError, u"");
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(read_file(target), content);
    ASSERT_FALSE(forwarded.all().empty());
    EXPECT_EQ(forwarded.all().back().id, UWM_DOWNLOAD_FINISHED);

    out = download_file(dl, nullptr, w(server.url("/files/nothing")), w(target));
    EXPECT_EQ(out.result, DOWNLOAD_RESULT_HTTP_STATUS);
    EXPECT_EQ(out.detail, 404);

    out = download_file(dl, nullptr, u"", w(target));
    EXPECT_EQ(out.startError, u"Failed to parse the URL: http://\n");
    EXPECT_EQ(out.result, -1);
}

} // namespace
