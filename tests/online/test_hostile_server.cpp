// Package downloads against a server that answers byte for byte what the
// test scripts: a resume answered with another version's bytes, a 206
// whose body is an error page, a body without end or at a trickle, a web
// page where the package should be. Nothing the server did not have as the
// package may reach the part or the target.
#include "online/DownloadAnswer.h"
#include "online/HttpDownload.h"
#include "online/ResumableDownload.h"
#include "support/text.h"
#include "tests/helpers/test_server.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <thread>

namespace {

// What the scripted server sends for one request.
struct Reply {
    std::string bytes;    // status line, headers and body, as they go out
    bool endless = false; // then body bytes until the client hangs up
    int gap_ms = 0;       // send the bytes one by one, this far apart
};

// An HTTP server on 127.0.0.1 that answers request n (from 0) with
// script(n, request), one connection per request.
class ScriptedServer {
  public:
    using Script = std::function<Reply(int n, const std::string& request)>;
    explicit ScriptedServer(Script script) : script_(std::move(script)) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 4) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedServer() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        close(fd_);
    }
    bool ok() const { return port_ != 0; }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    // The Range header of each request so far ("" when none).
    std::vector<std::string> ranges() const {
        std::lock_guard<std::mutex> g(lock_);
        return ranges_;
    }

  private:
    bool wait(int fd, short events) const {
        pollfd p{fd, events, 0};
        while (!stop_)
            if (poll(&p, 1, 20) > 0)
                return true;
        return false;
    }
    bool send_all(int c, const char* p, size_t n) const {
        while (n > 0) {
            if (!wait(c, POLLOUT))
                return false;
            ssize_t k = send(c, p, n, MSG_NOSIGNAL);
            if (k <= 0)
                return false;
            p += k;
            n -= static_cast<size_t>(k);
        }
        return true;
    }
    void serve() {
        for (int n = 0; wait(fd_, POLLIN); ++n) {
            int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                continue;
            std::string request;
            char buf[4096];
            while (request.find("\r\n\r\n") == std::string::npos && wait(c, POLLIN)) {
                ssize_t k = recv(c, buf, sizeof buf, 0);
                if (k <= 0)
                    break;
                request.append(buf, static_cast<size_t>(k));
            }
            std::string range;
            size_t at = request.find("\r\nRange: ");
            if (at != std::string::npos)
                range = request.substr(at + 9, request.find("\r\n", at + 2) - at - 9);
            {
                std::lock_guard<std::mutex> g(lock_);
                ranges_.push_back(range);
            }
            Reply r = script_(n, request);
            bool go = true;
            if (r.gap_ms > 0) {
                for (size_t i = 0; go && i < r.bytes.size(); ++i) {
                    go = send_all(c, &r.bytes[i], 1);
                    std::this_thread::sleep_for(std::chrono::milliseconds(r.gap_ms));
                }
            } else {
                go = send_all(c, r.bytes.data(), r.bytes.size());
            }
            const std::string more(64 * 1024, 'x');
            while (go && r.endless)
                go = send_all(c, more.data(), more.size());
            close(c);
        }
    }

    Script script_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    mutable std::mutex lock_;
    std::vector<std::string> ranges_;
};

std::string answer(const std::string& status, const std::string& headers, const std::string& body,
                   bool with_length = true) {
    std::string out = "HTTP/1.1 " + status + "\r\nConnection: close\r\n" + headers;
    if (with_length)
        out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return out + "\r\n" + body;
}

const std::string PAGE = "<html><body>Service Unavailable</body></html>";

struct Hostile : ::testing::Test {
    TempDir tmp;
    QueueOwner owner;
    CHttpDownload dl;
    std::string target = tmp.path("pkg.zip");
    std::string part = target + ".part";
    std::string record = target + ".part.json";
    std::string v1 = pattern_bytes(100000);
    std::string v2 = std::string(v1.rbegin(), v1.rend());
    size_t half = v1.size() / 2;
    ResumeOptions options;

    void SetUp() override {
        options.pause = [](int) { return true; };
    }

    // Half of v1 left by an earlier run, with its record.
    void leave_half_of_v1(const std::string& url) {
        write_file(part, v1.substr(0, half));
        ResumeRecord rec;
        rec.url = url;
        rec.etag = "\"v1\"";
        rec.total = static_cast<int64_t>(v1.size());
        rec.written = half;
        ASSERT_EQ(resume_record_write(record, rec), 1);
    }

    ResumeOutcome run(const std::string& url) {
        return resumable_download(dl, &owner, w(url), w(target), options);
    }

