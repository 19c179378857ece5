// CHttpDownload: fetches one file over HTTP or HTTPS into a file on disk and
// reports its size, percentage, speed and end to an owner (online/messages.h).
//
// Use: Configure, then Start (synchronously, or on the component's own
// thread), then Stop when the end message has arrived or the owner goes away.
// Every Run ends with exactly one UWM_DOWNLOAD_FINISHED, the last message of
// the transfer (unless OnConnected declines). A failed transfer deletes its
// target (unless SetKeepPartial); an aborted one leaves it. HTTPS certificates and host names are
// verified: a refused certificate ends with result 2.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "online/messages.h"

// Access modes of Configure.
inline constexpr int DOWNLOAD_ACCESS_PRECONFIG = 0; // the system's proxy settings (environment)
inline constexpr int DOWNLOAD_ACCESS_DIRECT = 1;    // no proxy
inline constexpr int DOWNLOAD_ACCESS_PROXY = 2;     // the configured proxy server

// What one transfer fetches and how: Configure's settings. Only url and
// target must be given; the rest defaults to the system's proxy settings,
// no credentials, no rate limit, the whole file.
struct DownloadRequest {
    std::u16string url{};
    std::u16string target{}; // the file written
    int access_mode = DOWNLOAD_ACCESS_PRECONFIG;
    std::u16string proxy_server{}, proxy_user_name{}, proxy_password{};
    std::u16string user_name{}, password{}; // the server's; empty: none
    int fail_if_exists = 0;                 // Start refuses a target that exists (unless resuming)
    int prompt_for_proxy_credentials = 0;
    int prompt_for_credentials = 0;
    double rate_limit = 0.0;    // bytes per millisecond; 0 or less: none
    uint32_t resume_offset = 0; // 0 downloads from the start
};

class CHttpDownload {
  public:
    CHttpDownload();
    // Stops a running transfer (see Stop).
    virtual ~CHttpDownload();
    CHttpDownload(const CHttpDownload&) = delete;
    CHttpDownload& operator=(const CHttpDownload&) = delete;

    // Stores the request, clears the other settings below (bound, web-page
    // refusal, resume validator, keeping a part) and the abort and finished
    // flags. owner may be null (no messages). A transfer still running on
    // the component's thread is stopped first. Returns 1.
    int Configure(DownloadOwner* owner, const DownloadRequest& request);

    // Parses the URL (one without scheme gets "http://" in front), opens the
    // target (never through a link at its name; a new file is this user's
    // alone) and cuts it at the resume offset, then runs the transfer: with
    // synchronous set on this thread, returning when it has ended; otherwise
    // on a new thread, returning at once. Returns the empty text when started
    // (or finished), else the error text; no message is posted then.
    std::u16string Start(int synchronous);

    // Sets the abort flag unless the transfer has finished; waits for the
    // component's thread, if any, to end. An aborted transfer notices the flag
    // within about a second, so the wait is short; past 4000 ms it is logged
    // and the wait goes on, because the thread still uses this object.
    // Several threads may stop the component at once: one of them joins the
    // thread, the others wait for its end. Not to be called from the
    // owner's post().
    void Stop();

    // Sets the abort flag unless the transfer has finished (the window's
    // Open button does this while the version file downloads).
    void Abort();

    // 1 once the transfer has ended (its end message posted).
    int IsFinished() const { return finished_.load(); }
    // 1 while Run executes, on any thread.
    int IsRunning() const { return running_.load(); }
    // 1 while the component's own thread exists (started and not yet
    // waited for by Stop).
    int HasThread() const;

    // How the last transfer ended: its UWM_DOWNLOAD_FINISHED result (-1
    // before the first end), the body bytes written into the target, and
    // the length the server announced (-1 when it announced none). Read
    // them once the transfer has ended.
    int LastResult() const { return lastResult_.load(); }
    uint64_t LastReceived() const { return lastReceived_.load(); }
    int64_t LastAnnounced() const { return lastAnnounced_.load(); }

    // What the last transfer's final answer said (read once it has ended):
    // its HTTP status (0 when none came), ETag and Last-Modified (empty when
    // absent), and the whole file's length: the total of a 206's
    // Content-Range, the length of a 200 (-1 when unknown).
    long LastStatus() const { return lastStatus_; }
    const std::string& LastETag() const { return lastETag_; }
    const std::string& LastModified() const { return lastModified_; }
    int64_t LastTotal() const { return lastTotal_; }
    // The libcurl code that describes why the last transfer failed (a bad
    // status, a refused range, a short body and a failed write get the
    // libcurl code of that kind of failure); 0 after a success or an abort.
    int LastCurlCode() const { return lastCurlCode_.load(); }
    // Why the last transfer failed: the component's own words (lower case,
    // no full stop) where it refused an answer, gave up on a slow transfer
    // or cut one at the size bound, else libcurl's message for
    // LastCurlCode(); empty when it is 0.
    std::string LastErrorText() const;

    // Replaces the owner messages go to (null: none). Not while running.
    void SetOwner(DownloadOwner* owner) { owner_ = owner; }

    // The user agent; empty (the default) sends "Update".
    void SetUserAgent(const std::u16string& agent) { userAgent_ = agent; }

    // How long a connection may take to be made, and how long a transfer may
    // go without receiving a byte, before it fails (defaults 30 s and 60 s).
    void SetTimeouts(int connectMs, int stallMs);
    // The low speed a transfer gives up below: one that brings less than
    // bytesPerSecond on average over a whole ms, from its request on, ends
    // with result 3 (or 2 before an answer came), curl code
    // CURLE_OPERATION_TIMEDOUT, a drop worth asking again. Defaults 100
    // bytes/s over 60 s: far below any real line, so only a server that
    // trickles (or a line that all but died) is given up. 0: no limit.
    void SetLowSpeed(int bytesPerSecond, int ms);

