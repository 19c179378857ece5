#include "common_t73/QV_UnitLock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "support/temp_dir.h"

std::string QV_UnitLock_pathForSocket(const std::string& socketPath) {
    return socketPath + ".lock";
}

std::string QV_UnitLock_pathForTcp(const std::string& hostPort) {
    std::string dir = temp_dir_ensure();
    if (dir.empty())
        return std::string();
    std::string name = "unit-tcp-" + hostPort + ".lock";
    // A host name is a file name here: nothing in it may leave the folder.
    for (char& c : name)
        if (c == '/' || c == '\\' || c == ':')
            c = '_';
    return dir + "/" + name;
}

QV_UnitLockResult QV_UnitLock_acquire(const std::string& path, bool create, int* fd, int* holderPid,
                                      int* error) {
    if (fd)
        *fd = -1;
    if (holderPid)
        *holderPid = 0;
    if (error)
        *error = 0;
    if (path.empty() || !fd) {
        if (error)
            *error = EINVAL;
        return QV_UNIT_LOCK_FAILED;
    }
    // Read access is enough for flock, and a device node the user may not
    // write is then still checked for a holder.
    int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int d = ::open(path.c_str(), flags);
    // Made only when missing: opening another user's file with O_CREAT in a
    // sticky directory is refused where protected_regular is on.
    if (d < 0 && errno == ENOENT && create) {
        d = ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0644);
        if (d < 0 && errno == EEXIST)
            d = ::open(path.c_str(), flags);
    }
    if (d < 0) {
        if (error)
            *error = errno;
        return QV_UNIT_LOCK_FAILED;
    }
    if (::flock(d, LOCK_EX | LOCK_NB) == 0) {
        *fd = d;
        return QV_UNIT_LOCK_HELD;
    }
    int err = errno;
    QV_UnitLockResult result = QV_UNIT_LOCK_FAILED;
    if (error)
        *error = err;
    if (err == EWOULDBLOCK) {
        result = QV_UNIT_LOCK_BUSY;
        if (holderPid)
            *holderPid = QV_UnitLock_holderPid(d);
    }
    ::close(d);
    return result;
}

int QV_UnitLock_holderPid(int fd, const char* locksPath) {
    struct stat st {};
    if (fd < 0 || !locksPath || ::fstat(fd, &st) != 0)
        return 0;
    char id[64];
    std::snprintf(id, sizeof id, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long>(st.st_ino));
    FILE* f = std::fopen(locksPath, "re");
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

std::string QV_UnitLock_inUseText(int pid) {
    std::string text = UNIT_IN_USE_TEXT;
    if (pid > 0)
        text += " (process " + std::to_string(pid) + ")";
    return text;
}

std::string QV_UnitLock_failedText(const std::string& path, int error) {
    // Without the lock another program could write the unit at the same
    // time, so the unit is not opened at all.
    return "The unit's lock " + path + " cannot be taken (" + std::strerror(error) +
           "): the unit is not opened";
}
