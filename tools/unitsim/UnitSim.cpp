#include "tools/unitsim/UnitSim.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr uint32_t MAGIC = 0x6B2D9E41;
constexpr uint32_t ACCESS_WORD = 0x5E17C0A3;
constexpr uint8_t ERASE = 0xF1, READ = 0xF2, WRITE = 0xF3, FINISH = 0xF4, BOOT_VERSION = 0xF7,
                  REJECT = 0xF9, FLASH_SIZE = 0xFB;
constexpr int FRAME = 27;

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint32_t sum(const uint8_t* p, size_t n) {
    uint32_t s = 0;
    for (size_t i = 0; i < n; ++i)
        s += p[i];
    return s;
}

uint32_t round4k(uint32_t n) {
    return (n + 4095u) & ~4095u;
}

void put_text(uint8_t* field, size_t width, const std::string& text) {
    std::memcpy(field, text.data(), std::min(width, text.size()));
}

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

// ---------------------------------------------------------------- records

uint32_t unit_param_address(bool layout502) {
    return layout502 ? 0x19000 : 0x11000;
}
uint32_t unit_main_setting_address(bool layout502) {
    return layout502 ? 0x1E000 : 0x16000;
}
uint32_t unit_identity_address(bool layout502) {
    return layout502 ? 0x1F000 : 0x18000;
}

int unit_param_sum_length(int kind) {
    switch (kind) {
    case 1:
        return 24;
    case 2:
        return 72;
    case 3:
        return 170;
    case 4:
        return 59;
    case 5:
        return 111;
    default:
        return 0;
    }
}

void UnitMainSetting::placeRegions(bool layout502, uint32_t server, uint32_t voice,
                                   uint32_t radarMute, uint32_t gps, uint32_t updateTool,
                                   uint32_t track) {
    base = layout502 ? 0x21000 : 0x19000;
    leadingSize = 0;
    serverAddress = base + leadingSize;
    serverSize = round4k(server);
    voiceAddress = serverAddress + serverSize;
    voiceSize = round4k(voice);
    radarMuteAddress = voiceAddress + voiceSize;
    radarMuteSize = round4k(radarMute);
    gpsAddress = radarMuteAddress + radarMuteSize;
    gpsSize = round4k(gps);
    updateToolAddress = gpsAddress + gpsSize;
    updateToolSize = round4k(updateTool);
    trackAddress = updateToolAddress + updateToolSize;
    trackSize = track;
    layoutEnd = trackAddress + trackSize;
}

std::array<uint8_t, 231> unit_main_setting_record(const UnitMainSetting& ms) {
    std::array<uint8_t, 231> r{};
    uint8_t* p = r.data();
    put32(p + 0, ms.version);
    put_text(p + 4, 4, ms.board);
    put32(p + 8, ms.programVersion);
    put32(p + 13, ms.requiredToolVersion);
    p[17] = ms.optionFlag;
    p[18] = ms.updateToolPresent;
    p[19] = ms.variantB;
    p[21] = ms.variantD;
    p[22] = ms.variantC;
    put32(p + 59, ms.flashSize);
    put32(p + 63, ms.serverAddress);
    put32(p + 67, ms.serverSize);
    put32(p + 71, ms.updateToolAddress);
    put32(p + 75, ms.updateToolSize);
    put32(p + 79, ms.voiceAddress);
    put32(p + 83, ms.voiceSize);
    put32(p + 87, ms.radarMuteAddress);
    put32(p + 91, ms.radarMuteSize);
    put32(p + 95, ms.gpsAddress);
    put32(p + 99, ms.gpsSize);
    put32(p + 103, ms.base);
    put32(p + 107, ms.leadingSize);
    put32(p + 111, ms.layoutEnd);
    put32(p + 115, ms.trackAddress);
    put32(p + 119, ms.trackSize);
    put32(p + 227, MAGIC);
    return r;
}

std::array<uint8_t, 178> unit_server_setting_record(const UnitServerSetting& ss) {
    std::array<uint8_t, 178> r{};
    put_text(r.data() + 0, 50, ss.apn);
    put_text(r.data() + 50, 20, ss.server);
    put32(r.data() + 70, ss.port);
    put_text(r.data() + 74, 50, ss.user);
    put_text(r.data() + 124, 50, ss.password);
    put32(r.data() + 174, MAGIC);
    return r;
}

