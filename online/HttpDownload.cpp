#include "online/HttpDownload.h"

#include "online/DownloadEnd.h"
#include "online/HttpTransfer.h"
#include "support/hex.h"
#include "support/log.h"
#include "support/platform.h"
#include "support/temp_dir.h"
#include "support/text.h"

#include <curl/curl.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <unistd.h>

namespace {

constexpr const char16_t* DEFAULT_USER_AGENT = u"Update";
// Bytes libcurl hands over per block: large enough that a fast transfer is
// not bound by callbacks, small enough that progress stays smooth.
constexpr long RECEIVE_BLOCK = 256 * 1024;
constexpr int STOP_WAIT_MS = 4000;

// The component whose transfer runs on this thread, if any: Stop called
// from within that transfer must not wait for itself.
thread_local const CHttpDownload* tl_transfer = nullptr;

void global_init() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::u16string u16(const std::string& s) {
    return utf8_to_wtext(s);
}
std::string u8(const std::u16string& s) {
    return wtext_to_utf8(s.c_str());
}

// Blanks, control characters and bytes beyond ASCII cannot stand in a
// request line: they go as %XX, everything else as it is.
std::string escape_unsafe(const std::string& url) {
    std::string out;
    for (char ch : url) {
        auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c >= 0x7F) {
            out += '%';
            out += hex_upper(&c, 1);
        } else {
            out += ch;
        }
    }
    return out;
}

// Outcome of reading a URL.
enum class UrlParse { Ok, NoUrl, OtherScheme };

// Parses an http or https URL into its parts.
UrlParse parse_url(const std::string& url, std::string* normalised, std::string* service,
                   std::string* server, int* port, std::string* path) {
    CURLU* u = curl_url();
    if (!u)
        return UrlParse::NoUrl;
    bool ok = curl_url_set(u, CURLUPART_URL, escape_unsafe(url).c_str(), 0) == CURLUE_OK;
    bool other_scheme = false;
    char* part = nullptr;
    auto get = [&](CURLUPart which, unsigned flags, std::string* out) {
        if (!ok)
            return;
        if (curl_url_get(u, which, &part, flags) != CURLUE_OK) {
            ok = false;
            return;
        }
        *out = part;
        curl_free(part);
        part = nullptr;
    };
    std::string port_text;
    get(CURLUPART_SCHEME, 0, service);
    if (ok && *service != "http" && *service != "https") {
        ok = false;
        other_scheme = true;
    }
    get(CURLUPART_HOST, 0, server);
    get(CURLUPART_PORT, CURLU_DEFAULT_PORT, &port_text);
    get(CURLUPART_PATH, 0, path);
    get(CURLUPART_URL, 0, normalised);
    if (ok) {
        std::string query;
        if (curl_url_get(u, CURLUPART_QUERY, &part, 0) == CURLUE_OK) {
            query = part;
            curl_free(part);
        }
        if (!query.empty())
            *path += "?" + query;
        *port = std::atoi(port_text.c_str());
    }
    curl_url_cleanup(u);
    if (other_scheme)
        return UrlParse::OtherScheme;
    return ok && !server->empty() ? UrlParse::Ok : UrlParse::NoUrl;
}

} // namespace

// The download library is set up on the first Start, not here: the window
// makes its component before it first shows, and no transfer is needed by
// then.
CHttpDownload::CHttpDownload() = default;

CHttpDownload::~CHttpDownload() {
    Stop();
    CloseTarget();
}

int CHttpDownload::Configure(DownloadOwner* owner, const DownloadRequest& request) {
    // A transfer on the component's thread reads these settings: it ends first.
    if (HasThread())
        Stop();
    owner_ = owner;
    request_ = request;
    maxSize_ = 0;
    refuseWebPages_ = false;
    ifRange_.clear();
    expectedTotal_ = -1;
    keepPartial_ = false;
    abort_ = 0;
    finished_ = 0;
    return 1;
}

void CHttpDownload::SetTimeouts(int connectMs, int stallMs) {
    connectTimeoutMs_ = connectMs;
    stallTimeoutMs_ = stallMs;
}

