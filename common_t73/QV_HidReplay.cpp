// The "replay:FILE" unit source: answers the tool with a recorded session,
// strictly in order. The first difference ends the replay; every call after
// it fails, as a unit that went away.
#include <chrono>
#include <mutex>
#include <thread>

#include "common_t73/QV_Cmd.h"
#include "common_t73/QV_HidSession.h"
#include "support/hex.h"

namespace {

const char* kind_name(SessionKind k) {
    switch (k) {
    case SessionKind::Open:
        return "open";
    case SessionKind::Write:
        return "write";
    case SessionKind::Read:
        return "read";
    case SessionKind::WriteRun:
        return "write_run";
    case SessionKind::ReadRun:
        return "read_run";
    case SessionKind::Close:
        return "close";
    }
    return "?";
}

// The expected and the actual report in hex, with "^^" under each byte that
// differs.
std::string hex_difference(const std::vector<uint8_t>& expected,
                           const std::vector<uint8_t>& actual) {
    std::string marks;
    size_t n = std::max(expected.size(), actual.size());
    for (size_t i = 0; i < n; ++i) {
        bool same = i < expected.size() && i < actual.size() && expected[i] == actual[i];
        marks += same ? "  " : "^^";
    }
    while (!marks.empty() && marks.back() == ' ')
        marks.pop_back();
    return "  expected " + hex_lower(expected.data(), expected.size()) + "\n  actual   " +
           hex_lower(actual.data(), actual.size()) + "\n           " + marks;
}

struct Replay {
    std::mutex lock;
    bool selected = false;
    bool realtime = false;
    Session session;
    size_t serve = 0;   // the next event the tool's calls consume
    uint32_t taken = 0; // reports of the run at serve already consumed
    size_t check = 0;   // the next write event the tool's writes are compared with
    std::unique_ptr<SessionWriteFramer> framer;
    bool failed = false;
    std::string message;

    std::string where(size_t index) const {
        if (index >= session.events.size())
            return "after the last event (" + std::to_string(session.events.size()) + ")";
        const SessionEvent& e = session.events[index];
        return "event " + std::to_string(index + 1) + " (line " + std::to_string(e.line) + ", " +
               kind_name(e.kind) + ")";
    }

    void fail(const std::string& text) {
        if (failed)
            return;
        failed = true;
        message = text;
    }

    // Compares the write events the framer finished with the recorded ones.
    void compare(std::vector<SessionEvent>& done) {
        for (const SessionEvent& a : done) {
            if (failed)
                break;
            size_t index = check++;
            if (index >= session.events.size()) {
                fail("replay differs " + where(index) + ": the tool wrote more");
                break;
            }
            const SessionEvent& e = session.events[index];
            std::string at = "replay differs at " + where(index);
            if (e.kind != a.kind) {
                fail(at + ": the tool's " + kind_name(a.kind) +
                     (a.kind == SessionKind::WriteRun
                          ? " of " + std::to_string(a.count) + " data reports"
                          : ":\n  actual   " + hex_lower(a.report.data(), a.report.size())));
            } else if (a.kind == SessionKind::Write && a.report != e.report) {
                fail(at + ":\n" + hex_difference(e.report, a.report));
            } else if (a.kind == SessionKind::WriteRun) {
                if (a.count != e.count || a.bytes != e.bytes)
                    fail(at + ": expected " + std::to_string(e.count) + " data reports (" +
                         std::to_string(e.bytes) + " bytes), the tool wrote " +
                         std::to_string(a.count) + " (" + std::to_string(a.bytes) + " bytes)");
                else if (a.first != e.first)
                    fail(at + ", its first data report:\n" + hex_difference(e.first, a.first));
                else if (a.last != e.last)
                    fail(at + ", its last data report:\n" + hex_difference(e.last, a.last));
                else if (a.sha256 != e.sha256)
                    fail(at +
                         ": the data between the first and the last report differs "
                         "(sha256 expected " +
                         e.sha256 + ", actual " + a.sha256 + ")");
            }
        }
        done.clear();
    }

    // Ends a pending write run before any other call.
    void settle() {
        std::vector<SessionEvent> done;
        if (framer)
            framer->flush(&done);
        compare(done);
        if (!failed && check != serve)
            fail("replay differs at " + where(check) + ": the tool wrote less");
        check = serve;
    }

    void pause(uint32_t ms) {
        if (realtime && ms)
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }

    // Events from index up to the next close.
    size_t unusedUntilClose(size_t index) const {
        size_t n = 0;
        while (index + n < session.events.size() &&
               session.events[index + n].kind != SessionKind::Close)
            ++n;
        return n;
    }
};

Replay& replay() {
    static Replay r;
    return r;
}

class ReplayTransport : public QV_ReportTransport {
  public:
    ~ReplayTransport() override {
        Replay& r = replay();
        std::lock_guard<std::mutex> guard(r.lock);
        if (r.failed)
            return;
        r.settle();
        if (r.failed)
            return;
        if (r.serve < r.session.events.size() &&
            r.session.events[r.serve].kind == SessionKind::Close && r.taken == 0) {
            ++r.serve;
            r.check = r.serve;
            return;
        }
        size_t unused = r.unusedUntilClose(r.serve);
        r.fail("replay ended early: " + std::to_string(unused) + " events not used (the tool " +
               "closed the unit at " + r.where(r.serve) + ")");
    }