    // Resuming a download (set after Configure, before Start; Configure
    // clears them). The validator (a strong ETag or a Last-Modified date) goes
    // out as If-Range beside the range, so a server whose file changed sends
    // it whole (200) and the target starts afresh. A 206 that does not give
    // the validator back, whose Content-Range does not start at the resume
    // offset, or whose total differs from expectedTotal (when that is 0 or
    // more), is refused before a byte is written: result 3, curl code
    // CURLE_RANGE_ERROR. One whose body is announced, or turns out, other
    // than its range is a drop: result 3, CURLE_PARTIAL_FILE, and the target
    // keeps only what it held before. A 206 to a request without a range is
    // not the file: result 3, CURLE_WEIRD_SERVER_REPLY.
    void SetResumeValidator(const std::string& validator, int64_t expectedTotal) {
        ifRange_ = validator;
        expectedTotal_ = expectedTotal;
    }
    // With keep set, a failed or aborted transfer leaves what it wrote in the
    // target instead of deleting it, so a later transfer can resume it.
    void SetKeepPartial(bool keep) { keepPartial_ = keep; }

    // The most the target may grow to (0: no bound). A transfer whose
    // announced length or whose received bytes would pass it ends with
    // result 3 (detail EFBIG) and its target deleted. Configure clears it,
    // so a bound set for one file never holds for the next; set it after
    // Configure, before Start.
    void SetMaxSize(uint64_t bytes) { maxSize_ = bytes; }
    // With refuse set, a body that begins as a web page (a server's error
    // or login page sent as 200) is not written: result 3, curl code
    // CURLE_WEIRD_SERVER_REPLY. For files that are never pages (packages).
    // Configure clears it.
    void SetRefuseWebPages(bool refuse) { refuseWebPages_ = refuse; }

    // The URL as used (with "http://" put in front by Start when it had no
    // scheme) and the target path.
    const std::u16string& Url() const { return request_.url; }
    const std::u16string& TargetPath() const { return request_.target; }

    // Parts of the parsed URL: "http" or "https", server, port, object path
    // (with the query). Valid after a successful Start.
    const std::string& ServiceType() const { return service_; }
    const std::string& ServerName() const { return server_; }
    int Port() const { return port_; }
    const std::string& ObjectPath() const { return objectPath_; }

  protected:
    // Called once the transfer is set up, before the request; 0 ends Run
    // without any message. Returns 1.
    virtual int OnConnected();
    // Closes and deletes the target, marks the transfer finished and posts
    // UWM_DOWNLOAD_FINISHED (kind, detail).
    virtual void OnError(int kind, intptr_t detail);
    // The transfer itself; ends with exactly one end message.
    virtual void Run();
    // After each received block: posts UWM_DOWNLOAD_PERCENT when the whole
    // percentage changed (length known only) and UWM_DOWNLOAD_SPEED when more
    // than 1000 ms passed since the last speed report.
    virtual void OnProgress(uint64_t startTick, uint64_t& lastReportTick, uint64_t received,
                            uint64_t& receivedAtLastReport, uint32_t& lastPercent, bool lengthKnown,
                            uint64_t contentLength);

    // Milliseconds on a monotonic clock.
    static uint64_t Tick();
    void Post(uint32_t message, uintptr_t wParam, intptr_t lParam);

  private:
    struct Transfer;
    friend struct Transfer;

    void ThreadMain();
    void Finish(int result);
    void CloseTarget();

    // Settings.
    DownloadOwner* owner_ = nullptr;
    DownloadRequest request_;
    std::u16string userAgent_;
    int connectTimeoutMs_ = 30000;
    int stallTimeoutMs_ = 60000;
    uint64_t maxSize_ = 0;
    bool refuseWebPages_ = false;
    int lowSpeedBytesPerSecond_ = 100;
    int lowSpeedMs_ = 60000;
    std::string ifRange_;
    int64_t expectedTotal_ = -1;
    bool keepPartial_ = false;

    // State.
    std::string service_, server_, objectPath_;
    int port_ = 0;
    std::string curlUrl_;
    int fd_ = -1;
    uint32_t resumeOffsetInEffect_ = 0; // 0 once a server ignored the range
    std::atomic<int> abort_{0};
    std::atomic<int> finished_{0};
    std::atomic<int> running_{0};
    std::atomic<int> lastResult_{-1};
    std::atomic<uint64_t> lastReceived_{0};
    std::atomic<int64_t> lastAnnounced_{-1};
    std::atomic<int> lastCurlCode_{0};
    std::string lastWhy_; // LastErrorText's own words; empty: libcurl's
    long lastStatus_ = 0;
    std::string lastETag_, lastModified_;
    int64_t lastTotal_ = -1;
    std::thread thread_;
    // Guards thread_ itself: only one caller ever takes it to join.
    mutable std::mutex joinLock_;
    std::mutex threadLock_;
    std::condition_variable threadEnded_;
    bool threadDone_ = true;
};

// How a synchronous download ended.
struct DownloadOutcome {
    std::u16string startError; // Start's error text; empty when it ran
    int result = -1;           // the UWM_DOWNLOAD_FINISHED result, -1 when none came
    intptr_t detail = 0;       // its detail
};

// Downloads url into target on the calling thread with dl (every other
// setting empty or zero; max_size as SetMaxSize) and returns how it ended.
// Every message also goes to owner (may be null), the end message included,
// before this returns.
DownloadOutcome download_file(CHttpDownload& dl, DownloadOwner* owner, const std::u16string& url,
                              const std::u16string& target, uint64_t max_size = 0);
