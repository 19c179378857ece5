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
#include <fstream>
#include <vector>

#include "common_t73/QV_Machine.h"
#include "config/records.h"
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
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/')
        return std::string(state) + "/trevik";
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return std::string(home) + "/.local/state/trevik";
    return "";
}

std::string make_private_directory(const std::string& dir) {
    if (dir.empty())
        return "no directory for the tool's state (neither XDG_STATE_HOME nor HOME is set)";
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
    char16_t client[MACHINE_IDENTITY_SIZE + 1] = {};
    QV_Machine_clientText(m, client, MACHINE_IDENTITY_SIZE + 1);
    char board[5] = {};
    std::memcpy(board, m->main_setting + MS_OFF_BOARD_NAME, 4);
    j["client_id"] = wtext_to_utf8(client);
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
    int fd = ::open(path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return errno;
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
    if (err != 0)
        return path + ": " + (err < 0 ? "short write" : std::strerror(err));
    return "";
}

bool update_history_entry_valid(const nlohmann::json& j) {
    if (!j.is_object())
        return false;
    auto text = [&j](const char* key) { return j.contains(key) && j[key].is_string(); };
    if (!text("time") || !text("result") || !j.contains("unit") || !j["unit"].is_object())
        return false;
    return !j.contains("after") || j["after"].is_object() || j["after"].is_null();
}

size_t update_history_each(const std::string& state_dir,
                           const std::function<void(const nlohmann::json&)>& fn) {
    size_t skipped = 0;
    std::ifstream in(update_history_path(state_dir), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty())
            continue; // the newline that ended a torn line
        nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        if (update_history_entry_valid(j))
            fn(j);
        else
            ++skipped;
    }
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