    // The 206 a resume of v1 at half would get, with what varies.
    std::string rest(const std::string& etag, const std::string& range, const std::string& body,
                     bool with_length = true) {
        return answer("206 Partial Content",
                      (etag.empty() ? "" : "ETag: " + etag + "\r\n") + "Content-Range: " + range +
                          "\r\n",
                      body, with_length);
    }
    std::string whole_range() const {
        return "bytes " + std::to_string(half) + "-" + std::to_string(v1.size() - 1) + "/" +
               std::to_string(v1.size());
    }
};

// A resume answered with bytes of another version, place or length: the part
// is dropped and the file fetched whole, never v1's head glued to v2's tail.
TEST_F(Hostile, RestOfAnotherFileStartsAfresh) {
    struct Case {
        const char* what;
        std::string etag, range;
    };
    const std::string tail = v2.substr(half);
    const std::string n = std::to_string(v1.size());
    for (const Case& c :
         {Case{"another etag", "\"v2\"", whole_range()}, Case{"no etag", "", whole_range()},
          Case{"another place", "\"v1\"", "bytes 0-" + std::to_string(half - 1) + "/" + n},
          Case{"another total", "\"v1\"",
               "bytes " + std::to_string(half) + "-" + std::to_string(v1.size() - 1) + "/" +
                   std::to_string(v1.size() + 7)}}) {
        SCOPED_TRACE(c.what);
        ScriptedServer server([&](int i, const std::string&) {
            if (i == 0)
                return Reply{rest(c.etag, c.range, tail)};
            return Reply{answer("200 OK", "ETag: \"v2\"\r\n", v2)};
        });
        ASSERT_TRUE(server.ok());
        leave_half_of_v1(server.url("/pkg.zip"));
        ResumeOutcome out = run(server.url("/pkg.zip"));
        ASSERT_TRUE(out.complete) << out.reason;
        EXPECT_EQ(read_file(target), v2);
        EXPECT_EQ(server.ranges(),
                  (std::vector<std::string>{"bytes=" + std::to_string(half) + "-", ""}));
        std::filesystem::remove(target);
    }
}

// A 206 whose body is not the range it claims (an error page under the
// right Content-Range, a body cut short or running over, with a length or
// without) is a drop: asked again, and the part keeps v1's half alone, so
// no later run can complete it with those bytes.
TEST_F(Hostile, BodyThatIsNotItsRangeIsNeverAppended) {
    struct Case {
        const char* what;
        std::string body;
        bool with_length;
    };
    const std::string forty(40, 'e');
    for (const Case& c : {Case{"forty bytes with their length", forty, true},
                          Case{"forty bytes without a length", forty, false},
                          Case{"more than the range", v1.substr(half) + "trailing", false}}) {
        SCOPED_TRACE(c.what);
        ScriptedServer server([&](int, const std::string&) {
            return Reply{rest("\"v1\"", whole_range(), c.body, c.with_length)};
        });
        ASSERT_TRUE(server.ok());
        leave_half_of_v1(server.url("/pkg.zip"));
        ResumeOutcome out = run(server.url("/pkg.zip"));
        EXPECT_FALSE(out.complete);
        EXPECT_TRUE(out.gave_up);
        EXPECT_EQ(out.retries, 3);
        EXPECT_EQ(out.result, DOWNLOAD_RESULT_READ);
        EXPECT_EQ(out.reason, "the server's answer did not hold the part of the file it announced");
        EXPECT_EQ(server.ranges(),
                  std::vector<std::string>(4, "bytes=" + std::to_string(half) + "-"));
        EXPECT_FALSE(file_exists(target));
        EXPECT_EQ(read_file(part), v1.substr(0, half));
        ResumeRecord rec;
        ASSERT_EQ(resume_record_read(record, &rec), 1);
        EXPECT_EQ(rec.written, half);
    }
}

// What is not the package at all ends the run at once, says so, and
// leaves nothing behind.
TEST_F(Hostile, WhatIsNotThePackageIsNamedSo) {
    struct Case {
        const char* what;
        std::string reply;
        const char* reason;
    };
    const std::string n = std::to_string(v1.size());
    for (const Case& c :
         {Case{"web page as 200", answer("200 OK", "Content-Type: application/zip\r\n", PAGE),
               "the server sent something that is not the package (a web page)"},
          Case{"web page without a length",
               answer("200 OK", "", "\xEF\xBB\xBF\r\n<!DOCTYPE html>" + PAGE, false),
               "the server sent something that is not the package (a web page)"},
          Case{"206 unasked",
               answer("206 Partial Content", "Content-Range: bytes 0-99/" + n + "\r\n",
                      v1.substr(0, 100)),
               "the server sent something that is not the package (a part of a file where the "
               "whole file was asked for)"}}) {
        SCOPED_TRACE(c.what);
        ScriptedServer server([&](int, const std::string&) { return Reply{c.reply}; });
        ASSERT_TRUE(server.ok());
        ResumeOutcome out = run(server.url("/pkg.zip"));
        EXPECT_FALSE(out.complete);
        EXPECT_EQ(out.result, DOWNLOAD_RESULT_READ);
        EXPECT_EQ(out.reason, c.reason);
        EXPECT_TRUE(out.refused);
        EXPECT_EQ(dl.LastErrorText(), c.reason);
        EXPECT_EQ(server.ranges().size(), 1u);
        EXPECT_FALSE(file_exists(target));
        EXPECT_FALSE(file_exists(part));
        EXPECT_FALSE(file_exists(record));
    }
}

