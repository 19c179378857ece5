// Helpers for the transport and command-exchange tests: a transport that
// records what the host sends on its way to an emulated unit, and one that
// plays back fixed reports.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "common_t73/QV_Cmd.h"
#include "common_t73/QV_Hid.h"
#include "tools/unitsim/UnitSim.h"

using Report = std::array<uint8_t, REPORT_SIZE>;

// What the host wrote and how many reads it made, shared with the test after
// the handle took the transport.
struct WireLog {
    std::vector<Report> sent;
    int reads = 0;
    int discards = 0;
};

// Forwards to an emulated unit and logs the host's reports.
class RecordingTransport : public QV_ReportTransport {
  public:
    RecordingTransport(UnitSim& unit, std::shared_ptr<WireLog> log)
        : inner_(unit.transport()), log_(std::move(log)) {}
    int writeReport(const uint8_t* report, int timeoutMs) override {
        Report r;
        std::memcpy(r.data(), report, REPORT_SIZE);
        log_->sent.push_back(r);
        return inner_->writeReport(report, timeoutMs);
    }
    int readReport(uint8_t* report, int timeoutMs) override {
        ++log_->reads;
        return inner_->readReport(report, timeoutMs);
    }
    void discardInput() override {
        ++log_->discards;
        inner_->discardInput();
    }

  private:
    std::unique_ptr<QV_ReportTransport> inner_;
    std::shared_ptr<WireLog> log_;
};

// Answers reads from a fixed list of reports (each with its byte count) and
// swallows writes.
class ScriptedTransport : public QV_ReportTransport {
  public:
    struct Script {
        std::deque<std::pair<Report, int>> replies;
        std::vector<Report> sent;
    };
    explicit ScriptedTransport(std::shared_ptr<Script> script) : script_(std::move(script)) {}
    int writeReport(const uint8_t* report, int) override {
        Report r;
        std::memcpy(r.data(), report, REPORT_SIZE);
        script_->sent.push_back(r);
        return REPORT_SIZE;
    }
    int readReport(uint8_t* report, int) override {
        if (script_->replies.empty())
            return 0;
        auto [r, n] = script_->replies.front();
        script_->replies.pop_front();
        std::memcpy(report, r.data(), REPORT_SIZE);
        return n;
    }

  private:
    std::shared_ptr<Script> script_;
};

// A reply report built by hand: frame fields, then the checksum as given or
// the right one.
inline Report make_reply(uint32_t status, uint32_t value, uint8_t length = 0x17,
                         const char* signature = "HIDC", int checksumDelta = 0) {
    Report r;
    r.fill(0xCC);
    r[0] = 0;
    uint8_t* f = r.data() + 1;
    std::memset(f, 0, 27);
    f[0] = 0xF4;
    f[1] = length;
    for (int i = 0; i < 4; ++i) {
        f[2 + i] = static_cast<uint8_t>(status >> (8 * i));
        f[6 + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    std::memcpy(f + 19, signature, 4);
    uint32_t sum = 0;
    for (int i = 0; i < 23; ++i)
        sum += f[i];
    sum += static_cast<uint32_t>(checksumDelta);
    for (int i = 0; i < 4; ++i)
        f[23 + i] = static_cast<uint8_t>(sum >> (8 * i));
    return r;
}

// A channel on an emulated unit, with the host's reports logged.
struct UnitLink {
    UnitSim unit;
    std::shared_ptr<WireLog> wire = std::make_shared<WireLog>();
    QV_HidChannel channel{};

    explicit UnitLink(uint32_t flashSize = 0x800000, uint32_t boot = 1046) : unit(flashSize, boot) {
        channel.handle = QV_Hid_openTransport(std::make_unique<RecordingTransport>(unit, wire));
        channel.bootVersion = boot;
    }
    ~UnitLink() { QV_Hid_close(channel.handle); }
    UnitLink(const UnitLink&) = delete;
    UnitLink& operator=(const UnitLink&) = delete;
};
