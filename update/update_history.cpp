#include "update/update_history.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

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

namespace {

// Why HOME cannot hold the state directory, or "" when it can. The tool
// makes its folders below an existing home, never the home itself.
std::string home_problem(const char* home) {
    if (!home || !*home)
        return "HOME is not set";
    if (home[0] != '/')
        return std::string("HOME is not an absolute path (") + home + ")";
    struct stat st {};
    if (::stat(home, &st) != 0)
        return std::string("HOME names ") + home + ", which " +
               (errno == ENOENT ? std::string("does not exist")
                                : "cannot be used: " + std::string(std::strerror(errno))) +
               " (a home folder is never created)";
    if (!S_ISDIR(st.st_mode))
        return std::string("HOME names ") + home + ", which is not a folder";
    return "";
}

} // namespace

std::string trevik_state_directory() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/')
        return std::string(state) + "/trevik";
    const char* home = std::getenv("HOME");
    if (home_problem(home).empty())
        return std::string(home) + "/.local/state/trevik";
    return "";
}

std::string trevik_state_directory_problem() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/')
        return "";
    const char* home = std::getenv("HOME");
    std::string why = home_problem(home);
    if (why.empty())
        return "";
    bool state_set = state && *state;
    if (!state_set && (!home || !*home))
        return "no directory for the tool's state (neither XDG_STATE_HOME nor HOME is set)";
    return "no directory for the tool's state: " +
           (state_set ? "XDG_STATE_HOME is not an absolute path (" + std::string(state) + ")"
                      : std::string("XDG_STATE_HOME is not set")) +
           ", and " + why;
}

std::string make_private_directory(const std::string& dir) {
    if (dir.empty()) {
        std::string why = trevik_state_directory_problem();
        return why.empty() ? "no directory for the tool's state" : why;
    }
    std::string path;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        path = dir.substr(0, pos);
        if (path.empty())
            continue;
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
            return path + ": " + std::strerror(errno);
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0)
        return dir + ": " + std::strerror(errno);
    if (!S_ISDIR(st.st_mode))
        return dir + ": not a directory";
    if (::access(dir.c_str(), W_OK | X_OK) != 0)
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
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = ctx && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
    std::vector<unsigned char> buf(1 << 16);
    while (ok) {
        ssize_t got = read(buf.data(), buf.size());
        if (got < 0)
            ok = false;
        else if (got == 0)
            break;
        else
            ok = EVP_DigestUpdate(ctx, buf.data(), size_t(got));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    ok = ok && EVP_DigestFinal_ex(ctx, digest, &len) && len == 32;
    EVP_MD_CTX_free(ctx);
    if (!ok)
        return "";
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < len; ++i) {
        out.push_back(hex[digest[i] >> 4]);
        out.push_back(hex[digest[i] & 0xF]);
    }
    return out;
}

} // namespace

std::string history_file_sha256(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    std::string out = history_fd_sha256(fd);
    ::close(fd);
    return out;
}

std::string history_fd_sha256(int fd) {
    if (fd < 0)
        return "";
    off_t at = 0;
    return sha256_of([fd, &at](unsigned char* buf, size_t n) -> ssize_t {
        ssize_t got;
        do
            got = ::pread(fd, buf, n, at);
        while (got < 0 && errno == EINTR);
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
    int fd = ::open(path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0)
        return errno;
    struct stat kind {};
    if (::fstat(fd, &kind) != 0 || !S_ISREG(kind.st_mode)) {
        ::close(fd);
        return HISTORY_NOT_REGULAR;
    }
    // A last line torn by a full disk would swallow this one: it is ended
    // first, in the same write.
    struct stat st {};
    char last = '\n';
    if (::fstat(fd, &st) == 0 && st.st_size > 0 && ::pread(fd, &last, 1, st.st_size - 1) != 1)
        last = '\n';
    char stack[4096];
    const char* out = line;
    size_t n = length;
    if (last != '\n') {
        if (length + 1 > sizeof stack) {
            // Too long for the stack: the newline goes alone, just before.
            if (::write(fd, "\n", 1) != 1) {
                int err = errno;
                ::close(fd);
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
    ssize_t written = ::write(fd, out, n);
    int err = written < 0 ? errno : written != ssize_t(n) ? -1 : 0;
    if (::close(fd) != 0 && err == 0)
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
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return errno != ENOENT && stream_path_special_kind(path.c_str()) ? -2 : -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
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
        ssize_t got = ::read(fd, buf.data(), buf.size());
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
    ::close(fd);
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
