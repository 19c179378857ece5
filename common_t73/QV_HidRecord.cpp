// The recording wrapper around a unit's report transport.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <nlohmann/json.hpp>

#include "common_t73/QV_Cmd.h"
#include "common_t73/QV_HidSession.h"
#include "support/platform.h"
#include "support/text.h"

namespace {

struct Recording {
    std::mutex lock;
    std::FILE* file = nullptr;
    std::string path;
    std::string error; // the first write that failed; nothing is written after it
    bool headerWritten = false;
    QV_HidRecordOptions options;
    SessionRedaction what;
    std::chrono::steady_clock::time_point last;
};

Recording& recording() {
    static Recording r;
    return r;
}

std::string source_kind(const std::string& path) {
    for (const char* kind : {"socket", "tcp", "emulated", "replay"})
        if (path.rfind(std::string(kind) + ":", 0) == 0)
            return kind;
    return "hid";
}

// Called with the lock held after writing: a write that failed is kept as
// the recording's error, and the file takes no more (it lacks its end line,
// so no replay takes it for whole).
bool check_written(Recording& r, bool ok) {
    if (ok && std::fflush(r.file) == 0)
        return true;
    if (r.error.empty())
        r.error = r.path + ": " + std::strerror(errno ? errno : EIO);
    return false;
}

bool writable(const Recording& r) {
    return r.file && r.error.empty();
}

// Called with the lock held.
void write_header(Recording& r, const std::string& path) {
    if (r.headerWritten || !writable(r))
        return;
    r.headerWritten = true;
    nlohmann::ordered_json h;
    h["format"] = SESSION_FORMAT;
    h["version"] = SESSION_VERSION;
    h["tool"] = r.options.tool;
    h["time"] = utc_time_text(std::time(nullptr));
    std::string kind = path.empty() ? std::string("none") : source_kind(path);
    h["source"] = kind;
    char id[8];
    std::snprintf(id, sizeof id, "%04x", UNIT_VENDOR_ID);
    h["vendor_id"] = id;
    std::snprintf(id, sizeof id, "%04x", UNIT_PRODUCT_ID);
    h["product_id"] = id;
    // Only the HID enumeration knows a unit's strings.
    if (kind == "hid")
        for (const QV_HidUnitInfo& unit : QV_Hid_enumerate())
            if (unit.path == path) {
                h["serial"] = unit.serial;
                h["product"] = unit.product;
            }
    h["report_size"] = REPORT_SIZE;
    h["command"] = r.options.command;
    nlohmann::json redacted = nlohmann::json::array();
    if (r.what.gprs)
        redacted.insert(redacted.end(), {"gprs_user", "gprs_password"});
    if (r.what.client)
        redacted.push_back("client_id");
    h["redacted"] = redacted;
    errno = 0;
    check_written(r, std::fprintf(r.file, "%s\n", h.dump().c_str()) >= 0);
}

// Milliseconds since the event before; called with the lock held.
uint32_t tick(Recording& r) {
    auto now = std::chrono::steady_clock::now();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - r.last).count();
    r.last = now;
    return uint32_t(std::clamp<long long>(ms, 0, 24ll * 3600 * 1000));
}

void emit(Recording& r, std::vector<SessionEvent>& events) {
    if (writable(r)) {
        errno = 0;
        bool ok = true;
        for (const SessionEvent& e : events)
            ok = ok && std::fprintf(r.file, "%s\n", QV_Session_eventLine(e).c_str()) >= 0;
        check_written(r, ok);
    }
    events.clear();
}

class RecordingTransport : public QV_ReportTransport {
  public:
    RecordingTransport(std::unique_ptr<QV_ReportTransport> inner, SessionRedaction what)
        : inner_(std::move(inner)), framer_(what), what_(what) {}

    ~RecordingTransport() override {
        inner_.reset();
        Recording& r = recording();
        std::lock_guard<std::mutex> guard(r.lock);
        uint32_t ms = tick(r);
        endReadRun();
        framer_.flush(&events_);
        SessionEvent e;
        e.kind = SessionKind::Close;
        e.ms = ms;
        events_.push_back(e);
        emit(r, events_);
    }

