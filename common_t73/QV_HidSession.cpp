#include "common_t73/QV_HidSession.h"

#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "common_t73/QV_Cmd.h"
#include "common_t73/QV_Machine.h"
#include "config/records.h"
#include "support/build_settings.h"
#include "support/checksum.h"

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

// ---- redaction ----

const uint8_t PLACEHOLDER = 'x';

// Replaces the text of a NUL-padded field, from keep on, by placeholders.
void blank_text(uint8_t* field, size_t size, size_t keep) {
    for (size_t i = keep; i < size && field[i] != 0; ++i)
        field[i] = PLACEHOLDER;
}

// The part of a client id the tool compares with its customers: the
// longest of their names the id begins with.
size_t client_brand_length(const uint8_t* id, size_t n) {
    size_t keep = 0;
    auto take = [&](const char* name, size_t len) {
        if (len <= n && len > keep && std::memcmp(id, name, len) == 0)
            keep = len;
    };
    take(TOOL_CUSTOMER_NAME, TOOL_CUSTOMER_NAME_LEN);
    take(SERVED_CUSTOMER_PREFIX, SERVED_CUSTOMER_PREFIX_LEN);
    take(SERVED_CUSTOMER_FULL, SERVED_CUSTOMER_FULL_LEN);
    for (const char* name :
         {VERSION_CUSTOMER_A_NAME, VERSION_CUSTOMER_B_PREFIX, VERSION_CUSTOMER_C_PREFIX,
          VERSION_CUSTOMER_D_PREFIX, VERSION_CUSTOMER_E_PREFIX, VERSION_CUSTOMER_F_PREFIX})
        take(name, std::strlen(name));
    for (int i = 0; i < KNOWN_CUSTOMER_COUNT; ++i)
        take(KNOWN_CUSTOMER_IDS[i], std::strlen(KNOWN_CUSTOMER_IDS[i]));
    return keep;
}

// A whole record at rec_address inside [address, address + length).
uint8_t* record_at(uint32_t address, uint8_t* payload, size_t length, uint32_t rec_address,
                   size_t size) {
    if (rec_address < address || uint64_t(rec_address - address) + size > length)
        return nullptr;
    return payload + (rec_address - address);
}

bool redact_server_half(uint8_t* half) {
    if (!half || !server_settings_half_valid(half))
        return false;
    uint8_t* ss = half + 4;
    blank_text(ss + SS_OFF_USER, SS_USER_SIZE, 0);
    blank_text(ss + SS_OFF_PASSWORD, SS_PASSWORD_SIZE, 0);
    rec_set_u32(half, byte_sum(ss, SERVER_SETTINGS_RECORD_SIZE));
    return true;
}

bool redact_param(uint8_t* rec) {
    if (!rec || param_record_kind(rec) != 3)
        return false;
    blank_text(rec + P3_OFF_USER, P3_USER_SIZE, 0);
    blank_text(rec + P3_OFF_PASSWORD, P3_PASSWORD_SIZE, 0);
    param_record_seal(rec, 3);
    return true;
}

bool redact_client(uint8_t* id) {
    if (!id)
        return false;
    size_t n = 0;
    while (n < 255 && id[n] != 0 && !(id[n] == 0xFF && id[n + 1] == 0xFF))
        ++n;
    size_t keep = client_brand_length(id, n);
    for (size_t i = keep; i < n; ++i)
        id[i] = PLACEHOLDER;
    return n > keep;
}

// ---- text helpers ----

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool from_hex(const std::string& text, std::vector<uint8_t>* out) {
    if (text.size() % 2)
        return false;
    out->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = hex_value(text[i]), lo = hex_value(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out->push_back(uint8_t(hi << 4 | lo));
    }
    return true;
}

const char BASE64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string to_base64(const std::vector<uint8_t>& in) {
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        uint32_t v = uint32_t(in[i]) << 16;
        if (i + 1 < in.size())
            v |= uint32_t(in[i + 1]) << 8;
        if (i + 2 < in.size())
            v |= in[i + 2];
        out += BASE64[v >> 18 & 63];
        out += BASE64[v >> 12 & 63];
        out += i + 1 < in.size() ? BASE64[v >> 6 & 63] : '=';
        out += i + 2 < in.size() ? BASE64[v & 63] : '=';
    }
    return out;
}

bool from_base64(const std::string& in, std::vector<uint8_t>* out) {
    if (in.size() % 4)
        return false;
    out->clear();
    for (size_t i = 0; i < in.size(); i += 4) {
        uint32_t v = 0;
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            char c = in[i + k];
            const char* at = c ? std::strchr(BASE64, c) : nullptr;
            if (c == '=' && i + 4 == in.size() && k >= 2) {
                ++pad;
                v <<= 6;
            } else if (at && pad == 0) {
                v = v << 6 | uint32_t(at - BASE64);
            } else {
                return false;
            }
        }
        out->push_back(uint8_t(v >> 16));
        if (pad < 2)
            out->push_back(uint8_t(v >> 8));
        if (pad < 1)
            out->push_back(uint8_t(v));
    }
    return true;
}

