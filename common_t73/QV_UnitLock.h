// One program per unit: while a program uses a unit it holds an exclusive
// advisory lock (flock) on the unit's device node, or for an emulated unit
// on a socket, on a lock file beside the socket. Other users, a root start
// and the command-line tool beside the window all see the same lock.
#pragma once

#include <string>

// What a second program says when it finds the unit locked.
inline constexpr const char* UNIT_IN_USE_TEXT = "The unit is in use by another program";

// The file locked for the unit at a QV_Hid_open path without its "socket:"
// prefix: the node itself for a device path, PATH.lock for a socket.
std::string QV_UnitLock_pathForSocket(const std::string& socketPath);

// The file locked for an emulator at "HOST:PORT" (a tcp: unit): a lock file
// named after it in the private temporary directory; empty (errno set) when
// that directory cannot be had.
std::string QV_UnitLock_pathForTcp(const std::string& hostPort);

// The file locked for a real unit at its device path: the node itself where
// device nodes take locks; else (Windows) a lock file named after the path
// in the private temporary directory, empty (errno set) when that directory
// cannot be had.
std::string QV_UnitLock_pathForDevice(const std::string& devicePath);

enum QV_UnitLockResult {
    QV_UNIT_LOCK_HELD = 0,   // the lock is ours; *fd holds it
    QV_UNIT_LOCK_BUSY = 1,   // another open file holds it; *holderPid when known
    QV_UNIT_LOCK_FAILED = 2, // the file could not be opened or locked: the unit stays closed
};

// Takes the exclusive lock on path without waiting. create makes the file
// (mode 0644; reading is all a lock needs) when it is not there. On QV_UNIT_LOCK_HELD
// *fd is the descriptor to close to release it, else -1. On
// QV_UNIT_LOCK_BUSY *holderPid is the holder's process id, 0 when it cannot
// be learnt. On QV_UNIT_LOCK_FAILED *error, when given, is the errno that
// stopped it (0 on success).
QV_UnitLockResult QV_UnitLock_acquire(const std::string& path, bool create, int* fd, int* holderPid,
                                      int* error = nullptr);

// "The unit's lock PATH cannot be taken (REASON): ..." for a lock that
// failed with errno error.
std::string QV_UnitLock_failedText(const std::string& path, int error);

// The process holding a flock on the file open at fd, from the kernel's
// lock table (locksPath, normally /proc/locks); 0 when none is listed or the
// table cannot be read.
int QV_UnitLock_holderPid(int fd, const char* locksPath = "/proc/locks");

// UNIT_IN_USE_TEXT, followed by " (process N)" when pid is known (> 0).
std::string QV_UnitLock_inUseText(int pid);
