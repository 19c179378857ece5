#include "online/HttpTransfer.h"

#include "online/DownloadAnswer.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <strings.h>
#include <thread>
#include <unistd.h>

namespace {

bool has_header(const char* line, size_t n, const char* name) {
    size_t len = std::strlen(name);
    return n > len && strncasecmp(line, name, len) == 0 && line[len] == ':';
}

// The value of a header line, without the blanks around it.
std::string header_value(const char* line, size_t n) {
    const char* colon = static_cast<const char*>(std::memchr(line, ':', n));
    if (!colon)
        return std::string();
    std::string v(colon + 1, line + n);
    size_t b = v.find_first_not_of(" \t\r\n");
    size_t e = v.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? std::string() : v.substr(b, e - b + 1);
}

} // namespace

bool CHttpDownload::Transfer::Fits(uint64_t n) const {
    uint64_t limit = self->maxSize_;
    uint64_t held = uint64_t(offset) + received;
    return limit == 0 || (held <= limit && n <= limit - held);
}

bool CHttpDownload::Transfer::HeadersDone() {
    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    if (code / 100 == 1)
        return true; // interim answer; the real one follows
    if (code / 100 == 3 && sawLocation)
        return true; // followed by libcurl
    if ((code == 401 && !self->request_.user_name.empty()) ||
        (code == 407 && !self->request_.proxy_user_name.empty()))
        return true; // libcurl answers the challenge; the final status is checked at the end
    self->lastStatus_ = code;
    self->lastETag_ = etag;
    self->lastModified_ = lastModified;
    if (code != 200 && code != 206) {
        badStatus = code;
        return false;
    }
    DownloadAsk ask;
    ask.offset = offset;
    ask.if_range = offset != 0 ? self->ifRange_ : std::string();
    ask.expected_total = self->expectedTotal_;
    DownloadAnswer answer;
    answer.status = code;
    answer.etag = etag;
    answer.last_modified = lastModified;
    answer.content_range = contentRange;
    curl_off_t length = -1;
    if (curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
        length >= 0) {
        answer.length_known = true;
        answer.content_length = static_cast<uint64_t>(length);
    }
    AnswerVerdict verdict = download_judge_answer(ask, answer);
    switch (verdict.use) {
    case AnswerUse::NotPackage:
        notPackage = "a part of a file where the whole file was asked for";
        return false;
    case AnswerUse::Restart:
        // Only the rest of the very file the target holds may be
        // appended to it.
        rangeRefused = true;
        return false;
    case AnswerUse::Drop:
        // The part is sound: its length stays known for the next try.
        self->lastTotal_ = verdict.total;
        rangeShort = true;
        return false;
    case AnswerUse::Whole:
    case AnswerUse::Rest:
        break;
    }
    int64_t rangeTotal = code == 206 ? verdict.total : -1;
    rangeLength = verdict.range_length;
    if (code == 200 && offset != 0) {
        // The server ignored the range and sends the whole file: start
        // the target afresh rather than append the file after its part.
        if (lseek(self->fd_, 0, SEEK_SET) < 0 || ftruncate(self->fd_, 0) < 0) {
            fileError = errno;
            return false;
        }
        offset = 0;
        self->resumeOffsetInEffect_ = 0;
    }
    good = true;
    lengthKnown = answer.length_known;
    contentLength = answer.content_length;
    self->lastAnnounced_ = lengthKnown ? static_cast<int64_t>(contentLength) : -1;
    if (rangeTotal >= 0)
        self->lastTotal_ = rangeTotal;
    else if (lengthKnown)
        self->lastTotal_ = static_cast<int64_t>(offset + contentLength);
    if (lengthKnown && self->maxSize_ != 0 &&
        (offset > self->maxSize_ || contentLength > self->maxSize_ - offset)) {
        fileError = EFBIG; // announced larger than the target may grow
        return false;
    }
    self->Post(UWM_DOWNLOAD_SIZE, static_cast<uintptr_t>(contentLength),
               static_cast<intptr_t>(offset));
    startTick = lastReportTick = Tick();
    received = receivedAtLastReport = 0;
    lastPercent = 0;
    if (self->abort_.load()) {
        aborted = DOWNLOAD_RESULT_ABORTED;
        return false;
    }
    return true;
}

