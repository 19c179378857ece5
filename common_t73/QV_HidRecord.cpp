// The recording wrapper around a unit's report transport.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <nlohmann/json.hpp>

#include "common_t73/QV_Cmd.h"
#include "common_t73/QV_HidSession.h"
#include "support/text.h"

namespace {

struct Recording {
    std::mutex lock;
    std::FILE* file = nullptr;
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

// Called with the lock held.
void write_header(Recording& r, const std::string& path) {
    if (r.headerWritten || !r.file)
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
    std::fprintf(r.file, "%s\n", h.dump().c_str());
    std::fflush(r.file);
}

// Milliseconds since the event before; called with the lock held.
uint32_t tick(Recording& r) {
    auto now = std::chrono::steady_clock::now();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - r.last).count();
    r.last = now;
    return uint32_t(std::clamp<long long>(ms, 0, 24ll * 3600 * 1000));
}

void emit(Recording& r, std::vector<SessionEvent>& events) {
    if (!r.file)
        return;
    for (const SessionEvent& e : events)
        std::fprintf(r.file, "%s\n", QV_Session_eventLine(e).c_str());
    std::fflush(r.file);
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

int QV_Hid_startRecording(const std::string& path, const QV_HidRecordOptions& options,
                          std::string* error) {
    Recording& r = recording();
    std::lock_guard<std::mutex> guard(r.lock);
    if (r.file) {
        if (error)
            *error = "a recording is already running";
        return 0;
    }
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) {
        if (error)
            *error = "cannot write the session file " + path;
        return 0;
    }
    r.file = f;
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
    std::fprintf(r.file, "{\"event\":\"end\",\"exit\":%d}\n", exitCode);
    std::fclose(r.file);
    r.file = nullptr;
}
