#include "common_t73/QV_UnitLock.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "support/platform.h"
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

std::string QV_UnitLock_pathForDevice(const std::string& devicePath) {
    if (platform_devices_lockable())
        return devicePath;
    std::string dir = temp_dir_ensure();
    if (dir.empty())
        return std::string();
    // A device path is full of characters no file name takes.
    std::string name = "unit-device-" + devicePath + ".lock";
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != '_')
            c = '_';
    return dir + platform_separator() + name;
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
    // Read access is enough for the lock, and a device node the user may
    // not write is then still checked for a holder.
    int d = platform_open(path, PLATFORM_READ | PLATFORM_NO_WAIT);
    // Made only when missing: opening another user's file with O_CREAT in a
    // sticky directory is refused where protected_regular is on.
    if (d < 0 && errno == ENOENT && create) {
        d = platform_open(path, PLATFORM_READ | PLATFORM_NO_WAIT | PLATFORM_CREATE |
                                    PLATFORM_EXCLUSIVE, 0644);
        if (d < 0 && errno == EEXIST)
            d = platform_open(path, PLATFORM_READ | PLATFORM_NO_WAIT);
    }
    if (d < 0) {
        if (error)
            *error = errno;
        return QV_UNIT_LOCK_FAILED;
    }
    PlatformLockResult locked = platform_lock(d, true);
    if (locked == PLATFORM_LOCK_HELD) {
        *fd = d;
        return QV_UNIT_LOCK_HELD;
    }
    int err = errno;
    if (error)
        *error = err;
    if (locked == PLATFORM_LOCK_BUSY && holderPid)
        *holderPid = QV_UnitLock_holderPid(d);
    platform_close(d);
    return locked == PLATFORM_LOCK_BUSY ? QV_UNIT_LOCK_BUSY : QV_UNIT_LOCK_FAILED;
}

int QV_UnitLock_holderPid(int fd, const char* locksPath) {
    return platform_lock_holder(fd, locksPath);
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
