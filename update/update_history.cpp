#include "update/update_history.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "common_t73/QV_Hid.h"
#include "common_t73/QV_HidChannel.h"
#include "common_t73/QV_Machine.h"
#include "config/records.h"
#include "support/platform.h"
#include "support/sha256.h"
#include "support/stream.h"
#include "support/text.h"

namespace {

std::string date_text(const DateStamp& d) {
    if (d.year == 0)
        return "";
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u", unsigned(d.year), unsigned(d.month),
                  unsigned(d.day));
    return buf;
}

nlohmann::json date_json(const DateStamp& d) {
    std::string t = date_text(d);
    return t.empty() ? nlohmann::json(nullptr) : nlohmann::json(t);
}

} // namespace

std::string trevik_state_directory() {
    return platform_state_dir();
}

std::string trevik_state_directory_problem() {
    return platform_state_dir_problem();
}

std::string make_private_directory(const std::string& dir) {
    if (dir.empty()) {
        std::string why = trevik_state_directory_problem();
        return why.empty() ? "no directory for the tool's state" : why;
    }
    std::string path;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find_first_of(std::string("/") + platform_separator(), pos + 1);
        path = dir.substr(0, pos);
        if (path.empty() || platform_path_kind(path, nullptr, true) == PLATFORM_PATH_DIR)
            continue;
        if (platform_mkdir(path, true) != 0 && errno != EEXIST)
            return path + ": " + std::strerror(errno);
    }
    PlatformPathKind kind = platform_path_kind(dir, nullptr, true);
    if (kind == PLATFORM_PATH_MISSING)
        return dir + ": " + std::strerror(errno);
    if (kind != PLATFORM_PATH_DIR)
        return dir + ": not a directory";
    if (!platform_folder_writable(dir))
        return dir + ": " + std::strerror(errno);
    return "";
}

std::string update_history_path(const std::string& state_dir) {
    return state_dir + "/history.jsonl";
}

nlohmann::json history_unit_state(const QV_Machine* m) {
    nlohmann::json j = nlohmann::json::object();
    if (!m)
        return j;
    char16_t client[CLIENT_ID_SIZE + 1] = {};
    QV_Machine_clientText(m, client, CLIENT_ID_SIZE + 1);
    char board[5] = {};
    std::memcpy(board, m->main_setting + MS_OFF_BOARD_NAME, 4);
    j["client_id"] = wtext_to_utf8(client);
    // Which unit it was: node numbers change on a replug, the USB serial
    // does not.
    std::string path = m->channel ? QV_Hid_handlePath(m->channel->handle) : std::string();
    std::string serial = QV_Hid_serialOf(path);
    j["unit_path"] = path.empty() ? nlohmann::json(nullptr) : nlohmann::json(path);
    j["serial"] = serial.empty() ? nlohmann::json(nullptr) : nlohmann::json(serial);
    j["board"] = std::string(board);
    j["boot"] = m->boot_version;
    j["program_version"] = rec_u32(m->main_setting + MS_OFF_PROGRAM_VERSION);
    j["gps_date"] = date_json(m->gps_date);
    j["voice_date"] = date_json(m->voice_date);
    j["radar_mute_date"] = date_json(m->radar_mute_date);
    return j;
}

namespace {

// Feeds read(buf, n) into SHA-256 until it returns 0; -1 fails the hash.
template <typename Read> std::string sha256_of(Read read) {
    Sha256* h = sha256_begin();
    bool ok = h != nullptr;
    std::vector<unsigned char> buf(1 << 16);
    while (ok) {
        long got = read(buf.data(), buf.size());
        if (got < 0)
            ok = false;
        else if (got == 0)
            break;
        else
            ok = sha256_add(h, buf.data(), size_t(got));
    }
    uint8_t digest[SHA256_BYTES];
    ok = sha256_end(h, digest) && ok;
    if (!ok)
        return "";
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (uint8_t b : digest) {
        out.push_back(hex[b >> 4]);
        out.push_back(hex[b & 0xF]);
    }
    return out;
}

} // namespace

std::string history_file_sha256(const std::string& path) {
    int fd = platform_open(path, PLATFORM_READ);
    if (fd < 0)
        return "";
    std::string out = history_fd_sha256(fd);
    platform_close(fd);
    return out;
}