void CHttpDownload::SetLowSpeed(int bytesPerSecond, int ms) {
    lowSpeedBytesPerSecond_ = bytesPerSecond;
    lowSpeedMs_ = ms;
}

std::u16string CHttpDownload::Start(int synchronous) {
    if (HasThread())
        Stop();
    // Before any transfer thread of this process exists.
    global_init();
    UrlParse parsed =
        parse_url(u8(request_.url), &curlUrl_, &service_, &server_, &port_, &objectPath_);
    // Only a URL without any scheme gets "http://" in front: one of another
    // scheme, or a malformed one with a scheme, would turn into a request to
    // a host named after its scheme.
    if (parsed == UrlParse::NoUrl && request_.url.find(u"://") == std::u16string::npos) {
        request_.url = u"http://" + request_.url;
        parsed = parse_url(u8(request_.url), &curlUrl_, &service_, &server_, &port_, &objectPath_);
    }
    if (parsed != UrlParse::Ok)
        return u"Failed to parse the URL: " + request_.url + u"\n";

    CloseTarget();
    std::string path = u8(request_.target);
    bool exists = platform_path_kind(path, nullptr, true) != PLATFORM_PATH_MISSING;
    if (exists && request_.resume_offset == 0 && request_.fail_if_exists)
        return u"The file '" + request_.target + u"' already exists.";
    int how = PLATFORM_WRITE | PLATFORM_CREATE;
    if (!(exists && request_.resume_offset != 0))
        how |= PLATFORM_TRUNCATE;
    // Targets are files of the tool's own temporary directory: a link at the
    // name is refused rather than written through.
    fd_ = platform_open(path, how | PLATFORM_NO_LINK, 0600);
    if (fd_ < 0) {
        return u"An error occured while opening the file to be downloaded, Error:" +
               u16(std::to_string(errno));
    }
    if (lseek(fd_, static_cast<off_t>(request_.resume_offset), SEEK_SET) < 0 ||
        platform_truncate(fd_, static_cast<int64_t>(request_.resume_offset)) < 0) {
        int err = errno;
        CloseTarget();
        return u"An error occurred while seeking to the end of the file to be downloaded, Error:" +
               u16(std::to_string(err));
    }

    if (synchronous) {
        Run();
        return std::u16string();
    }
    {
        std::lock_guard<std::mutex> g(threadLock_);
        threadDone_ = false;
    }
    try {
        std::lock_guard<std::mutex> g(joinLock_);
        thread_ = std::thread(&CHttpDownload::ThreadMain, this);
    } catch (const std::system_error&) {
        std::lock_guard<std::mutex> g(threadLock_);
        threadDone_ = true;
        return u"Failed to create download thread, dialog is aborting\n";
    }
    return std::u16string();
}

void CHttpDownload::ThreadMain() {
    tl_transfer = this;
    Run();
    tl_transfer = nullptr;
    std::lock_guard<std::mutex> g(threadLock_);
    threadDone_ = true;
    threadEnded_.notify_all();
}

int CHttpDownload::HasThread() const {
    std::lock_guard<std::mutex> g(joinLock_);
    return thread_.joinable() ? 1 : 0;
}

void CHttpDownload::Abort() {
    if (!finished_.load())
        abort_ = 1;
}

void CHttpDownload::Stop() {
    Abort();
    // The first caller takes the thread to join it; a caller that comes
    // while it waits finds none and only waits for the transfer's end.
    std::thread transfer;
    {
        std::lock_guard<std::mutex> g(joinLock_);
        if (tl_transfer == this) {
            if (thread_.joinable())
                thread_.detach(); // called from the transfer itself: it ends on its own
            return;
        }
        transfer = std::move(thread_);
    }
    {
        std::unique_lock<std::mutex> l(threadLock_);
        if (!threadEnded_.wait_for(l, std::chrono::milliseconds(STOP_WAIT_MS),
                                   [this] { return threadDone_; })) {
            log_warn("HttpDownload", __LINE__, "CHttpDownload::Stop",
                     "download thread still running after %d ms; waiting for it to end",
                     STOP_WAIT_MS);
            threadEnded_.wait(l, [this] { return threadDone_; });
        }
    }
    if (transfer.joinable())
        transfer.join();
}

