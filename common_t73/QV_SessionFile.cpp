#include "common_t73/QV_SessionFile.h"

#include <nlohmann/json.hpp>

#include <fstream>

#include "common_t73/QV_Cmd.h"
#include "common_t73/QV_SessionCodec.h"
#include "support/hex.h"

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
        j["report"] = hex_lower(e.report.data(), e.report.size());
        if (e.result != REPORT_SIZE)
            j["result"] = e.result;
        break;
    case SessionKind::Read:
        j["event"] = "read";
        j["ms"] = e.ms;
        if (e.timeoutMs >= 0)
            j["timeout_ms"] = e.timeoutMs;
        else
            j["report"] = hex_lower(e.report.data(), e.report.size());
        break;
    case SessionKind::WriteRun:
        j["event"] = "write_run";
        j["ms"] = e.ms;
        j["count"] = e.count;
        j["bytes"] = e.bytes;
        j["sha256"] = e.sha256;
        j["first"] = hex_lower(e.first.data(), e.first.size());
        j["last"] = hex_lower(e.last.data(), e.last.size());
        break;
    case SessionKind::ReadRun:
        j["event"] = "read_run";
        j["ms"] = e.ms;
        j["count"] = e.count;
        j["bytes"] = e.bytes;
        j["zlib_base64"] = session_to_base64(session_deflate(e.data));
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
        return str(key, &text) && hex_parse(text, v) && v->size() <= size_t(REPORT_SIZE) &&
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
            !str("zlib_base64", &packed) || !session_from_base64(packed, &zipped) ||
            !session_inflate(zipped, size_t(count) * REPORT_SIZE, &e->data)) {
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
