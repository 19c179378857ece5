// The emulated unit: its flash and the command exchange, report by report.
#include "tools/unitsim/UnitSim.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

#include "tools/unitsim/unit_bytes.h"

using namespace unit_bytes;

namespace {

constexpr uint32_t ACCESS_WORD = 0x5E17C0A3;
constexpr uint8_t ERASE = 0xF1, READ = 0xF2, WRITE = 0xF3, FINISH = 0xF4, BOOT_VERSION = 0xF7,
                  REJECT = 0xF9, FLASH_SIZE = 0xFB;
constexpr int FRAME = 27;

// The firmware's own unscrambler: words of 256-byte blocks, the first block
// keyed by the magic word, each later one by the sum of the previous block's
// plain words. Trailing bytes that make no whole word stay as they are.
void unscramble(uint8_t* data, size_t n) {
    uint32_t key = MAGIC, running = 0;
    int offset = 0;
    for (size_t i = 0; i + 4 <= n; i += 4) {
        uint8_t* w = data + i;
        w[2] ^= w[0];
        w[3] ^= w[1];
        uint32_t plain = get32(w) ^ key;
        put32(w, plain);
        running += plain;
        offset += 4;
        if (offset >= 256) {
            key = running;
            running = 0;
            offset = 0;
        }
    }
}

class InProcessTransport : public QV_ReportTransport {
  public:
    explicit InProcessTransport(UnitSim* unit) : unit_(unit) {}
    int writeReport(const uint8_t* report, int) override {
        return unit_->receive(report, REPORT_SIZE) ? REPORT_SIZE : 0;
    }
    // The unit answers as it receives, so what is not queued now never comes.
    int readReport(uint8_t* report, int) override { return unit_->send(report); }
    void discardInput() override { unit_->discardOutput(); }

  private:
    UnitSim* unit_;
};

} // namespace

// ---------------------------------------------------------------- the unit

UnitSim::UnitSim(uint32_t flashSize, uint32_t bootVersion)
    : flash_(flashSize, 0xFF), bootVersion_(bootVersion) {}

UnitSim::~UnitSim() = default;

void UnitSim::setFlashSize(uint32_t bytes) {
    flash_.resize(bytes, 0xFF);
}

bool UnitSim::put(uint32_t address, const void* data, size_t n) {
    if (!data || address > flash_.size() || n > flash_.size() - address)
        return false;
    std::memcpy(flash_.data() + address, data, n);
    return true;
}

bool UnitSim::loadImage(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    std::vector<uint8_t> image;
    bool ok = std::fseek(f, 0, SEEK_END) == 0;
    long size = ok ? std::ftell(f) : -1;
    ok = ok && size > 0 && size <= (256L << 20) && std::fseek(f, 0, SEEK_SET) == 0;
    if (ok) {
        image.resize(static_cast<size_t>(size));
        ok = std::fread(image.data(), 1, image.size(), f) == image.size();
    }
    std::fclose(f);
    if (!ok)
        return false;
    flash_ = std::move(image);
    return true;
}