std::string history_fd_sha256(int fd) {
    if (fd < 0)
        return "";
    int64_t at = 0;
    return sha256_of([fd, &at](unsigned char* buf, size_t n) -> long {
        long got = platform_pread(fd, buf, n, at);
        if (got > 0)
            at += got;
        return got;
    });
}

std::string history_time_now() {
    return utc_time_text(std::time(nullptr));
}

std::string update_history_line(const nlohmann::json& entry) {
    // Bytes that are no UTF-8 (a client id from the unit) are replaced, so
    // one odd unit never costs the line.
    return entry.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

int update_history_append_line(const char* path, const char* line, size_t length) {
    // Not blocking: a FIFO at the name must not hold the run, and takes no line.
    int fd = platform_open(path, PLATFORM_READ | PLATFORM_WRITE | PLATFORM_CREATE | PLATFORM_APPEND |
                                     PLATFORM_NO_LINK | PLATFORM_NO_WAIT,
                           0600);
    if (fd < 0)
        return errno;
    int64_t size = 0;
    if (platform_fd_kind(fd, &size) != PLATFORM_PATH_FILE) {
        platform_close(fd);
        return HISTORY_NOT_REGULAR;
    }
    // A last line torn by a full disk would swallow this one: it is ended
    // first, in the same write.
    char last = '\n';
    if (size > 0 && platform_pread(fd, &last, 1, size - 1) != 1)
        last = '\n';
    char stack[4096];
    const char* out = line;
    size_t n = length;
    if (last != '\n') {
        if (length + 1 > sizeof stack) {
            // Too long for the stack: the newline goes alone, just before.
            if (platform_write(fd, "\n", 1) != 1) {
                int err = errno;
                platform_close(fd);
                return err ? err : -1;
            }
        } else {
            stack[0] = '\n';
            std::memcpy(stack + 1, line, length);
            out = stack;
            n = length + 1;
        }
    }
    // One write per line: concurrent runs append whole lines.
    long written = platform_write(fd, out, n);
    int err = written < 0 ? errno : written != long(n) ? -1 : 0;
    if (platform_close(fd) != 0 && err == 0)
        err = errno;
    return err;
}

std::string update_history_append(const std::string& state_dir, const nlohmann::json& entry) {
    std::string why = make_private_directory(state_dir);
    if (!why.empty())
        return why;
    std::string path = update_history_path(state_dir);
    std::string line = update_history_line(entry);
    int err = update_history_append_line(path.c_str(), line.data(), line.size());
    if (err == HISTORY_NOT_REGULAR)
        return history_not_regular_text(path);
    if (err != 0)
        return path + ": " + (err < 0 ? "short write" : std::strerror(err));
    return "";
}

std::string history_not_regular_text(const std::string& path) {
    const char* kind = stream_path_special_kind(path.c_str());
    return path + " is " +
           (kind ? std::string(kind) + ", not a regular file" : "not a regular file");
}

std::string history_printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    auto escape = [&out](unsigned c) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%02x", c);
        out += buf;
    };
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            escape(c);
            ++i;
            continue;
        }
        if (c < 0x80) {
            out.push_back(char(c));
            ++i;
            continue;
        }
        // A whole UTF-8 character passes, unless it is a C1 control (a
        // terminal may take U+009B as the start of an escape sequence);
        // a byte that starts none is shown by its value.
        size_t n = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
        bool whole = n != 0 && i + n <= text.size();
        for (size_t k = 1; whole && k < n; ++k)
            whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (!whole || (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0)) {
            escape(c);
            ++i;
            continue;
        }
        out.append(text, i, n);
        i += n;
    }
    return out;
}

