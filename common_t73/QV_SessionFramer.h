// The data runs of the write side of a recording. A run is the data
// reports that follow one write command frame: it is kept as its count,
// hash and first and last report, the frame's data sum redone when
// redaction changed the data. Internal to the device link.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "common_t73/QV_SessionFile.h"
#include "common_t73/QV_SessionRedact.h"

// Fed every written report with its result, it gives the session's write
// events: single reports as they come, a write command frame together with
// its run once the run is over.
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