// A server sending past the bound, announced or not, is cut off there and
// what it sent is removed.
TEST_F(Hostile, DownloadPastTheBoundIsRemoved) {
    options.max_size = 64 * 1024;
    struct Case {
        const char* what;
        Reply reply;
    };
    for (const Case& c :
         {Case{"endless without a length",
               Reply{"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", true}},
          Case{"announced too large",
               Reply{"HTTP/1.1 200 OK\r\nContent-Length: 1073741824\r\n\r\n", true}}}) {
        SCOPED_TRACE(c.what);
        ScriptedServer server([&](int, const std::string&) { return c.reply; });
        ASSERT_TRUE(server.ok());
        ResumeOutcome out = run(server.url("/pkg.zip"));
        EXPECT_FALSE(out.complete);
        EXPECT_EQ(out.result, DOWNLOAD_RESULT_READ);
        EXPECT_EQ(out.detail, EFBIG);
        EXPECT_EQ(out.reason, "the server sent more than the 64 KiB a download may be");
        EXPECT_TRUE(out.refused);
        EXPECT_EQ(out.retries, 0);
        EXPECT_FALSE(file_exists(part));
        EXPECT_FALSE(file_exists(record));
        EXPECT_FALSE(file_exists(target));
    }
    EXPECT_EQ(PACKAGE_DOWNLOAD_MAX_SIZE, 256u * 1024 * 1024);
}

// A trickle below the low speed is given up with the reason, as a drop that
// is asked again.
TEST_F(Hostile, TrickleIsGivenUpAsADrop) {
    dl.SetLowSpeed(1000, 200);
    options.pauses_ms = {0};
    ScriptedServer server([&](int, const std::string&) {
        Reply r{answer("200 OK", "ETag: \"v1\"\r\n", v1.substr(0, 2000))};
        r.gap_ms = 20; // 50 bytes/s
        return r;
    });
    ASSERT_TRUE(server.ok());
    ResumeOutcome out = run(server.url("/pkg.zip"));
    EXPECT_FALSE(out.complete);
    EXPECT_TRUE(out.gave_up);
    EXPECT_EQ(out.retries, 1);
    EXPECT_EQ(out.reason, "the transfer stayed below 1000 bytes/s for 1 s");
    EXPECT_EQ(server.ranges().size(), 2u);
}

TEST(DownloadAnswer, JudgesAResumeAnswer) {
    DownloadAsk ask;
    ask.offset = 100;
    ask.if_range = "\"v1\"";
    ask.expected_total = 300;
    struct Case {
        const char* what;
        DownloadAnswer a;
        AnswerUse use;
    };
    auto a206 = [](const char* etag, const char* range, bool known, uint64_t len) {
        DownloadAnswer a;
        a.status = 206;
        a.etag = etag;
        a.content_range = range;
        a.length_known = known;
        a.content_length = len;
        return a;
    };
    for (const Case& c :
         {Case{"the rest", a206("\"v1\"", "bytes 100-299/300", true, 200), AnswerUse::Rest},
          Case{"chunked rest", a206("\"v1\"", "bytes 100-299/300", false, 0), AnswerUse::Rest},
          Case{"other etag", a206("\"v2\"", "bytes 100-299/300", true, 200), AnswerUse::Restart},
          Case{"weak etag", a206("W/\"v1\"", "bytes 100-299/300", true, 200), AnswerUse::Restart},
          Case{"unknown total", a206("\"v1\"", "bytes 100-299/*", true, 200), AnswerUse::Restart},
          Case{"short body", a206("\"v1\"", "bytes 100-299/300", true, 40), AnswerUse::Drop}}) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(download_judge_answer(ask, c.a).use, c.use);
    }
    DownloadAsk by_date = ask;
    by_date.if_range = "Tue, 01 Dec 2026 10:00:00 GMT";
    DownloadAnswer dated = a206("", "bytes 100-299/300", true, 200);
    EXPECT_EQ(download_judge_answer(by_date, dated).use, AnswerUse::Restart);
    dated.last_modified = by_date.if_range;
    EXPECT_EQ(download_judge_answer(by_date, dated).use, AnswerUse::Rest);
}

} // namespace
