// The state of one transfer of the download component, reached from
// libcurl's callbacks: what the answer said, what was written, and why the
// transfer ended. Private to the component (HttpDownload.cpp, HttpTransfer.cpp).
#pragma once

#include "online/HttpDownload.h"

#include <curl/curl.h>

#include <cstdint>
#include <string>

struct CHttpDownload::Transfer {
    CHttpDownload* self = nullptr;
    CURL* curl = nullptr;
    bool requestSent = false;
    bool sawLocation = false; // the current response names a new location
    bool good = false;        // the final response is 200 or 206: its body is the file
    int aborted = -1;         // result of a noticed abort (0 or 6), else -1
    long badStatus = 0;       // a final status other than 200/206
    int fileError = 0;        // errno of a failed write into the target
    uint32_t offset = 0;      // resume offset in effect
    bool lengthKnown = false;
    uint64_t contentLength = 0;
    uint64_t startTick = 0, lastReportTick = 0;
    uint64_t received = 0, receivedAtLastReport = 0;
    uint32_t lastPercent = 0;
    bool stalled = false;                         // nothing arrived for the stall time-out
    bool tooSlow = false;                         // below the low speed for its whole time
    bool rangeRefused = false;                    // a 206 that is not the rest asked for
    bool rangeShort = false;                      // a 206 whose body is not its range
    const char* notPackage = nullptr;             // what the server sent instead of the file
    bool bodyJudged = false;                      // the body's first bytes were looked at
    int64_t rangeLength = -1;                     // a 206: the bytes its range claims
    uint64_t slowSinceTick = 0;                   // start of the current low-speed window
    curl_off_t slowSinceReceived = 0;             // bytes seen by then
    std::string etag, lastModified, contentRange; // of the current response
    curl_off_t tickReceived = 0;                  // bytes seen by the last OnTick
    uint64_t lastByteTick = 0;                    // when they changed

    // Whether n more bytes after what the target holds stay within its bound.
    bool Fits(uint64_t n) const;
    // The end of a response's headers: decides what its body is.
    bool HeadersDone();
    static size_t OnHeader(char* data, size_t size, size_t count, void* user);
    static size_t OnBody(char* data, size_t size, size_t count, void* user);
    static int OnPrerequest(void* user, char*, char*, int, int);
    // Called about once a second even when nothing arrives: the abort flag,
    // a stalled server and a transfer below the low speed are seen within
    // that time.
    static int OnTick(void* user, curl_off_t, curl_off_t now_received, curl_off_t, curl_off_t);
};
