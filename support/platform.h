// What differs between POSIX systems and Windows, in one place: files by
// UTF-8 path, locks on open files, the user's folders, stop requests from
// the terminal, the process and the clock. platform_posix.cpp and
// platform_win.cpp implement it (CMake builds the one of the target), so
// nothing above support/ needs to know which system it runs on.
//
// Every file is opened in binary mode (Windows would otherwise turn CR LF
// into LF and stop at a 0x1A byte) and is not inherited by programs started
// later. Paths are UTF-8 on both sides; Windows gets them as UTF-16.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

// ---- Files -----------------------------------------------------------------

// How platform_open opens a file: one of the access modes, or-ed with the
// rest.
enum : int {
    PLATFORM_READ = 0x01,
    PLATFORM_WRITE = 0x02, // with PLATFORM_READ: both
    PLATFORM_CREATE = 0x04,
    PLATFORM_TRUNCATE = 0x08,
    PLATFORM_APPEND = 0x10,
    PLATFORM_EXCLUSIVE = 0x20, // with PLATFORM_CREATE: fails (EEXIST) when the name exists
    PLATFORM_NO_LINK = 0x40,   // a symbolic link at the name is refused (ELOOP)
    PLATFORM_NO_WAIT = 0x80,   // POSIX: O_NONBLOCK | O_NOCTTY (a device node); Windows: nothing
};

// Opens path. A created file gets mode (POSIX permission bits; on Windows
// only "read-only" is taken from it: the folder's access list rules).
// Returns a descriptor for read/write/close, or -1 with errno set.
int platform_open(const std::string& path, int how, int mode = 0600);

// fopen of path with how as for fopen ("rb", "wb", "ab", "r+b"; binary
// whether or not it says "b"). Null with errno set on failure.
FILE* platform_fopen(const std::string& path, const char* how);

// A FILE on an open descriptor (binary). Null on failure; fd stays open then.
FILE* platform_fdopen(int fd, const char* how);

// Closes a descriptor; -1 is ignored. Returns 0, or -1 with errno set.
int platform_close(int fd);

// Reads up to n bytes from offset without moving the file position: the
// bytes read (0 at the end), or -1 with errno set.
long platform_pread(int fd, void* buffer, size_t n, int64_t offset);

// Has the file's written data reach the disk. 0, or -1 with errno set.
int platform_fsync(int fd);

enum PlatformPathKind {
    PLATFORM_PATH_MISSING = 0, // nothing there (or it cannot be looked at)
    PLATFORM_PATH_FILE = 1,
    PLATFORM_PATH_DIR = 2,
    PLATFORM_PATH_LINK = 3,   // a symbolic link (or Windows reparse point), not followed
    PLATFORM_PATH_SOCKET = 4, // a Unix-domain socket
    PLATFORM_PATH_OTHER = 5,  // a device node, a pipe
};

// What is at path, without following a link there (lstat) unless follow
// (stat: then never PLATFORM_PATH_LINK; a dangling link is missing); *size,
// when given and a file is there, its size in bytes.
PlatformPathKind platform_path_kind(const std::string& path, int64_t* size = nullptr,
                                    bool follow = false);

// Makes one folder; only this user may use it when owner_only. 0, or -1
// with errno set (EEXIST when something is at the name already).
int platform_mkdir(const std::string& path, bool owner_only);

// Removes a file or an empty folder. 0, or -1 with errno set.
int platform_remove(const std::string& path);

// ---- Locks -----------------------------------------------------------------

enum PlatformLockResult {
    PLATFORM_LOCK_HELD = 0,   // ours until the descriptor is closed or unlocked
    PLATFORM_LOCK_BUSY = 1,   // another open file holds a lock that excludes this one
    PLATFORM_LOCK_FAILED = 2, // errno says why
};

// Takes an advisory lock on the whole open file without waiting: exclusive,
// or shared with other shared holders. POSIX flock; Windows LockFileEx.
PlatformLockResult platform_lock(int fd, bool exclusive);

// The process holding a lock on the file open at fd, when the system says
// (locks_table: Linux's /proc/locks); 0 when unknown.
int platform_lock_holder(int fd, const char* locks_table);

// ---- Folders ---------------------------------------------------------------

// The folder separator of paths built here ('/' or '\\').
char platform_separator();

// The system's folder for temporary files ($TMPDIR, else /tmp; Windows:
// GetTempPath), without a trailing separator.
std::string platform_temp_root();

// The folder of the tool's kept state ($XDG_STATE_HOME/trevik, else
// ~/.local/state/trevik; Windows: %LOCALAPPDATA%\trevik), whether or not it
// exists; empty when no home folder is known.
std::string platform_state_dir();

// ---- Stop requests ---------------------------------------------------------

// Between platform_stop_watch_begin and _end the terminal's stop requests
// (POSIX: SIGINT, SIGTERM, SIGHUP; Windows: Ctrl-C, Ctrl-Break, closing the
// console) no longer end the process: they are counted for
// platform_stop_watch_wait. Begin before starting the threads of a run
// (POSIX blocks the signals in the calling thread and its new threads).
struct PlatformStopWatch;
PlatformStopWatch* platform_stop_watch_begin();
// Waits up to ms for a stop request; 1 when one came (each is taken once),
// else 0.
int platform_stop_watch_wait(PlatformStopWatch* w, int ms);
// Restores what stop requests did before; null is ignored.
void platform_stop_watch_end(PlatformStopWatch* w);

// ---- The process and the clock ---------------------------------------------

// This process's id.
int platform_pid();

// The path of the running program, or empty.
std::string platform_self_path();

// Broken-down UTC and local time of t (gmtime_r / localtime_r). False when
// t cannot be represented.
bool platform_utc_time(std::time_t t, std::tm* out);
bool platform_local_time(std::time_t t, std::tm* out);