    int writeReport(const uint8_t* report, int timeoutMs) override {
        int n = inner_->writeReport(report, timeoutMs);
        Recording& r = recording();
        std::lock_guard<std::mutex> guard(r.lock);
        uint32_t ms = tick(r);
        endReadRun();
        framer_.write(report, n > 0 ? n : 0, ms, &events_);
        if (framer_.readReports() > 0) {
            readLeft_ = framer_.readReports();
            readAddress_ = framer_.readAddress();
            framer_.readRunTaken();
        }
        emit(r, events_);
        return n;
    }

    int readReport(uint8_t* report, int timeoutMs) override {
        int n = inner_->readReport(report, timeoutMs);
        Recording& r = recording();
        std::lock_guard<std::mutex> guard(r.lock);
        uint32_t ms = tick(r);
        framer_.flush(&events_);
        if (readLeft_ > 0 && n == REPORT_SIZE) {
            if (run_.count == 0) {
                run_ = SessionEvent{};
                run_.kind = SessionKind::ReadRun;
            }
            run_.ms += ms;
            run_.data.insert(run_.data.end(), report, report + REPORT_SIZE);
            ++run_.count;
            run_.bytes += CMD_DATA_SIZE;
            if (--readLeft_ == 0)
                endReadRun();
        } else {
            endReadRun();
            SessionEvent e;
            e.kind = SessionKind::Read;
            e.ms = ms;
            if (n > 0)
                e.report.assign(report, report + n);
            else
                e.timeoutMs = timeoutMs;
            events_.push_back(std::move(e));
        }
        emit(r, events_);
        return n;
    }

    void discardInput() override { inner_->discardInput(); }

  private:
    // A read run ends with its last report, or early with anything else.
    void endReadRun() {
        readLeft_ = 0;
        if (run_.count == 0)
            return;
        std::vector<uint8_t> payload;
        for (uint32_t i = 0; i < run_.count; ++i)
            payload.insert(payload.end(), run_.data.begin() + i * REPORT_SIZE + 1,
                           run_.data.begin() + (i + 1) * REPORT_SIZE);
        if (QV_Session_redact(what_, readAddress_, payload.data(), payload.size()))
            for (uint32_t i = 0; i < run_.count; ++i)
                std::copy(payload.begin() + i * CMD_DATA_SIZE,
                          payload.begin() + (i + 1) * CMD_DATA_SIZE,
                          run_.data.begin() + i * REPORT_SIZE + 1);
        events_.push_back(std::move(run_));
        run_ = SessionEvent{};
    }

    std::unique_ptr<QV_ReportTransport> inner_;
    SessionWriteFramer framer_;
    SessionRedaction what_;
    std::vector<SessionEvent> events_;
    SessionEvent run_;
    uint32_t readLeft_ = 0;
    uint32_t readAddress_ = 0;
};

} // namespace

bool QV_HidSession_recording() {
    Recording& r = recording();
    std::lock_guard<std::mutex> guard(r.lock);
    return r.file != nullptr;
}

std::unique_ptr<QV_ReportTransport>
QV_HidSession_record(std::unique_ptr<QV_ReportTransport> transport, const std::string& path) {
    Recording& r = recording();
    std::lock_guard<std::mutex> guard(r.lock);
    if (!r.file || !transport)
        return transport;
    write_header(r, path);
    std::vector<SessionEvent> events(1);
    events[0].kind = SessionKind::Open;
    events[0].ms = tick(r);
    emit(r, events);
    return std::make_unique<RecordingTransport>(std::move(transport), r.what);
}