bool unit_param_seal(uint8_t* record, int kind) {
    int n = unit_param_sum_length(kind);
    if (!record || n == 0)
        return false;
    if (kind >= 3)
        put32(record + n, MAGIC); // the last word of the summed range
    put32(record, sum(record + 4, static_cast<size_t>(n)));
    return true;
}

std::array<uint8_t, 256> unit_param_record(int kind, const std::string& board,
                                           uint32_t programVersion) {
    std::array<uint8_t, 256> r{};
    uint8_t* p = r.data();
    if (kind == 1 || kind == 2) {
        p[10] = 8; // time zone
        for (int i = 0; i < 12; ++i)
            p[11 + i] = 1;
        p[24] = 7;
        p[25] = 19;
        if (kind == 2) {
            put_text(p + 28, 4, board);
            put32(p + 32, programVersion);
        } else {
            p[40] = 0x5A; // keeps the 72-byte sum from matching by chance
        }
    } else if (kind >= 3 && kind <= 5) {
        put_text(p + 4, 4, board);
        put32(p + 8, programVersion);
        p[16] = 0x80; // radar frequency display available
        p[18] = 8;
        const int8_t counts[5] = {1, 1, 2, 3, 1}; // X, Ku, K, Ka, Laser
        int enables = 0;
        for (int i = 0; i < 5; ++i) {
            p[19 + i] = static_cast<uint8_t>(counts[i]);
            enables += counts[i];
        }
        for (int i = 0; i < enables; ++i)
            p[24 + i] = 1;
        p[50] = 7;
        p[51] = 19;
        p[52] = 1;
        if (kind == 3) {
            put_text(p + 53, 28, "cmnet");
            put_text(p + 81, 20, "gps.example.com");
            put_text(p + 101, 7, "8080");
            put_text(p + 108, 28, "user");
            put_text(p + 136, 28, "pass");
        }
        const uint16_t edges[8][2] = {{10500, 10550}, {13400, 13500}, {24050, 24150},
                                      {24150, 24250}, {33400, 34200}, {34200, 35000},
                                      {35000, 36000}, {0, 0}};
        int table = unit_param_sum_length(kind) + 4;
        for (int i = 0; i < enables; ++i) {
            p[table + 4 * i] = static_cast<uint8_t>(edges[i][0]);
            p[table + 4 * i + 1] = static_cast<uint8_t>(edges[i][0] >> 8);
            p[table + 4 * i + 2] = static_cast<uint8_t>(edges[i][1]);
            p[table + 4 * i + 3] = static_cast<uint8_t>(edges[i][1] >> 8);
        }
    } else {
        r.fill(0xFF);
        return r;
    }
    unit_param_seal(p, kind);
    return r;
}

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

