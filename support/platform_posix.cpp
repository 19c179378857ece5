#include "support/platform.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <pthread.h>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

// ---- Files -----------------------------------------------------------------

int platform_open(const std::string& path, int how, int mode) {
    int flags = (how & PLATFORM_READ) && (how & PLATFORM_WRITE) ? O_RDWR
                : (how & (PLATFORM_WRITE | PLATFORM_APPEND))    ? O_WRONLY
                                                                : O_RDONLY;
    if (how & PLATFORM_CREATE)
        flags |= O_CREAT;
    if (how & PLATFORM_TRUNCATE)
        flags |= O_TRUNC;
    if (how & PLATFORM_APPEND)
        flags |= O_APPEND;
    if (how & PLATFORM_EXCLUSIVE)
        flags |= O_EXCL;
    if (how & PLATFORM_NO_LINK)
        flags |= O_NOFOLLOW;
    if (how & PLATFORM_NO_WAIT)
        flags |= O_NONBLOCK | O_NOCTTY;
    return ::open(path.c_str(), flags | O_CLOEXEC, static_cast<mode_t>(mode));
}

FILE* platform_fopen(const std::string& path, const char* how) {
    // "e": close-on-exec, like every descriptor opened here.
    std::string mode = how ? how : "r";
    if (mode.find('e') == std::string::npos)
        mode += 'e';
    return std::fopen(path.c_str(), mode.c_str());
}

FILE* platform_fdopen(int fd, const char* how) {
    return ::fdopen(fd, how);
}

int platform_close(int fd) {
    return fd < 0 ? 0 : ::close(fd);
}

long platform_read(int fd, void* buffer, size_t n) {
    return static_cast<long>(::read(fd, buffer, n));
}

long platform_write(int fd, const void* data, size_t n) {
    return static_cast<long>(::write(fd, data, n));
}

long platform_pread(int fd, void* buffer, size_t n, int64_t offset) {
    for (;;) {
        ssize_t got = ::pread(fd, buffer, n, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        return static_cast<long>(got);
    }
}

int platform_fsync(int fd) {
    return ::fsync(fd);
}

namespace {

PlatformPathKind kind_of(const struct stat& st, int64_t* size) {
    if (S_ISREG(st.st_mode)) {
        if (size)
            *size = static_cast<int64_t>(st.st_size);
        return PLATFORM_PATH_FILE;
    }
    return S_ISDIR(st.st_mode)    ? PLATFORM_PATH_DIR
           : S_ISLNK(st.st_mode)  ? PLATFORM_PATH_LINK
           : S_ISSOCK(st.st_mode) ? PLATFORM_PATH_SOCKET
           : S_ISFIFO(st.st_mode) ? PLATFORM_PATH_FIFO
           : S_ISCHR(st.st_mode)  ? PLATFORM_PATH_CHAR_DEVICE
           : S_ISBLK(st.st_mode)  ? PLATFORM_PATH_BLOCK_DEVICE
                                  : PLATFORM_PATH_OTHER;
}

} // namespace

PlatformPathKind platform_path_kind(const std::string& path, int64_t* size, bool follow) {
    struct stat st {};
    if ((follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0)
        return PLATFORM_PATH_MISSING;
    return kind_of(st, size);
}

PlatformPathKind platform_fd_kind(int fd, int64_t* size) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return PLATFORM_PATH_MISSING;
    return kind_of(st, size);
}

bool platform_owned_by_me(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && st.st_uid == ::geteuid();
}

bool platform_access_denied(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0 && ::access(path.c_str(), R_OK | W_OK) != 0 &&
           errno == EACCES;
}

bool platform_folder_writable(const std::string& path) {
    return ::access(path.c_str(), W_OK | X_OK) == 0;
}

int platform_truncate(int fd, int64_t size) {
    return ::ftruncate(fd, static_cast<off_t>(size));
}

int platform_truncate_private(int fd) {
    return ::ftruncate(fd, 0) != 0 || ::fchmod(fd, 0600) != 0 ? -1 : 0;
}

void platform_set_blocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

int platform_mkdir(const std::string& path, bool owner_only) {
    return ::mkdir(path.c_str(), owner_only ? 0700 : 0777);
}

int platform_remove(const std::string& path) {
    return std::remove(path.c_str());
}

std::string platform_open_file_path(int fd) {
    std::string self = "/proc/self/fd/" + std::to_string(fd);
    return ::access(self.c_str(), R_OK) == 0 ? self : std::string();
}

int platform_rename(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str());
}