namespace {

// What a path that is no regular file names, for the refusal.
const char* kind_of(PlatformPathKind kind) {
    switch (kind) {
    case PLATFORM_PATH_FIFO:
        return "a FIFO";
    case PLATFORM_PATH_CHAR_DEVICE:
        return "a character device";
    case PLATFORM_PATH_BLOCK_DEVICE:
        return "a block device";
    case PLATFORM_PATH_DIR:
        return "a folder";
    case PLATFORM_PATH_SOCKET:
        return "a socket";
    default:
        return "not a plain file";
    }
}

std::string not_regular(const std::string& path, PlatformPathKind kind) {
    return path + " is not a regular file (" + kind_of(kind) + "); a recording goes into one";
}

// Opens the session file for writing. A FIFO without a reader never holds
// the tool up (no waiting on the open), anything that is not a regular file
// is refused before a byte is written, and a new file is this user's alone.
// Returns the descriptor, or -1 with error set.
int open_session_file(const std::string& path, const QV_HidRecordOptions& options,
                      std::string* error) {
    PlatformPathKind kind = platform_path_kind(path, nullptr, true);
    bool exists = kind != PLATFORM_PATH_MISSING;
    if (exists && kind != PLATFORM_PATH_FILE) {
        *error = not_regular(path, kind);
        return -1;
    }
    std::string already =
        path + " already exists" + (options.existsHint.empty() ? "" : "; " + options.existsHint);
    if (exists && !options.overwrite) {
        *error = already;
        return -1;
    }
    int how = PLATFORM_WRITE | PLATFORM_CREATE | PLATFORM_NO_WAIT;
    if (!options.overwrite)
        how |= PLATFORM_EXCLUSIVE;
    int fd = platform_open(path, how, 0600);
    if (fd < 0) {
        int e = errno;
        if (e == EEXIST)
            *error = already;
        else if (e == ENXIO) // a FIFO that appeared meanwhile, without a reader
            *error = not_regular(path, PLATFORM_PATH_FIFO);
        else
            *error = "cannot write the session file " + path + ": " + std::strerror(e);
        return -1;
    }
    kind = platform_fd_kind(fd);
    if (kind != PLATFORM_PATH_FILE) {
        *error = not_regular(path, kind);
        platform_close(fd);
        return -1;
    }
    // An old recording replaced loses its contents and keeps no wider access.
    if (options.overwrite && platform_truncate_private(fd) != 0) {
        *error = "cannot write the session file " + path + ": " + std::strerror(errno);
        platform_close(fd);
        return -1;
    }
    platform_set_blocking(fd);
    return fd;
}

} // namespace

int QV_Hid_startRecording(const std::string& path, const QV_HidRecordOptions& options,
                          std::string* error) {
    Recording& r = recording();
    std::lock_guard<std::mutex> guard(r.lock);
    std::string why;
    std::FILE* f = nullptr;
    if (r.file) {
        why = "a recording is already running";
    } else if (path.empty()) {
        why = "the session file has no name";
    } else if (int fd = open_session_file(path, options, &why); fd >= 0) {
        f = platform_fdopen(fd, "w");
        if (!f) {
            why = "cannot write the session file " + path + ": " + std::strerror(errno);
            platform_close(fd);
        }
    }
    if (!f) {
        if (error)
            *error = why;
        return 0;
    }
    r.file = f;
    r.path = path;
    r.error.clear();
    r.headerWritten = false;
    r.options = options;
    r.what = SessionRedaction{};
    r.what.client = options.redactClient;
    r.last = std::chrono::steady_clock::now();
    return 1;
}

void QV_Hid_stopRecording(int exitCode) {
    Recording& r = recording();
    std::lock_guard<std::mutex> guard(r.lock);
    if (!r.file)
        return;
    write_header(r, std::string());
    if (writable(r)) {
        errno = 0;
        check_written(r, std::fprintf(r.file, "{\"event\":\"end\",\"exit\":%d}\n", exitCode) >= 0);
    }
    errno = 0;
    if (std::fclose(r.file) != 0 && r.error.empty())
        r.error = r.path + ": " + std::strerror(errno ? errno : EIO);
    r.file = nullptr;
}

std::string QV_Hid_recordingError() {
    Recording& r = recording();
    std::lock_guard<std::mutex> guard(r.lock);
    return r.error;
}
