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
#include <string>
#include <vector>

#include "common_t73/QV_Hid.h"
#include "common_t73/QV_SessionRedact.h"

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