// The kind of a parameter record, tried from the longest checksum down as
// the host does; 0 when none matches.
int unit_param_kind_of(const uint8_t* record) {
    for (int kind : {5, 4, 3, 2, 1}) {
        int n = unit_param_sum_length(kind);
        if (get32(record) != sum(record + 4, static_cast<size_t>(n)))
            continue;
        if (kind >= 3 && get32(record + n) != MAGIC)
            continue;
        return kind;
    }
    return 0;
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

// ---------------------------------------------------------------- server

struct UnitSimServer::Impl {
    int listenFd = -1;
    int stopPipe[2] = {-1, -1};
    std::thread thread;
};

UnitSimServer::UnitSimServer(UnitSim& unit, std::string socketPath)
    : impl_(std::make_unique<Impl>()), unit_(unit), path_(std::move(socketPath)) {
    if (::pipe2(impl_->stopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        impl_->stopPipe[0] = impl_->stopPipe[1] = -1;
}

UnitSimServer::~UnitSimServer() {
    stop();
    if (impl_->listenFd >= 0) {
        ::close(impl_->listenFd);
        ::unlink(path_.c_str());
    }
    for (int fd : impl_->stopPipe)
        if (fd >= 0)
            ::close(fd);
}

int UnitSimServer::stopFd() const {
    return impl_->stopPipe[1];
}

bool UnitSimServer::listen() {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path_.empty() || path_.size() >= sizeof addr.sun_path || impl_->stopPipe[0] < 0)
        return false;
    struct stat st {};
    // A socket left behind by an earlier run is replaced; anything else at
    // the name is not ours to replace.
    if (::lstat(path_.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode))
        return false;
    // The socket is bound and listening under a name of its own in the same
    // folder, then renamed into place: whoever sees it appear can connect
    // at once.
    static std::atomic<unsigned> serial{0};
    size_t slash = path_.rfind('/');
    std::string folder = slash == std::string::npos ? std::string() : path_.substr(0, slash + 1);
    std::string staging = folder + ".unit-sim-" + std::to_string(::getpid()) + "-" +
                          std::to_string(serial++);
    bool staged = staging.size() < sizeof addr.sun_path;
    const std::string& bound = staged ? staging : path_;
    if (staged)
        ::unlink(staging.c_str());
    else if (::lstat(path_.c_str(), &st) == 0)
        ::unlink(path_.c_str()); // too long a folder for a staging name: bind in place
    std::memcpy(addr.sun_path, bound.data(), bound.size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return false;
    }
    if (::listen(fd, 4) != 0 || (staged && ::rename(staging.c_str(), path_.c_str()) != 0)) {
        ::close(fd);
        ::unlink(bound.c_str());
        return false;
    }
    impl_->listenFd = fd;
    return true;
}

namespace {

bool send_all(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

} // namespace

void UnitSimServer::run(void (*onDisconnect)(void*), void* user) {
    int stopFd = impl_->stopPipe[0];
    for (;;) {
        pollfd waits[2] = {{impl_->listenFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (::poll(waits, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (waits[1].revents)
            return;
        int client = ::accept4(impl_->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        if (unit_.unplugged())
            unit_.replug(); // a new connection plugs the unit back in
        // Take what the host sent in large reads and answer report by report.
        std::vector<uint8_t> in(REPORT_SIZE * 1024);
        size_t have = 0;
        bool stopping = false;
        bool open = true;
        while (open) {
            pollfd w[2] = {{client, POLLIN, 0}, {stopFd, POLLIN, 0}};
            if (::poll(w, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            if (w[1].revents) {
                stopping = true;
                break;
            }
            ssize_t n = ::recv(client, in.data() + have, in.size() - have, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            have += static_cast<size_t>(n);
            size_t used = 0;
            while (open && have - used >= REPORT_SIZE) {
                bool taken = unit_.receive(in.data() + used, REPORT_SIZE);
                used += REPORT_SIZE;
                // The host's write completes now, before the replies come.
                if (taken && !send_all(client, &SOCKET_REPORT_TAKEN, 1))
                    taken = false;
                uint8_t out[REPORT_SIZE];
                int k;
                while (taken && (k = unit_.send(out)) > 0) {
                    // Every report on the socket is whole: pad a short one.
                    if (k < REPORT_SIZE)
                        std::memset(out + k, 0xCC, static_cast<size_t>(REPORT_SIZE - k));
                    if (!send_all(client, out, REPORT_SIZE)) {
                        taken = false;
                        break;
                    }
                }
                if (!taken || unit_.unplugged())
                    open = false;
            }
            std::memmove(in.data(), in.data() + used, have - used);
            have -= used;
        }
        ::close(client);
        unit_.connectionEnded();
        if (onDisconnect)
            onDisconnect(user);
        if (stopping)
            return;
    }
}

bool UnitSimServer::start() {
    if (impl_->listenFd < 0 && !listen())
        return false;
    impl_->thread = std::thread([this] { run(); });
    return true;
}

void UnitSimServer::stop() {
    if (impl_->stopPipe[1] >= 0) {
        char b = 1;
        [[maybe_unused]] ssize_t n = ::write(impl_->stopPipe[1], &b, 1);
    }
    if (impl_->thread.joinable())
        impl_->thread.join();
}
