#include "common_t73/QV_SessionFramer.h"

#include <cstring>

#include "common_t73/QV_Cmd.h"
#include "common_t73/QV_Machine.h"
#include "config/records.h"
#include "support/checksum.h"
#include "support/hex.h"
#include "support/sha256.h"

namespace {

// ---- the frame knowledge a session needs: which frames start a run ----

// A command frame in a written report that data reports follow.
struct RunStart {
    bool write = false;
    uint32_t address = 0;
    uint32_t reports = 0;
};

bool run_of_frame(const uint8_t* report, int size, RunStart* run) {
    if (size < 1 + CMD_FRAME_SIZE || !QV_Cmd_frameIsValid(report + 1))
        return false;
    uint8_t command = report[1 + CMD_OFF_COMMAND];
    if (command != CMD_WRITE && command != CMD_READ)
        return false;
    run->write = command == CMD_WRITE;
    run->address = QV_Cmd_frameWord(report + 1, CMD_OFF_A) << 8;
    uint64_t length = uint64_t(QV_Cmd_frameWord(report + 1, CMD_OFF_B)) << 8;
    run->reports = uint32_t((length + CMD_DATA_SIZE - 1) / CMD_DATA_SIZE);
    return true;
}

// Puts a new data sum into a write frame and seals the frame again.
void reseal_write_frame(uint8_t* report, uint32_t dataSum) {
    uint8_t* f = report + 1;
    rec_set_u32(f + CMD_OFF_D, dataSum);
    rec_set_u32(f + CMD_OFF_CHECKSUM, byte_sum(f, CMD_OFF_CHECKSUM));
}

} // namespace

struct SessionWriteFramer::Hash {
    Sha256* h = sha256_begin();
    ~Hash() {
        uint8_t unused[SHA256_BYTES];
        if (h)
            sha256_end(h, unused);
    }
    void add(const uint8_t* p, size_t n) { sha256_add(h, p, n); }
    std::string hex() {
        uint8_t digest[SHA256_BYTES];
        bool ok = sha256_end(h, digest);
        h = nullptr;
        return ok ? hex_lower(digest, SHA256_BYTES) : std::string();
    }
};

SessionWriteFramer::SessionWriteFramer(SessionRedaction what) : what_(what) {}
SessionWriteFramer::~SessionWriteFramer() = default;

namespace {
// Runs as large as the unit's records are checked for what is redacted;
// bulk data is hashed as it passes.
constexpr uint64_t REDACTED_RUN_LIMIT = 64 * 1024;

bool overlaps_records(uint32_t address, uint64_t length) {
    const uint32_t lo = FLASH_PARAM_ADDRESS, hi = FLASH_DATA_BASE_502;
    return length <= REDACTED_RUN_LIMIT && address < hi && address + length > lo;
}
} // namespace

void SessionWriteFramer::write(const uint8_t* report, int result, uint32_t ms,
                               std::vector<SessionEvent>* out) {
    if (pending_ && remaining_ > 0 && result == REPORT_SIZE) {
        if (run_.count == 0) {
            run_.ms = ms;
            run_.first.assign(report, report + REPORT_SIZE);
        } else {
            run_.ms += ms;
        }
        run_.last.assign(report, report + REPORT_SIZE);
        ++run_.count;
        run_.bytes += CMD_DATA_SIZE;
        if (buffer_)
            reports_.insert(reports_.end(), report, report + REPORT_SIZE);
        else
            hash_->add(report, REPORT_SIZE);
        if (--remaining_ == 0)
            flush(out);
        return;
    }
    flush(out);
    readReports_ = 0;
    SessionEvent e;
    e.kind = SessionKind::Write;
    e.ms = ms;
    e.report.assign(report, report + REPORT_SIZE);
    e.result = result;
    RunStart start;
    if (result == REPORT_SIZE && run_of_frame(report, REPORT_SIZE, &start)) {
        if (!start.write) {
            readReports_ = start.reports;
            readAddress_ = start.address;
        } else if (start.reports > 0) {
            pending_ = true;
            frame_ = std::move(e);
            run_ = SessionEvent{};
            run_.kind = SessionKind::WriteRun;
            address_ = start.address;
            remaining_ = start.reports;
            buffer_ = (what_.gprs || what_.client) &&
                      overlaps_records(start.address, uint64_t(start.reports) * CMD_DATA_SIZE);
            reports_.clear();
            hash_ = std::make_unique<Hash>();
            return;
        }
    }
    out->push_back(std::move(e));
}

void SessionWriteFramer::flush(std::vector<SessionEvent>* out) {
    if (!pending_)
        return;
    pending_ = false;
    if (buffer_ && run_.count > 0) {
        std::vector<uint8_t> payload;
        for (uint32_t i = 0; i < run_.count; ++i)
            payload.insert(payload.end(), reports_.begin() + i * REPORT_SIZE + 1,
                           reports_.begin() + (i + 1) * REPORT_SIZE);
        if (QV_Session_redact(what_, address_, payload.data(), payload.size())) {
            for (uint32_t i = 0; i < run_.count; ++i)
                std::memcpy(&reports_[i * REPORT_SIZE + 1], &payload[i * CMD_DATA_SIZE],
                            CMD_DATA_SIZE);
            // A plain write carries the sum of its data; the unit checks it.
            // Only a whole run's sum can be redone.
            if (remaining_ == 0 && QV_Cmd_frameWord(frame_.report.data() + 1, CMD_OFF_C) == 0 &&
                frame_.report[1 + CMD_OFF_MODE] == 0)
                reseal_write_frame(frame_.report.data(), byte_sum(payload.data(), payload.size()));
            run_.first.assign(reports_.begin(), reports_.begin() + REPORT_SIZE);
            run_.last.assign(reports_.end() - REPORT_SIZE, reports_.end());
        }
        hash_->add(reports_.data(), reports_.size());
    }
    out->push_back(std::move(frame_));
    if (run_.count > 0) {
        run_.sha256 = hash_->hex();
        out->push_back(std::move(run_));
    }
    hash_.reset();
    reports_.clear();
    remaining_ = 0;
}