uint64_t CHttpDownload::Tick() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

void CHttpDownload::Post(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (owner_)
        owner_->post(message, wParam, lParam);
}

void CHttpDownload::CloseTarget() {
    if (fd_ >= 0) {
        platform_close(fd_);
        fd_ = -1;
    }
}

void CHttpDownload::Finish(int result) {
    CloseTarget();
    lastResult_ = result;
    finished_ = 1;
    Post(UWM_DOWNLOAD_FINISHED, static_cast<uintptr_t>(result), 0);
}

int CHttpDownload::OnConnected() {
    return 1;
}

std::string CHttpDownload::LastErrorText() const {
    if (!lastWhy_.empty())
        return lastWhy_;
    int code = lastCurlCode_.load();
    return code == 0 ? std::string() : std::string(curl_easy_strerror(static_cast<CURLcode>(code)));
}

void CHttpDownload::OnError(int kind, intptr_t detail) {
    CloseTarget();
    if (!keepPartial_)
        platform_remove(u8(request_.target));
    lastResult_ = kind;
    finished_ = 1;
    Post(UWM_DOWNLOAD_FINISHED, static_cast<uintptr_t>(kind), detail);
}

void CHttpDownload::OnProgress(uint64_t /*startTick*/, uint64_t& lastReportTick, uint64_t received,
                               uint64_t& receivedAtLastReport, uint32_t& lastPercent,
                               bool lengthKnown, uint64_t contentLength) {
    if (lengthKnown) {
        double whole = static_cast<double>(contentLength) + resumeOffsetInEffect_;
        double got = static_cast<double>(received) + resumeOffsetInEffect_;
        uint32_t percent = whole > 0 ? static_cast<uint32_t>(got * 100.0 / whole) : 100;
        if (percent != lastPercent) {
            Post(UWM_DOWNLOAD_PERCENT, percent, 0);
            lastPercent = percent;
        }
    }
    uint64_t now = Tick();
    if (now - lastReportTick <= 1000)
        return;
    double kb = static_cast<double>(received - receivedAtLastReport) / 1024.0;
    double seconds = static_cast<double>(now - lastReportTick) / 1000.0;
    auto speed = static_cast<uintptr_t>(kb / seconds * 100000.0);
    lastReportTick = now;
    receivedAtLastReport = received;
    Post(UWM_DOWNLOAD_SPEED, speed, static_cast<intptr_t>(received));
}

