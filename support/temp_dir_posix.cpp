#include "support/temp_dir.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/text.h"

std::string temp_dir_path() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    // A relative runtime directory would depend on where the tool was started.
    if (runtime && runtime[0] == '/') {
        std::string dir = runtime;
        while (dir.size() > 1 && dir.back() == '/')
            dir.pop_back();
        return (dir == "/" ? "" : dir) + "/trevik";
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = tmp && *tmp ? tmp : "/tmp";
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return (dir == "/" ? "" : dir) + "/trevik-" +
           std::to_string(static_cast<unsigned long>(geteuid()));
}

std::string temp_dir_ensure() {
    std::string dir = temp_dir_path();
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return std::string();
    // Checked through a descriptor of the directory itself, so what is
    // checked is what was opened, never what a link points to.
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        struct stat st {};
        if (::lstat(dir.c_str(), &st) == 0)
            err = S_ISLNK(st.st_mode) ? ELOOP : S_ISDIR(st.st_mode) ? err : ENOTDIR;
        errno = err;
        return std::string();
    }
    struct stat st {};
    int err = 0;
    if (::fstat(fd, &st) != 0)
        err = errno;
    else if (!S_ISDIR(st.st_mode))
        err = ENOTDIR;
    else if (st.st_uid != geteuid())
        err = EPERM;
    else if (st.st_mode & (S_IWGRP | S_IWOTH))
        err = EACCES; // others may have put files into it already
    else if ((st.st_mode & 077) != 0 && ::fchmod(fd, 0700) != 0)
        err = errno;
    ::close(fd);
    if (err != 0) {
        errno = err;
        return std::string();
    }
    return dir;
}

std::u16string temp_dir_file(const char16_t* name) {
    std::string dir = temp_dir_ensure();
    if (dir.empty() || !name)
        return std::u16string();
    return utf8_to_wtext(dir + "/") + name;
}

int temp_dir_open(const char* path, int flags, mode_t mode) {
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    return ::open(path, flags | O_NOFOLLOW | O_CLOEXEC, mode);
}

int temp_dir_claim_run(const char* dir) {
    if (!dir)
        return -1;
    int fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    // Shared: two runs of one name may both hold it; a sweep takes it
    // exclusively only when no run does.
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void temp_dir_release_run(int fd) {
    if (fd >= 0)
        ::close(fd);
}

namespace {

// Removes leftover in dir when no live run claims dir; then dir itself when
// it is empty and not the top directory.
void sweep_one(const std::string& dir, const char* leftover, bool top) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid() || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return;
    }
    ::unlinkat(fd, leftover, 0);
    if (!top)
        ::rmdir(dir.c_str()); // only an empty one goes
    ::close(fd);
}

// The slot the signal handler reads: fixed buffers, armed last.
char signal_file[PATH_MAX];
char signal_dir[PATH_MAX];
volatile std::sig_atomic_t signal_armed = 0;
const int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

void remove_then_end(int sig) {
    if (signal_armed) {
        if (signal_file[0])
            ::unlink(signal_file);
        if (signal_dir[0])
            ::rmdir(signal_dir);
    }
    // The end the signal would have had.
    std::signal(sig, SIG_DFL);
    ::raise(sig);
}

void install_once() {
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    for (int sig : CLEANUP_SIGNALS) {
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL ||
            (old.sa_flags & SA_SIGINFO))
            continue;
        struct sigaction sa {};
        sa.sa_handler = remove_then_end;
        sigemptyset(&sa.sa_mask);
        ::sigaction(sig, &sa, nullptr);
    }
}

void copy_path(char* dst, const char* src) {
    dst[0] = '\0';
    if (src && std::strlen(src) < PATH_MAX)
        std::strcpy(dst, src);
}

} // namespace

void temp_dir_sweep_stale(const char* leftover) {
    if (!leftover || !*leftover || std::strchr(leftover, '/'))
        return;
    std::string top = temp_dir_path();
    struct stat st {};
    if (::lstat(top.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        return;
    std::vector<std::string> dirs;
    if (DIR* d = ::opendir(top.c_str())) {
        while (dirent* e = ::readdir(d)) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
                continue;
            std::string path = top + "/" + e->d_name;
            if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                dirs.push_back(path);
        }
        ::closedir(d);
    }
    for (const std::string& dir : dirs)
        sweep_one(dir, leftover, false);
    sweep_one(top, leftover, true);
}

void temp_dir_remove_on_signal(const char* file, const char* dir) {
    signal_armed = 0;
    if (!file && !dir)
        return;
    copy_path(signal_file, file);
    copy_path(signal_dir, dir);
    install_once();
    signal_armed = 1;
}