// ---- Locks -----------------------------------------------------------------

bool platform_devices_lockable() {
    return true;
}

PlatformLockResult platform_lock(int fd, bool exclusive) {
    if (::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0)
        return PLATFORM_LOCK_HELD;
    return errno == EWOULDBLOCK ? PLATFORM_LOCK_BUSY : PLATFORM_LOCK_FAILED;
}

int platform_lock_holder(int fd, const char* locks_table) {
    struct stat st {};
    if (fd < 0 || !locks_table || ::fstat(fd, &st) != 0)
        return 0;
    char id[64];
    std::snprintf(id, sizeof id, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long>(st.st_ino));
    FILE* f = std::fopen(locks_table, "re");
    if (!f)
        return 0;
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; lines of waiters
    // carry "->" after the number and are not holders.
    int pid = 0;
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
        char num[16], kind[16], mode[16], access[16], dev[64];
        int p = 0;
        if (std::sscanf(line, "%15s %15s %15s %15s %d %63s", num, kind, mode, access, &p, dev) != 6)
            continue;
        if (std::strcmp(kind, "FLOCK") != 0 || std::strcmp(dev, id) != 0 || p <= 0)
            continue;
        pid = p;
        break;
    }
    std::fclose(f);
    return pid;
}

// ---- Folders ---------------------------------------------------------------

char platform_separator() {
    return '/';
}

std::string platform_temp_root() {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = tmp && *tmp ? tmp : "/tmp";
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return dir;
}

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

std::string platform_state_dir() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/')
        return std::string(state) + "/trevik";
    const char* home = std::getenv("HOME");
    if (home_problem(home).empty())
        return std::string(home) + "/.local/state/trevik";
    return std::string();
}

std::string platform_state_dir_problem() {
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

// ---- Stop requests ---------------------------------------------------------

struct PlatformStopWatch {
    sigset_t set;
    sigset_t saved;
};

PlatformStopWatch* platform_stop_watch_begin() {
    auto* w = new (std::nothrow) PlatformStopWatch;
    if (!w)
        return nullptr;
    sigemptyset(&w->set);
    sigaddset(&w->set, SIGINT);
    sigaddset(&w->set, SIGTERM);
    sigaddset(&w->set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &w->set, &w->saved);
    return w;
}

int platform_stop_watch_wait(PlatformStopWatch* w, int ms) {
    if (!w)
        return 0;
    timespec wait{ms / 1000, static_cast<long>(ms % 1000) * 1000 * 1000};
    return sigtimedwait(&w->set, nullptr, &wait) > 0 ? 1 : 0;
}

void platform_stop_watch_end(PlatformStopWatch* w) {
    if (!w)
        return;
    pthread_sigmask(SIG_SETMASK, &w->saved, nullptr);
    delete w;
}

// ---- The process and the clock ---------------------------------------------

int platform_pid() {
    return static_cast<int>(::getpid());
}

std::string platform_self_path() {
    char path[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

bool platform_utc_time(std::time_t t, std::tm* out) {
    return ::gmtime_r(&t, out) != nullptr;
}

bool platform_local_time(std::time_t t, std::tm* out) {
    return ::localtime_r(&t, out) != nullptr;
}

std::time_t platform_time_of_utc(std::tm* utc) {
    return ::timegm(utc);
}
