// Session files: what passed the report-transport seam, one JSON object a
// line, written by the recording wrapper and read back by the replay source.
// Internal to the device link; the rest of the system uses QV_Hid.h.
//
//   {"format":"trevik-session","version":1, ...header...}
//   {"event":"open","ms":0}
//   {"event":"write","ms":1,"report":"00f7..."}            ("result":0 when it failed)
//   {"event":"read","ms":2,"report":"0000..."}             or "timeout_ms":1000
//   {"event":"write_run","ms":3,"count":64,"bytes":4096,"sha256":"...","first":"...","last":"..."}
//   {"event":"read_run","ms":3,"count":4,"bytes":256,"zlib_base64":"..."}
//   {"event":"close","ms":5}
//   {"event":"end","exit":0}
//
// A run is the data reports that follow one write or read command frame:
// a write run is kept as its count, hash and first and last report, a read
// run as its reports compressed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common_t73/QV_Hid.h"

inline constexpr const char* SESSION_FORMAT = "trevik-session";
inline constexpr int SESSION_VERSION = 1;

enum class SessionKind { Open, Write, Read, WriteRun, ReadRun, Close };

struct SessionEvent {
    SessionKind kind = SessionKind::Open;
    int line = 0;                     // line in the file, from 1 (the header)
    uint32_t ms = 0;                  // since the event before
    std::vector<uint8_t> report;      // Write, Read: the bytes moved
    int result = REPORT_SIZE;         // Write: what the write returned
    int timeoutMs = -1;               // Read: >= 0 when no report came
    uint32_t count = 0;               // runs: reports
    uint64_t bytes = 0;               // runs: payload bytes
    std::string sha256;               // WriteRun
    std::vector<uint8_t> first, last; // WriteRun
    std::vector<uint8_t> data;        // ReadRun: the reports, REPORT_SIZE each
};

// What a recording hid.
struct SessionRedaction {
    bool gprs = true;    // GPRS user name and password
    bool client = false; // the unit's own part of the client id
};

struct Session {
    std::string headerText; // the header line as it is
    std::vector<std::string> command;
    SessionRedaction redaction;
    std::vector<SessionEvent> events;
    int exitCode = 0;
};

// Reads a session file. Returns 1, or 0 with error set to "PATH: line N: why"
// for a file that cannot be read, another format or version, a line that is
// not JSON or not a known event, or a file without its end line.
int QV_Session_load(const std::string& path, Session* out, std::string* error);

// The file's line of one event, without the newline.
std::string QV_Session_eventLine(const SessionEvent& e);

// Replaces the GPRS user name and password (and with client, the unit's own
// part of the client id) in payload, the flash bytes from address on, with
// placeholders of the same length, and redoes the sums of the records
// touched whose sums were right. Returns 1 when anything changed.
int QV_Session_redact(const SessionRedaction& what, uint32_t address, uint8_t* payload,
                      size_t length);

// The data runs of the write side. Fed every written report with its
// result, it gives the session's write events: single reports as they come,
// a write command frame together with its run once the run is over (the
// frame's data sum redone when redaction changed the data).
class SessionWriteFramer {
  public:
    explicit SessionWriteFramer(SessionRedaction what);
    ~SessionWriteFramer();
    SessionWriteFramer(const SessionWriteFramer&) = delete;
    SessionWriteFramer& operator=(const SessionWriteFramer&) = delete;
    void write(const uint8_t* report, int result, uint32_t ms, std::vector<SessionEvent>* out);
    // Ends a pending run: anything but a further data report ends it.
    void flush(std::vector<SessionEvent>* out);
    // After a read command frame: the reports the unit will send, and where
    // they come from; 0 when the last frame was no read command.
    uint32_t readReports() const { return readReports_; }
    uint32_t readAddress() const { return readAddress_; }
    void readRunTaken() { readReports_ = 0; }
    bool pending() const { return pending_; }

  private:
    struct Hash;
    SessionRedaction what_;
    bool pending_ = false;
    SessionEvent frame_;
    SessionEvent run_;
    uint32_t address_ = 0;
    uint32_t remaining_ = 0;
    bool buffer_ = false;          // the run may hold what is redacted
    std::vector<uint8_t> reports_; // then: its reports
    std::unique_ptr<Hash> hash_;   // else: the hash so far
    uint32_t readReports_ = 0;
    uint32_t readAddress_ = 0;
};

// Lower-case hex of n bytes.
std::string QV_Session_hex(const uint8_t* data, size_t n);

// Wraps transport so that what passes it is recorded into the open
// recording (QV_Hid_startRecording). path is what QV_Hid_open was given.
std::unique_ptr<QV_ReportTransport>
QV_HidSession_record(std::unique_ptr<QV_ReportTransport> transport, const std::string& path);
bool QV_HidSession_recording();

// The replay source: loads FILE (and "?realtime"). Returns 1, or 0 with
// error set.
int QV_HidReplay_select(const std::string& file, std::string* error);
void QV_HidReplay_unselect();
// True when the loaded session opens the unit at all.
bool QV_HidReplay_hasUnit();
// The transport of the next recorded open; none when the session does not
// open the unit here (the replay then has failed).
std::unique_ptr<QV_ReportTransport> QV_HidReplay_open();