bool UnitSim::saveImage(const std::string& path) const {
    std::string tmp = path + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(flash_.data(), 1, flash_.size(), f) == flash_.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

void UnitSim::putMainSettingBlock(bool layout502, const uint8_t* ms231, const uint8_t* ss178) {
    uint8_t block[512];
    std::memset(block, 0xFF, sizeof block);
    if (ms231) {
        put32(block, sum(ms231, 231));
        std::memcpy(block + 4, ms231, 231);
    }
    if (ss178) {
        put32(block + 256, sum(ss178, 178));
        std::memcpy(block + 260, ss178, 178);
    }
    put(unit_main_setting_address(layout502), block, sizeof block);
}

void UnitSim::setMainSetting(bool layout502, const UnitMainSetting& ms,
                             const UnitServerSetting* ss) {
    UnitMainSetting m = ms;
    if (m.flashSize == 0)
        m.flashSize = flashSize();
    auto rec = unit_main_setting_record(m);
    if (ss) {
        auto srec = unit_server_setting_record(*ss);
        putMainSettingBlock(layout502, rec.data(), srec.data());
    } else {
        putMainSettingBlock(layout502, rec.data(), nullptr);
    }
}

void UnitSim::putParamRecord(bool layout502, const uint8_t* record256) {
    put(unit_param_address(layout502), record256, 256);
}

void UnitSim::setParamRecord(bool layout502, int kind, const std::string& board,
                             uint32_t programVersion) {
    auto rec = unit_param_record(kind, board, programVersion);
    putParamRecord(layout502, rec.data());
    paramKind_ = kind;
}

void UnitSim::addWrongByte(uint32_t address) {
    wrongBytes_.push_back(address);
}

void UnitSim::connectionEnded() {
    bool finished = finished_;
    int erased = paramErased_;
    finished_ = false;
    paramErased_ = 0;
    if (!finished || flash_.size() < 0x20000)
        return;
    // The firmware finds its records by the main-setting block it holds; a
    // unit with none keeps them at the normal place.
    auto valid = [this](bool layout502) {
        const uint8_t* b = flash_.data() + unit_main_setting_address(layout502);
        return get32(b + 4 + 227) == MAGIC && get32(b) == sum(b + 4, 231);
    };
    bool layout502 = !valid(false) && valid(true);
    if (!(erased & (layout502 ? 2 : 1)))
        return;
    uint32_t at = unit_param_address(layout502);
    const uint8_t* rec = flash_.data() + at;
    if (paramKind_ == 0 || !std::all_of(rec, rec + 256, [](uint8_t b) { return b == 0xFF; }))
        return;
    const uint8_t* ms = flash_.data() + unit_main_setting_address(layout502) + 4;
    std::string board(reinterpret_cast<const char*>(ms + 4), 4);
    board = board.substr(0, board.find('\0'));
    auto fresh = unit_param_record(paramKind_, board, get32(ms + 8));
    putParamRecord(layout502, fresh.data());
}

void UnitSim::setClientId(bool layout502, const std::string& clientId) {
    uint8_t block[256];
    std::memset(block, 0xFF, sizeof block);
    std::memcpy(block, clientId.data(), std::min(clientId.size(), sizeof block));
    put(unit_identity_address(layout502), block, sizeof block);
}

void UnitSim::setVoiceHeader(uint32_t address, uint32_t timestamp) {
    uint8_t w[4];
    put32(w, timestamp);
    put(address + 4, w, 4);
}

void UnitSim::setRadarMuteHeader(uint32_t address, uint32_t timestamp) {
    uint8_t w[4];
    put32(w, timestamp);
    put(address, w, 4);
}

void UnitSim::setGpsHeader(uint32_t address, uint32_t timestamp) {
    uint8_t w[4];
    put32(w, timestamp);
    put(address, w, 4);
}

// ---------------------------------------------------------------- faults

void UnitSim::addFault(const UnitFaultRule& rule) {
    rules_.push_back(Rule{rule, 0});
}

void UnitSim::clearFaults() {
    rules_.clear();
    unplugLeft_ = -1;
    delay_ = std::chrono::microseconds(0);
}

void UnitSim::unplugAfterReports(long n) {
    unplugLeft_ = n < 0 ? -1 : n;
}

void UnitSim::replug() {
    unplugged_ = false;
    unplugLeft_ = -1;
    writing_ = false;
    discardOutput();
}

void UnitSim::setReportDelayUs(uint32_t us) {
    delay_ = std::chrono::microseconds(us);
    nextSlot_ = {};
}

void UnitSim::setReadPayload(int bytes) {
    readPayload_ = std::clamp(bytes, 1, 64);
}

int UnitSim::count(uint8_t code) const {
    return static_cast<int>(std::count_if(commands_.begin(), commands_.end(),
                                          [code](const UnitCommand& c) { return c.code == code; }));
}

bool UnitSim::countReport() {
    if (unplugged_)
        return false;
    if (unplugLeft_ == 0) {
        unplugged_ = true;
        return false;
    }
    if (unplugLeft_ > 0)
        --unplugLeft_;
    return true;
}

void UnitSim::pace() {
    if (delay_.count() == 0)
        return;
    // Slots at fixed steps, like the frames of a USB link, so waking late
    // never adds up over a run. A host that fell behind may use up to
    // PACE_BACKLOG missed slots at once, as the link's report queue lets it;
    // a longer pause restarts the schedule.
    constexpr int PACE_BACKLOG = 16;
    auto now = std::chrono::steady_clock::now();
    if (nextSlot_ == std::chrono::steady_clock::time_point{})
        nextSlot_ = now; // the first report starts the schedule
    if (nextSlot_ < now - delay_ * PACE_BACKLOG)
        nextSlot_ = now - delay_ * PACE_BACKLOG;
    if (nextSlot_ > now)
        std::this_thread::sleep_until(nextSlot_);
    nextSlot_ += delay_;
}

// ---------------------------------------------------------------- exchange

bool UnitSim::receive(const uint8_t* report, int n) {
    if (!report || !countReport())
        return false;
    pace();
    ++reportsIn_;
    if (logReports_) {
        UnitReport r{true, {}};
        std::memcpy(r.bytes.data(), report, static_cast<size_t>(std::clamp(n, 0, REPORT_SIZE)));
        reportLog_.push_back(r);
    }
    const uint8_t* payload = report + 1;
    int have = std::clamp(n - 1, 0, 64);
    if (writing_) {
        uint32_t take = std::min<uint32_t>(64, writeLength_ - writeGot_);
        uint8_t chunk[64];
        std::memset(chunk, 0, sizeof chunk);
        std::memcpy(chunk, payload, static_cast<size_t>(have));
        UnitCommand& cmd = commands_.back();
        cmd.dataSum += sum(chunk, take);
        cmd.dataBytes += take;
        if (writeInRange_)
            std::memcpy(writeBuffer_.data() + writeGot_, chunk, take);
        writeGot_ += take;
        if (writeGot_ >= writeLength_)
            finishWrite();
        return true;
    }
    uint8_t frame[FRAME] = {};
    std::memcpy(frame, payload, static_cast<size_t>(std::min(have, FRAME)));
    handleFrame(frame);
    return true;
}

void UnitSim::handleFrame(const uint8_t* f) {
    UnitCommand cmd;
    cmd.code = f[0];
    cmd.a = get32(f + 2);
    cmd.b = get32(f + 6);
    cmd.c = get32(f + 10);
    cmd.mode = f[14];
    cmd.d = get32(f + 15);
    bool valid = f[1] == 0x17 && std::memcmp(f + 19, "HIDC", 4) == 0 && get32(f + 23) == sum(f, 23);
    if (!valid) {
        // A garbled frame is not answered: its command cannot be trusted.
        cmd.status = UNIT_STATUS_BAD_COMMAND;
        commands_.push_back(cmd);
        return;
    }
    commands_.push_back(cmd);
    UnitCommand& c = commands_.back();
    suppress_ = false;
    bool guarded = c.a == MAGIC && c.b == ACCESS_WORD;
    uint64_t flash = flash_.size();
    uint32_t value = 0;
    switch (c.code) {
    case ERASE: {
        uint64_t at = uint64_t(c.a) * 4096, len = uint64_t(c.b) * 4096;
        if (at + len > flash) {
            c.status = UNIT_STATUS_RANGE;
        } else {
            // The unit remembers the kind of a parameter record it erases.
            for (bool layout502 : {false, true}) {
                uint64_t p = unit_param_address(layout502);
                if (p >= at && p + 256 <= at + len) {
                    if (int kind = unit_param_kind_of(flash_.data() + p))
                        paramKind_ = kind;
                    paramErased_ |= layout502 ? 2 : 1;
                }
            }
            std::fill_n(flash_.begin() + static_cast<long>(at), len, 0xFF);
        }
        break;
    }
    case READ: {
        uint64_t at = uint64_t(c.a) * 256, len = uint64_t(c.b) * 256;
        if (at + len > flash)
            c.status = UNIT_STATUS_RANGE; // the data outside reads as erased
        readAddress_ = at;
        readLeft_ = len;
        break;
    }
    case WRITE: {
        uint64_t at = uint64_t(c.a) * 256, len = uint64_t(c.b) * 256;
        writeInRange_ = at + len <= flash;
        if (!writeInRange_)
            c.status = UNIT_STATUS_RANGE; // the data is taken and dropped
        writeAddress_ = static_cast<uint32_t>(at);
        writeLength_ = static_cast<uint32_t>(std::min<uint64_t>(len, UINT32_MAX));
        writeGot_ = 0;
        writeBuffer_.assign(writeInRange_ ? writeLength_ : 0, 0);
        break;
    }
    case FINISH:
    case REJECT:
        if (!guarded)
            c.status = UNIT_STATUS_BAD_COMMAND;
        else if (c.code == FINISH)
            finished_ = true;
        break;
    case BOOT_VERSION:
        if (!guarded)
            c.status = UNIT_STATUS_BAD_COMMAND;
        else
            value = bootVersion_;
        break;
    case FLASH_SIZE:
        if (!guarded)
            c.status = UNIT_STATUS_BAD_COMMAND;
        else
            value = static_cast<uint32_t>(flash);
        break;
    default:
        c.status = UNIT_STATUS_BAD_COMMAND;
        break;
    }
    if (c.code == WRITE) {
        writing_ = true;
        if (writeLength_ == 0)
            finishWrite();
        return;
    }
    if (c.code == READ) {
        queueReply(c, 0);
        if (!suppress_) {
            reading_ = true;
            readReplyPending_ = true;
        }
        return;
    }
    queueReply(c, value);
}

void UnitSim::finishWrite() {
    writing_ = false;
    UnitCommand& c = commands_.back();
    if (writeInRange_) {
        if (c.c > writeLength_) {
            c.status = UNIT_STATUS_RANGE;
        } else {
            if (c.c != 0)
                unscramble(writeBuffer_.data(), c.c);
            // A write of no bytes has no buffer to copy from.
            if (writeLength_ != 0)
                std::memcpy(flash_.data() + writeAddress_, writeBuffer_.data(), writeLength_);
            if (sum(writeBuffer_.data(), writeLength_) != c.d)
                c.status = UNIT_STATUS_CHECKSUM;
            for (uint32_t bad : wrongBytes_)
                if (bad >= writeAddress_ && bad - writeAddress_ < writeLength_)
                    flash_[bad] ^= 0xA5;
        }
    }
    writeBuffer_.clear();
    writeBuffer_.shrink_to_fit();
    queueReply(c, 0);
}

void UnitSim::queueReply(UnitCommand& c, uint32_t value) {
    bool badChecksum = false;
    suppress_ = false;
    for (Rule& r : rules_) {
        if (r.rule.code != 0 && r.rule.code != c.code)
            continue;
        int index = r.seen++;
        if (r.rule.nth >= 0 && index != r.rule.nth)
            continue;
        switch (r.rule.kind) {
        case UnitFault::NoReply:
            suppress_ = true;
            break;
        case UnitFault::BadChecksum:
            badChecksum = true;
            break;
        case UnitFault::Status:
            c.status = r.rule.status;
            break;
        }
    }
    if (suppress_)
        return;
    std::array<uint8_t, 65> report;
    report.fill(0xCC);
    uint8_t* f = report.data() + 1;
    report[0] = 0;
    std::memset(f, 0, FRAME);
    f[0] = c.code;
    f[1] = 0x17;
    put32(f + 2, c.status);
    put32(f + 6, value);
    std::memcpy(f + 19, "HIDC", 4);
    put32(f + 23, sum(f, 23) + (badChecksum ? 1 : 0));
    c.replied = true;
    if (c.code == READ)
        readReply_ = report;
    else
        out_.push_back(report);
}

int UnitSim::send(uint8_t* report) {
    int k = produce(report);
    if (k > 0 && logReports_) {
        UnitReport r{false, {}};
        std::memcpy(r.bytes.data(), report, static_cast<size_t>(k));
        std::fill(r.bytes.begin() + k, r.bytes.end(), 0xCC); // as the hosts' links pad it
        reportLog_.push_back(r);
    }
    return k;
}

int UnitSim::produce(uint8_t* report) {
    if (!report || unplugged_)
        return 0;
    if (!reading_ && out_.empty())
        return 0;
    if (!countReport())
        return 0;
    pace();
    ++reportsOut_;
    if (reading_ && readLeft_ > 0) {
        int k =
            static_cast<int>(std::min<uint64_t>(static_cast<uint64_t>(readPayload_), readLeft_));
        report[0] = 0;
        for (int i = 0; i < k; ++i) {
            uint64_t at = readAddress_ + static_cast<uint64_t>(i);
            report[1 + i] = at < flash_.size() ? flash_[at] : 0xFF;
        }
        std::memset(report + 1 + k, 0xCC, static_cast<size_t>(64 - k));
        readAddress_ += static_cast<uint64_t>(k);
        readLeft_ -= static_cast<uint64_t>(k);
        return k + 1;
    }
    if (reading_) {
        reading_ = false;
        readReplyPending_ = false;
        std::memcpy(report, readReply_.data(), REPORT_SIZE);
        return REPORT_SIZE;
    }
    std::memcpy(report, out_.front().data(), REPORT_SIZE);
    out_.pop_front();
    return REPORT_SIZE;
}

void UnitSim::discardOutput() {
    out_.clear();
    reading_ = false;
    readReplyPending_ = false;
    readLeft_ = 0;
}

std::unique_ptr<QV_ReportTransport> UnitSim::transport() {
    return std::make_unique<InProcessTransport>(this);
}
