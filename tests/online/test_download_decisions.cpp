// The download component's decisions as plain functions: how a transfer
// ended, what a Content-Range says, whether a body is a web page, how a
// bound reads.
#include "online/DownloadAnswer.h"
#include "online/DownloadEnd.h"
#include "online/messages.h"

#include <gtest/gtest.h>

#include <curl/curl.h>

#include <cerrno>
#include <functional>
#include <string>

namespace {

TEST(DownloadEnd, EachWayATransferEndsHasItsResultCodeAndWords) {
    struct Case {
        const char* what;
        std::function<void(TransferFacts&)> set;
        bool failed;
        int result;
        intptr_t detail;
        int curl;
        const char* why;
    };
    auto good = [](TransferFacts& f) { f.good = true; };
    const Case cases[] = {
        {"complete", good, false, DOWNLOAD_RESULT_OK, 0, 0, ""},
        {"aborted after the request",
         [&](TransferFacts& f) {
             good(f);
             f.abort_requested = true;
         },
         false, DOWNLOAD_RESULT_ABORTED, 0, 0, ""},
        {"noticed abort wins over all",
         [](TransferFacts& f) {
             f.aborted = DOWNLOAD_RESULT_ABORTED;
             f.file_error = EIO;
             f.bad_status = 500;
         },
         false, DOWNLOAD_RESULT_ABORTED, 0, 0, ""},
        {"web page instead of the package",
         [](TransferFacts& f) {
             f.not_package = "a web page";
             f.refuse_web_pages = true;
             f.file_error = EIO;
         },
         true, DOWNLOAD_RESULT_READ, CURLE_WEIRD_SERVER_REPLY, CURLE_WEIRD_SERVER_REPLY,
         "the server sent something that is not the package (a web page)"},
        {"part nobody asked for", [](TransferFacts& f) { f.not_package = "a part of a file"; },
         true, DOWNLOAD_RESULT_READ, CURLE_WEIRD_SERVER_REPLY, CURLE_WEIRD_SERVER_REPLY,
         "the server sent something that is not the file asked for (a part of a file)"},
        {"past the bound",
         [](TransferFacts& f) {
             f.file_error = EFBIG;
             f.max_size = 256ull * 1024 * 1024;
         },
         true, DOWNLOAD_RESULT_READ, EFBIG, CURLE_FILESIZE_EXCEEDED,
         "the server sent more than the 256 MiB a download may be"},
        {"write failed", [](TransferFacts& f) { f.file_error = ENOSPC; }, true,
         DOWNLOAD_RESULT_READ, ENOSPC, CURLE_WRITE_ERROR, ""},
        {"range refused",
         [](TransferFacts& f) {
             f.range_refused = true;
             f.too_slow = true;
         },
         true, DOWNLOAD_RESULT_READ, CURLE_RANGE_ERROR, CURLE_RANGE_ERROR, ""},
        {"range body ended short",
         [](TransferFacts& f) {
             f.good = true;
             f.range_length = 200;
             f.received = 150;
         },
         true, DOWNLOAD_RESULT_READ, CURLE_PARTIAL_FILE, CURLE_PARTIAL_FILE,
         "the server's answer did not hold the part of the file it announced"},
        {"too slow after the answer",
         [](TransferFacts& f) {
             f.good = true;
             f.too_slow = true;
             f.low_speed_bytes_per_second = 1000;
             f.low_speed_ms = 1500;
             f.curl_result = CURLE_ABORTED_BY_CALLBACK;
         },
         true, DOWNLOAD_RESULT_READ, CURLE_OPERATION_TIMEDOUT, CURLE_OPERATION_TIMEDOUT,
         "the transfer stayed below 1000 bytes/s for 2 s"},
        {"stalled before an answer",
         [](TransferFacts& f) {
             f.stalled = true;
             f.curl_result = CURLE_ABORTED_BY_CALLBACK;
         },
         true, DOWNLOAD_RESULT_CONNECT, CURLE_OPERATION_TIMEDOUT, CURLE_OPERATION_TIMEDOUT, ""},
        {"bad status",
         [](TransferFacts& f) {
             f.bad_status = 404;
             f.curl_result = CURLE_WRITE_ERROR;
         },
         true, DOWNLOAD_RESULT_HTTP_STATUS, 404, CURLE_HTTP_RETURNED_ERROR, ""},
        {"dropped while reading",
         [](TransferFacts& f) {
             f.good = true;
             f.curl_result = CURLE_RECV_ERROR;
         },
         true, DOWNLOAD_RESULT_READ, CURLE_RECV_ERROR, CURLE_RECV_ERROR, ""},
        {"no HTTP answer", [](TransferFacts& f) { f.curl_result = CURLE_GOT_NOTHING; }, true,
         DOWNLOAD_RESULT_STATUS_UNREAD, CURLE_GOT_NOTHING, CURLE_GOT_NOTHING, ""},
        {"refused connection", [](TransferFacts& f) { f.curl_result = CURLE_COULDNT_CONNECT; },
         true, DOWNLOAD_RESULT_CONNECT, CURLE_COULDNT_CONNECT, CURLE_COULDNT_CONNECT, ""},
        {"unmet challenge", [](TransferFacts& f) { f.response_code = 401; }, true,
         DOWNLOAD_RESULT_HTTP_STATUS, 401, CURLE_HTTP_RETURNED_ERROR, ""},
        {"nothing at all", [](TransferFacts&) {}, true, DOWNLOAD_RESULT_STATUS_UNREAD, 0,
         CURLE_GOT_NOTHING, ""},
        {"body short of its length",
         [](TransferFacts& f) {
             f.good = true;
             f.length_known = true;
             f.content_length = 100;
             f.received = 99;
         },
         true, DOWNLOAD_RESULT_READ, CURLE_PARTIAL_FILE, CURLE_PARTIAL_FILE, ""},
        {"short body of an aborted transfer",
         [](TransferFacts& f) {
             f.good = true;
             f.length_known = true;
             f.content_length = 100;
             f.received = 99;
             f.abort_requested = true;
         },
         false, DOWNLOAD_RESULT_ABORTED, 0, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TransferFacts f;
        c.set(f);
        TransferEnd e = download_judge_end(f);
        EXPECT_EQ(e.failed, c.failed);
        EXPECT_EQ(e.result, c.result);
        EXPECT_EQ(e.detail, c.detail);
        EXPECT_EQ(e.curl_code, c.curl);
        EXPECT_EQ(e.why, c.why);
    }
}

// Only a short range cuts the part back; only an answer that was not the
// file names its status at the end (the others were taken as they came).
TEST(DownloadEnd, CutsThePartAndNamesTheStatusOnlyWhereItShould) {
    TransferFacts f;
    f.good = true;
    f.range_short = true;
    EXPECT_TRUE(download_judge_end(f).cut_part);
    EXPECT_EQ(download_judge_end(f).last_status, -1);
    f.range_short = false;
    f.length_known = true;
    f.content_length = 10;
    EXPECT_FALSE(download_judge_end(f).cut_part);

    TransferFacts challenge;
    challenge.response_code = 407;
    EXPECT_EQ(download_judge_end(challenge).last_status, 407);
    challenge.response_code = 0;
    EXPECT_EQ(download_judge_end(challenge).last_status, 0);
}

TEST(DownloadAnswer, ReadsContentRange) {
    struct Case {
        const char* text;
        bool ok;
        uint64_t first, last;
        int64_t total;
    };
    const Case cases[] = {
        {"bytes 100-299/300", true, 100, 299, 300},
        {"bytes 0-0/1", true, 0, 0, 1},
        {"bytes 100-299/*", true, 100, 299, -1},
        {"bytes 100-299/299", false, 0, 0, 0}, // last beyond the total
        {"bytes 300-299/400", false, 0, 0, 0}, // backwards
        {"bytes 100-299/", false, 0, 0, 0},
        {"bytes 100-299/3x0", false, 0, 0, 0},
        {"bytes 100-299/1234567890123456789", false, 0, 0, 0}, // past 18 digits
        {"items 100-299/300", false, 0, 0, 0},
        {"", false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        uint64_t first = 7, last = 7;
        int64_t total = 7;
        ASSERT_EQ(download_parse_content_range(c.text, &first, &last, &total), c.ok);
        if (c.ok) {
            EXPECT_EQ(first, c.first);
            EXPECT_EQ(last, c.last);
            EXPECT_EQ(total, c.total);
        }
    }
}

TEST(DownloadAnswer, TellsAWebPageFromAFile) {
    struct Case {
        std::string body;
        bool page;
    };
    const Case cases[] = {
        {"<!DOCTYPE html><html>", true},
        {"\xEF\xBB\xBF  \r\n<HTML>", true},
        {"\t<?xml version=\"1.0\"?>", true},
        {"<!-- error -->", true},
        {"<body>", true},
        {"PK\x03\x04", false},
        {"<htm", false}, // cut before the tag is whole
        {"", false},
        {"   ", false},
        {"text <html>", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        EXPECT_EQ(download_looks_like_web_page(c.body.data(), c.body.size()), c.page);
    }
}

TEST(DownloadAnswer, SizeBoundReadsInItsLargestWholeUnit) {
    EXPECT_EQ(download_size_text(256ull * 1024 * 1024), "256 MiB");
    EXPECT_EQ(download_size_text(64 * 1024), "64 KiB");
    EXPECT_EQ(download_size_text(1024 * 1024 + 1024), "1025 KiB");
    EXPECT_EQ(download_size_text(1000), "1000 bytes");
    EXPECT_EQ(download_size_text(0), "0 bytes");
}

} // namespace
