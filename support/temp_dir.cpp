#include "support/temp_dir.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    return (dir == "/" ? "" : dir) + "/trevik-" + std::to_string(static_cast<unsigned long>(geteuid()));
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