void CHttpDownload::Run() {
    running_ = 1;
    struct Running {
        std::atomic<int>& flag;
        ~Running() { flag = 0; }
    } running{running_};
    resumeOffsetInEffect_ = request_.resume_offset;
    lastResult_ = -1;
    lastReceived_ = 0;
    lastAnnounced_ = -1;
    lastCurlCode_ = 0;
    lastWhy_.clear();
    lastStatus_ = 0;
    lastETag_.clear();
    lastModified_.clear();
    lastTotal_ = -1;

    CURL* curl = curl_easy_init();
    if (!curl) {
        OnError(DOWNLOAD_RESULT_SESSION, 0);
        return;
    }
    struct Cleanup {
        CURL* c;
        curl_slist* headers = nullptr;
        ~Cleanup() {
            curl_slist_free_all(headers);
            curl_easy_cleanup(c);
        }
    } cleanup{curl};
    if (abort_.load()) {
        Finish(DOWNLOAD_RESULT_OK);
        return;
    }
    if (!OnConnected())
        return;

    Transfer t;
    t.self = this;
    t.curl = curl;
    t.offset = request_.resume_offset;

    std::string agent = u8(userAgent_.empty() ? std::u16string(DEFAULT_USER_AGENT) : userAgent_);
    curl_easy_setopt(curl, CURLOPT_URL, curlUrl_.c_str());
    curl_easy_setopt(curl, CURLOPT_USERAGENT, agent.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, RECEIVE_BLOCK);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectTimeoutMs_));
    // Always from the server, never from a cache on the way.
    cleanup.headers = curl_slist_append(cleanup.headers, "Pragma: no-cache");
    cleanup.headers = curl_slist_append(cleanup.headers, "Cache-Control: no-cache");
    cleanup.headers = curl_slist_append(cleanup.headers, "Accept: */*");
    if (request_.resume_offset != 0) {
        std::string range = "Range: bytes=" + std::to_string(request_.resume_offset) + "-";
        cleanup.headers = curl_slist_append(cleanup.headers, range.c_str());
        if (!ifRange_.empty()) {
            std::string ifRange = "If-Range: " + ifRange_;
            cleanup.headers = curl_slist_append(cleanup.headers, ifRange.c_str());
        }
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, cleanup.headers);

    std::string proxy = u8(request_.proxy_server), proxyUser = u8(request_.proxy_user_name),
                proxyPass = u8(request_.proxy_password), user = u8(request_.user_name),
                pass = u8(request_.password);
    if (request_.access_mode == DOWNLOAD_ACCESS_DIRECT) {
        curl_easy_setopt(curl, CURLOPT_PROXY, "");
        curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    } else if (request_.access_mode == DOWNLOAD_ACCESS_PROXY) {
        curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
    }
    if (!proxyUser.empty()) {
        curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, proxyUser.c_str());
        curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, proxyPass.c_str());
        curl_easy_setopt(curl, CURLOPT_PROXYAUTH, CURLAUTH_ANY);
    }
    if (!user.empty()) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, user.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, pass.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_ANY);
    }

    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, &Transfer::OnPrerequest);
    curl_easy_setopt(curl, CURLOPT_PREREQDATA, &t);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &Transfer::OnTick);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);

    if (abort_.load()) {
        Finish(DOWNLOAD_RESULT_OK);
        return;
    }
    CURLcode rc = curl_easy_perform(curl);

    TransferFacts facts;
    facts.curl_result = static_cast<int>(rc);
    facts.aborted = t.aborted;
    facts.abort_requested = abort_.load() != 0;
    facts.good = t.good;
    if (!t.good)
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &facts.response_code);
    facts.bad_status = t.badStatus;
    facts.not_package = t.notPackage;
    facts.refuse_web_pages = refuseWebPages_;
    facts.file_error = t.fileError;
    facts.max_size = maxSize_;
    facts.range_refused = t.rangeRefused;
    facts.range_short = t.rangeShort;
    facts.range_length = t.rangeLength;
    facts.received = t.received;
    facts.length_known = t.lengthKnown;
    facts.content_length = t.contentLength;
    facts.stalled = t.stalled;
    facts.too_slow = t.tooSlow;
    facts.low_speed_bytes_per_second = lowSpeedBytesPerSecond_;
    facts.low_speed_ms = lowSpeedMs_;
    TransferEnd end = download_judge_end(facts);
    if (!end.failed) {
        Finish(end.result);
        return;
    }
    if (end.cut_part && platform_truncate(fd_, static_cast<int64_t>(request_.resume_offset)) != 0)
        keepPartial_ = false;
    if (end.last_status >= 0)
        lastStatus_ = end.last_status;
    lastCurlCode_ = end.curl_code;
    lastWhy_ = end.why;
    OnError(end.result, end.detail);
}

DownloadOutcome download_file(CHttpDownload& dl, DownloadOwner* owner, const std::u16string& url,
                              const std::u16string& target, uint64_t max_size) {
    struct Capture : DownloadOwner {
        DownloadOwner* next = nullptr;
        DownloadOutcome* out = nullptr;
        void post(uint32_t message, uintptr_t wParam, intptr_t lParam) override {
            if (message == UWM_DOWNLOAD_FINISHED) {
                out->result = static_cast<int>(wParam);
                out->detail = lParam;
            }
            if (next)
                next->post(message, wParam, lParam);
        }
    };
    DownloadOutcome outcome;
    Capture capture;
    capture.next = owner;
    capture.out = &outcome;
    DownloadRequest request;
    request.url = url;
    request.target = target;
    dl.Configure(&capture, request);
    dl.SetMaxSize(max_size);
    outcome.startError = dl.Start(1);
    // The component keeps no reference to the capture once it is gone.
    dl.SetOwner(owner);
    return outcome;
}