    int writeReport(const uint8_t* report, int) override {
        Replay& r = replay();
        std::lock_guard<std::mutex> guard(r.lock);
        if (r.failed)
            return 0;
        std::vector<uint8_t> actual(report, report + REPORT_SIZE);
        if (r.serve >= r.session.events.size()) {
            r.settle();
            r.fail("replay differs " + r.where(r.serve) + ": the tool wrote\n  actual   " +
                   hex_lower(report, REPORT_SIZE));
            return 0;
        }
        const SessionEvent& e = r.session.events[r.serve];
        int result = 0;
        if (e.kind == SessionKind::WriteRun) {
            r.pause(e.ms / e.count);
            result = REPORT_SIZE;
            if (++r.taken == e.count) {
                r.taken = 0;
                ++r.serve;
            }
        } else if (e.kind == SessionKind::Write) {
            r.pause(e.ms);
            result = e.result;
            ++r.serve;
        } else {
            size_t at = r.serve;
            r.settle();
            r.fail("replay differs at " + r.where(at) + ": the tool wrote a report\n  actual   " +
                   hex_lower(report, REPORT_SIZE));
            return 0;
        }
        std::vector<SessionEvent> done;
        r.framer->write(report, result, 0, &done);
        r.compare(done);
        return r.failed ? 0 : result;
    }

    int readReport(uint8_t* report, int timeoutMs) override {
        Replay& r = replay();
        std::lock_guard<std::mutex> guard(r.lock);
        if (r.failed)
            return 0;
        r.settle();
        if (r.failed)
            return 0;
        if (r.serve >= r.session.events.size()) {
            r.fail("replay differs " + r.where(r.serve) + ": the tool read a report");
            return 0;
        }
        const SessionEvent& e = r.session.events[r.serve];
        if (e.kind == SessionKind::Read) {
            r.pause(e.ms);
            ++r.serve;
            r.check = r.serve;
            if (e.timeoutMs >= 0) {
                (void)timeoutMs;
                return 0;
            }
            std::copy(e.report.begin(), e.report.end(), report);
            return int(e.report.size());
        }
        if (e.kind == SessionKind::ReadRun) {
            r.pause(e.ms / e.count);
            std::copy(e.data.begin() + size_t(r.taken) * REPORT_SIZE,
                      e.data.begin() + size_t(r.taken + 1) * REPORT_SIZE, report);
            if (++r.taken == e.count) {
                r.taken = 0;
                ++r.serve;
                r.check = r.serve;
            }
            return REPORT_SIZE;
        }
        r.fail("replay differs at " + r.where(r.serve) + ": the tool read a report");
        return 0;
    }
};

} // namespace

int QV_HidReplay_select(const std::string& file, std::string* error) {
    std::string path = file;
    bool realtime = false;
    const std::string suffix = "?realtime";
    if (path.size() > suffix.size() &&
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) {
        realtime = true;
        path.resize(path.size() - suffix.size());
    }
    Session session;
    if (!QV_Session_load(path, &session, error))
        return 0;
    Replay& r = replay();
    std::lock_guard<std::mutex> guard(r.lock);
    r.selected = true;
    r.realtime = realtime;
    r.session = std::move(session);
    r.serve = r.check = 0;
    r.taken = 0;
    r.framer = std::make_unique<SessionWriteFramer>(r.session.redaction);
    r.failed = false;
    r.message.clear();
    return 1;
}

void QV_HidReplay_unselect() {
    Replay& r = replay();
    std::lock_guard<std::mutex> guard(r.lock);
    r.selected = false;
    r.session = Session{};
    r.framer.reset();
}

bool QV_HidReplay_hasUnit() {
    Replay& r = replay();
    std::lock_guard<std::mutex> guard(r.lock);
    for (const SessionEvent& e : r.session.events)
        if (e.kind == SessionKind::Open)
            return true;
    return false;
}

std::unique_ptr<QV_ReportTransport> QV_HidReplay_open() {
    Replay& r = replay();
    std::lock_guard<std::mutex> guard(r.lock);
    if (!r.selected || r.failed)
        return nullptr;
    if (r.serve >= r.session.events.size() || r.session.events[r.serve].kind != SessionKind::Open ||
        r.taken != 0) {
        r.fail("replay differs at " + r.where(r.serve) + ": the tool opened the unit");
        return nullptr;
    }
    r.pause(r.session.events[r.serve].ms);
    ++r.serve;
    r.check = r.serve;
    return std::make_unique<ReplayTransport>();
}

QV_HidReplayVerdict QV_Hid_finishReplay() {
    Replay& r = replay();
    std::lock_guard<std::mutex> guard(r.lock);
    QV_HidReplayVerdict v;
    if (!r.selected)
        return v;
    v.active = true;
    v.events = int(r.session.events.size());
    v.recordedExit = r.session.exitCode;
    if (!r.failed && r.serve < r.session.events.size())
        r.fail("replay ended early: " + std::to_string(r.session.events.size() - r.serve) +
               " events not used (the first is " + r.where(r.serve) + ")");
    v.agrees = !r.failed;
    v.text = r.failed ? r.message : "replay agrees (" + std::to_string(v.events) + " events)";
    return v;
}

std::vector<std::string> QV_Hid_replayCommand() {
    Replay& r = replay();
    std::lock_guard<std::mutex> guard(r.lock);
    return r.selected ? r.session.command : std::vector<std::string>();
}