namespace {

using Json = nlohmann::json;

bool is_text(const Json& v) {
    return v.is_string();
}
bool is_text_or_null(const Json& v) {
    return v.is_string() || v.is_null();
}
bool is_object_or_null(const Json& v) {
    return v.is_object() || v.is_null();
}
bool is_bool_or_null(const Json& v) {
    return v.is_boolean() || v.is_null();
}
bool is_provinces(const Json& v) {
    if (v.is_null() || v.is_string())
        return true;
    if (!v.is_array())
        return false;
    for (const Json& name : v)
        if (!name.is_string())
            return false;
    return true;
}
bool is_areas(const Json& v) {
    if (!v.is_array())
        return false;
    for (const Json& a : v)
        if (!a.is_object() || !a.contains("name") || !a["name"].is_string() ||
            !a.contains("address") || !a["address"].is_number_unsigned() ||
            !a.contains("length") || !a["length"].is_number_unsigned())
            return false;
    return true;
}
bool is_confirmed(const Json& v) {
    if (!v.is_object())
        return false;
    for (const auto& [key, value] : v.items())
        if (!is_bool_or_null(value))
            return false;
    return true;
}

// Each field the tool writes and the shape it writes it in.
const struct {
    const char* key;
    bool (*fits)(const Json&);
} FIELD_SHAPES[] = {
    {"time", is_text},
    {"tool_version", is_text},
    {"tool_release", is_text},
    {"unit", [](const Json& v) { return v.is_object(); }},
    {"after", is_object_or_null},
    {"package", is_text},
    {"package_entry", is_text},
    {"package_sha256", is_text_or_null},
    {"provinces", is_provinces},
    {"areas", is_areas},
    {"confirmed", is_confirmed},
    {"text", is_text},
    {"note", is_text},
    {"status", [](const Json& v) { return v.is_number_integer(); }},
    {"verified", is_bool_or_null},
    {"verify_finished", [](const Json& v) { return v.is_boolean(); }},
    {"duration_s", [](const Json& v) { return v.is_number(); }},
    {"backup", is_text_or_null},
};

const char* const RESULTS[] = {"succeeded", "failed", "interrupted", "unconfirmed"};

// Opens the history for reading without waiting on a FIFO; -1 when there
// is none, -2 when the name is something other than a regular file.
int open_history(const std::string& path) {
    int fd = platform_open(path, PLATFORM_READ | PLATFORM_NO_WAIT);
    if (fd < 0)
        return errno != ENOENT && stream_path_special_kind(path.c_str()) ? -2 : -1;
    if (platform_fd_kind(fd) != PLATFORM_PATH_FILE) {
        platform_close(fd);
        return -2;
    }
    return fd;
}

} // namespace

bool update_history_entry_valid(const nlohmann::json& j) {
    if (!j.is_object() || !j.contains("time") || !j.contains("result") || !j.contains("unit"))
        return false;
    for (const auto& field : FIELD_SHAPES)
        if (j.contains(field.key) && !field.fits(j[field.key]))
            return false;
    const Json& result = j["result"];
    if (!result.is_string())
        return false;
    for (const char* known : RESULTS)
        if (result.get_ref<const std::string&>() == known)
            return true;
    return false;
}

size_t update_history_each(const std::string& state_dir,
                           const std::function<void(const nlohmann::json&)>& fn,
                           std::string* refused) {
    if (refused)
        refused->clear();
    std::string path = update_history_path(state_dir);
    int fd = open_history(path);
    if (fd == -2 && refused)
        *refused = history_not_regular_text(path);
    if (fd < 0)
        return 0;
    size_t skipped = 0;
    std::string pending;
    std::vector<char> buf(1 << 16);
    auto take = [&](const std::string& l) {
        if (l.empty())
            return; // the newline that ended a torn line
        nlohmann::json j = nlohmann::json::parse(l, nullptr, false);
        if (update_history_entry_valid(j))
            fn(j);
        else
            ++skipped;
    };
    for (;;) {
        long got = platform_read(fd, buf.data(), buf.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        size_t start = 0;
        for (size_t i = 0; i < size_t(got); ++i)
            if (buf[i] == '\n') {
                pending.append(buf.data() + start, i - start);
                take(pending);
                pending.clear();
                start = i + 1;
            }
        pending.append(buf.data() + start, size_t(got) - start);
    }
    platform_close(fd);
    take(pending);
    return skipped;
}

std::vector<nlohmann::json> update_history_read(const std::string& state_dir, size_t* skipped) {
    std::vector<nlohmann::json> entries;
    size_t n = update_history_each(state_dir,
                                   [&entries](const nlohmann::json& j) { entries.push_back(j); });
    if (skipped)
        *skipped = n;
    return entries;
}