size_t CHttpDownload::Transfer::OnHeader(char* data, size_t size, size_t count, void* user) {
    Transfer* t = static_cast<Transfer*>(user);
    size_t n = size * count;
    if (n >= 5 && std::memcmp(data, "HTTP/", 5) == 0) {
        t->sawLocation = false;
        t->good = false;
        t->etag.clear();
        t->lastModified.clear();
        t->contentRange.clear();
    } else if (has_header(data, n, "Location")) {
        t->sawLocation = true;
    } else if (has_header(data, n, "ETag")) {
        t->etag = header_value(data, n);
    } else if (has_header(data, n, "Last-Modified")) {
        t->lastModified = header_value(data, n);
    } else if (has_header(data, n, "Content-Range")) {
        t->contentRange = header_value(data, n);
    } else if ((n == 2 && data[0] == '\r' && data[1] == '\n') || (n == 1 && data[0] == '\n')) {
        if (!t->HeadersDone())
            return 0;
    }
    return n;
}

size_t CHttpDownload::Transfer::OnBody(char* data, size_t size, size_t count, void* user) {
    Transfer* t = static_cast<Transfer*>(user);
    CHttpDownload* d = t->self;
    size_t n = size * count;
    if (!t->good)
        return n; // body of an interim, redirect or challenge answer
    if (d->abort_.load()) {
        t->aborted = DOWNLOAD_RESULT_ABORTED;
        return 0;
    }
    if (!t->bodyJudged && n > 0) {
        t->bodyJudged = true;
        if (d->refuseWebPages_ && download_looks_like_web_page(data, n)) {
            t->notPackage = "a web page";
            return 0;
        }
    }
    if (t->rangeLength >= 0 && t->received + n > static_cast<uint64_t>(t->rangeLength)) {
        // More than its range claims: it is not that range.
        t->rangeShort = true;
        return 0;
    }
    if (!t->Fits(n)) {
        // A server that sends more than it announced, or announced
        // nothing, is cut off at the bound.
        t->fileError = EFBIG;
        return 0;
    }
    for (size_t done = 0; done < n;) {
        ssize_t w = write(d->fd_, data + done, n - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            t->fileError = w < 0 ? errno : EIO;
            return 0;
        }
        done += static_cast<size_t>(w);
    }
    if (d->request_.rate_limit > 0) {
        // Bytes received so far should have taken received / limit ms.
        double due = static_cast<double>(t->received) / d->request_.rate_limit;
        double elapsed = static_cast<double>(Tick() - t->startTick);
        if (due > elapsed) {
            auto until = std::chrono::steady_clock::now() +
                         std::chrono::milliseconds(static_cast<int64_t>(due - elapsed));
            while (std::chrono::steady_clock::now() < until && !d->abort_.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    t->received += n;
    d->lastReceived_ = t->received;
    d->OnProgress(t->startTick, t->lastReportTick, t->received, t->receivedAtLastReport,
                  t->lastPercent, t->lengthKnown, t->contentLength);
    return n;
}

int CHttpDownload::Transfer::OnPrerequest(void* user, char*, char*, int, int) {
    Transfer* t = static_cast<Transfer*>(user);
    if (t->self->abort_.load()) {
        t->aborted = DOWNLOAD_RESULT_OK;
        return CURL_PREREQFUNC_ABORT;
    }
    t->requestSent = true;
    return CURL_PREREQFUNC_OK;
}

int CHttpDownload::Transfer::OnTick(void* user, curl_off_t, curl_off_t now_received, curl_off_t,
                                    curl_off_t) {
    Transfer* t = static_cast<Transfer*>(user);
    uint64_t now = Tick();
    if (now_received != t->tickReceived || t->lastByteTick == 0) {
        t->tickReceived = now_received;
        t->lastByteTick = now;
    } else if (now - t->lastByteTick > static_cast<uint64_t>(t->self->stallTimeoutMs_)) {
        t->stalled = true;
        return 1;
    }
    if (t->requestSent && t->self->lowSpeedBytesPerSecond_ > 0 && t->self->lowSpeedMs_ > 0) {
        // Whole windows of the low-speed time: one that brought less
        // than the low speed's worth ends the transfer.
        if (t->slowSinceTick == 0) {
            t->slowSinceTick = now;
            t->slowSinceReceived = now_received;
        } else if (now - t->slowSinceTick >= static_cast<uint64_t>(t->self->lowSpeedMs_)) {
            double due = static_cast<double>(t->self->lowSpeedBytesPerSecond_) *
                         static_cast<double>(now - t->slowSinceTick) / 1000.0;
            if (static_cast<double>(now_received - t->slowSinceReceived) < due) {
                t->tooSlow = true;
                return 1;
            }
            t->slowSinceTick = now;
            t->slowSinceReceived = now_received;
        }
    }
    if (!t->self->abort_.load())
        return 0;
    if (t->aborted < 0)
        t->aborted = t->requestSent ? DOWNLOAD_RESULT_ABORTED : DOWNLOAD_RESULT_OK;
    return 1;
}