std::vector<uint8_t> deflate_bytes(const std::vector<uint8_t>& in) {
    uLongf size = compressBound(uLong(in.size()));
    std::vector<uint8_t> out(size);
    if (compress2(out.data(), &size, in.data(), uLong(in.size()), 9) != Z_OK)
        return {};
    out.resize(size);
    return out;
}

bool inflate_bytes(const std::vector<uint8_t>& in, size_t expected, std::vector<uint8_t>* out) {
    // zlib expands at most about 1032 times: a larger claim is not sized.
    if (expected > in.size() * 1032 + 64)
        return false;
    out->assign(expected, 0);
    uLongf size = uLongf(expected);
    if (uncompress(out->data(), &size, in.data(), uLong(in.size())) != Z_OK || size != expected)
        return false;
    return true;
}

} // namespace

std::string QV_Session_hex(const uint8_t* data, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

int QV_Session_redact(const SessionRedaction& what, uint32_t address, uint8_t* payload,
                      size_t length) {
    if (!payload)
        return 0;
    bool changed = false;
    if (what.gprs) {
        for (uint32_t block : {FLASH_MAIN_SETTING_ADDRESS, FLASH_MAIN_SETTING_ADDRESS_502})
            changed |= redact_server_half(
                record_at(address, payload, length, block + MSB_HALF_SIZE, MSB_HALF_SIZE));
        for (uint32_t at : {FLASH_PARAM_ADDRESS, FLASH_PARAM_ADDRESS_502})
            changed |= redact_param(record_at(address, payload, length, at, PARAM_RECORD_SIZE));
    }
    if (what.client) {
        for (uint32_t at : {FLASH_IDENTITY_ADDRESS, FLASH_IDENTITY_ADDRESS_502})
            changed |=
                redact_client(record_at(address, payload, length, at, MACHINE_IDENTITY_SIZE));
    }
    return changed ? 1 : 0;
}

// ---- write runs ----

struct SessionWriteFramer::Hash {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    Hash() { EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr); }
    ~Hash() { EVP_MD_CTX_free(ctx); }
    void add(const uint8_t* p, size_t n) { EVP_DigestUpdate(ctx, p, n); }
    std::string hex() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        EVP_DigestFinal_ex(ctx, digest, &n);
        return QV_Session_hex(digest, n);
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

// ---- the file ----

std::string QV_Session_eventLine(const SessionEvent& e) {
    nlohmann::ordered_json j;
    switch (e.kind) {
    case SessionKind::Open:
        j["event"] = "open";
        j["ms"] = e.ms;
        break;
    case SessionKind::Close:
        j["event"] = "close";
        j["ms"] = e.ms;
        break;
    case SessionKind::Write:
        j["event"] = "write";
        j["ms"] = e.ms;
        j["report"] = QV_Session_hex(e.report.data(), e.report.size());
        if (e.result != REPORT_SIZE)
            j["result"] = e.result;
        break;
    case SessionKind::Read:
        j["event"] = "read";
        j["ms"] = e.ms;
        if (e.timeoutMs >= 0)
            j["timeout_ms"] = e.timeoutMs;
        else
            j["report"] = QV_Session_hex(e.report.data(), e.report.size());
        break;
    case SessionKind::WriteRun:
        j["event"] = "write_run";
        j["ms"] = e.ms;
        j["count"] = e.count;
        j["bytes"] = e.bytes;
        j["sha256"] = e.sha256;
        j["first"] = QV_Session_hex(e.first.data(), e.first.size());
        j["last"] = QV_Session_hex(e.last.data(), e.last.size());
        break;
    case SessionKind::ReadRun:
        j["event"] = "read_run";
        j["ms"] = e.ms;
        j["count"] = e.count;
        j["bytes"] = e.bytes;
        j["zlib_base64"] = to_base64(deflate_bytes(e.data));
        break;
    }
    return j.dump();
}

namespace {

// Reads one event object; returns false with why set.
bool parse_event(const nlohmann::json& j, SessionEvent* e, std::string* why) {
    auto str = [&](const char* key, std::string* v) {
        auto it = j.find(key);
        if (it == j.end() || !it->is_string())
            return false;
        *v = it->get<std::string>();
        return true;
    };
    auto num = [&](const char* key, uint64_t limit, uint64_t* v) {
        auto it = j.find(key);
        if (it == j.end() || !it->is_number_unsigned() || it->get<uint64_t>() > limit)
            return false;
        *v = it->get<uint64_t>();
        return true;
    };
    auto report = [&](const char* key, std::vector<uint8_t>* v, bool whole) {
        std::string text;
        return str(key, &text) && from_hex(text, v) && v->size() <= size_t(REPORT_SIZE) &&
               (!whole || v->size() == size_t(REPORT_SIZE));
    };
    std::string kind;
    uint64_t v = 0;
    if (!str("event", &kind)) {
        *why = "no \"event\"";
        return false;
    }
    if (!num("ms", 24ull * 3600 * 1000, &v)) {
        *why = "no \"ms\" (0 to one day)";
        return false;
    }
    e->ms = uint32_t(v);
    if (kind == "open" || kind == "close") {
        e->kind = kind == "open" ? SessionKind::Open : SessionKind::Close;
        return true;
    }
    if (kind == "write") {
        e->kind = SessionKind::Write;
        if (!report("report", &e->report, true)) {
            *why = "a write needs its \"report\" (65 bytes in hex)";
            return false;
        }
        e->result = REPORT_SIZE;
        if (j.contains("result")) {
            if (!num("result", REPORT_SIZE, &v)) {
                *why = "bad \"result\"";
                return false;
            }
            e->result = int(v);
        }
        return true;
    }
    if (kind == "read") {
        e->kind = SessionKind::Read;
        if (j.contains("timeout_ms")) {
            if (!num("timeout_ms", 600000, &v)) {
                *why = "bad \"timeout_ms\"";
                return false;
            }
            e->timeoutMs = int(v);
            return true;
        }
        if (!report("report", &e->report, false) || e->report.empty()) {
            *why = "a read needs its \"report\" (hex) or \"timeout_ms\"";
            return false;
        }
        return true;
    }
    // A run's count sizes what replay serves: keep it within what one
    // command can move (a 32-bit length in 64-byte reports).
    const uint64_t max_reports = (uint64_t(1) << 32) / CMD_DATA_SIZE;
    if (kind == "write_run") {
        e->kind = SessionKind::WriteRun;
        uint64_t count = 0;
        if (!num("count", max_reports, &count) || count == 0 || !num("bytes", ~0ull, &e->bytes) ||
            !str("sha256", &e->sha256) || e->sha256.size() != 64 ||
            !report("first", &e->first, true) || !report("last", &e->last, true)) {
            *why = "a write_run needs count, bytes, sha256, first and last";
            return false;
        }
        e->count = uint32_t(count);
        return true;
    }
    if (kind == "read_run") {
        e->kind = SessionKind::ReadRun;
        uint64_t count = 0;
        std::string packed;
        std::vector<uint8_t> zipped;
        // Read runs are the unit's records and headers; a recording never
        // keeps bulk data this way.
        if (!num("count", 1u << 20, &count) || count == 0 || !num("bytes", ~0ull, &e->bytes) ||
            !str("zlib_base64", &packed) || !from_base64(packed, &zipped) ||
            !inflate_bytes(zipped, size_t(count) * REPORT_SIZE, &e->data)) {
            *why = "a read_run needs count, bytes and its reports (zlib, base64)";
            return false;
        }
        e->count = uint32_t(count);
        return true;
    }
    *why = "unknown event \"" + kind + "\"";
    return false;
}

// The text at key, or "" when there is none or it is no text.
std::string text_at(const nlohmann::json& j, const char* key) {
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

} // namespace

int QV_Session_load(const std::string& path, Session* out, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot be read";
        return 0;
    }
    *out = Session{};
    std::string line;
    int number = 0;
    bool ended = false;
    auto fail = [&](const std::string& why) {
        *error = path + ": line " + std::to_string(number) + ": " + why;
        return 0;
    };
    while (std::getline(in, line)) {
        ++number;
        if (in.eof())
            return fail("the line is cut off (the file is truncated)");
        if (ended)
            return fail("text after the end line");
        nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_discarded() || !j.is_object())
            return fail("not a JSON object");
        if (number == 1) {
            if (text_at(j, "format") != SESSION_FORMAT)
                return fail(std::string("not a session file (no \"format\":\"") + SESSION_FORMAT +
                            "\")");
            if (!j.contains("version") || !j["version"].is_number_integer() ||
                j["version"].get<int64_t>() != SESSION_VERSION)
                return fail("session format version " +
                            (j.contains("version") ? j["version"].dump() : std::string("none")) +
                            ", this tool reads version " + std::to_string(SESSION_VERSION));
            if (j.contains("command") && j["command"].is_array())
                for (const auto& a : j["command"])
                    if (a.is_string())
                        out->command.push_back(a.get<std::string>());
            out->redaction.gprs = false;
            if (j.contains("redacted") && j["redacted"].is_array())
                for (const auto& r : j["redacted"]) {
                    if (r == "gprs_user" || r == "gprs_password")
                        out->redaction.gprs = true;
                    if (r == "client_id")
                        out->redaction.client = true;
                }
            out->headerText = line;
            continue;
        }
        if (text_at(j, "event") == "end") {
            if (!j.contains("exit") || !j["exit"].is_number_integer())
                return fail("the end line needs its \"exit\"");
            out->exitCode = int(j["exit"].get<int64_t>());
            ended = true;
            continue;
        }
        SessionEvent e;
        std::string why;
        if (!parse_event(j, &e, &why))
            return fail(why);
        e.line = number;
        out->events.push_back(std::move(e));
    }
    if (number == 0) {
        *error = path + ": line 1: empty file";
        return 0;
    }
    if (!ended) {
        ++number;
        return fail("no end line (the file is truncated)");
    }
    return 1;
}
