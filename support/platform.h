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
#include <vector>

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

// Reads up to n bytes at the file position: the bytes read (0 at the end),
// or -1 with errno set (EINTR included: the caller decides).
long platform_read(int fd, void* buffer, size_t n);

// Writes up to n bytes at the file position (at the end when opened with
// PLATFORM_APPEND): the bytes written, or -1 with errno set.
long platform_write(int fd, const void* data, size_t n);

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
    PLATFORM_PATH_SOCKET = 4,       // a Unix-domain socket
    PLATFORM_PATH_OTHER = 5,        // none of the others
    PLATFORM_PATH_FIFO = 6,         // a named pipe
    PLATFORM_PATH_CHAR_DEVICE = 7,  // a character device node
    PLATFORM_PATH_BLOCK_DEVICE = 8, // a block device node
};

// What is at path, without following a link there (lstat) unless follow
// (stat: then never PLATFORM_PATH_LINK; a dangling link is missing); *size,
// when given and a file is there, its size in bytes. When missing, errno
// says why (ENOENT, ENOTDIR, EACCES, ...).
PlatformPathKind platform_path_kind(const std::string& path, int64_t* size = nullptr,
                                    bool follow = false);

// What the open descriptor fd is (fstat), with *size as above;
// PLATFORM_PATH_MISSING with errno set when it cannot be told.
PlatformPathKind platform_fd_kind(int fd, int64_t* size = nullptr);

// Whether what is at path (not followed) belongs to the user running this
// program. False when it cannot be told.
bool platform_owned_by_me(const std::string& path);

// Whether path exists but this user may not read and write it (EACCES):
// a device node without a rule for the user, say.
bool platform_access_denied(const std::string& path);

// Whether the folder at path takes new files from this user. False with
// errno set when not.
bool platform_folder_writable(const std::string& path);

// Sets the open file's length to size bytes (cut or zero-filled). 0, or -1
// with errno set.
int platform_truncate(int fd, int64_t size);

// Cuts the open file to nothing and leaves it readable and writable by its
// owner alone (POSIX 0600; on Windows the folder's access list rules).
// 0, or -1 with errno set.
int platform_truncate_private(int fd);

// Lets reads and writes on fd wait again after PLATFORM_NO_WAIT opened it.
void platform_set_blocking(int fd);

// Creates a new file named prefix + random characters + suffix in folder dir
// (exclusive, 0600, binary). Returns the descriptor and sets *path, or -1
// with errno set.
int platform_create_unique_file(const std::string& dir, const std::string& prefix,
                                const std::string& suffix, std::string* path);

// Creates a new folder named prefix + random characters in dir, for this
// user alone. Returns its path, or empty with errno set.
std::string platform_make_unique_folder(const std::string& dir, const std::string& prefix);

// Makes one folder; only this user may use it when owner_only. 0, or -1
// with errno set (EEXIST when something is at the name already).
int platform_mkdir(const std::string& path, bool owner_only);

// Removes a file or an empty folder. 0, or -1 with errno set.
int platform_remove(const std::string& path);

// A path that opens the very file open at fd, even after its name was given
// to another file (Linux: /proc/self/fd/N); empty where the system has none.
std::string platform_open_file_path(int fd);

// Gives the file at from the name to, replacing a file there (Windows'
// own rename would refuse). 0, or -1 with errno set.
int platform_rename(const std::string& from, const std::string& to);

// ---- Locks -----------------------------------------------------------------

// Whether a device's own path opens like a file and takes a lock (POSIX
// device nodes do; Windows device paths do not, so a unit's lock is a file
// of its own there).
bool platform_devices_lockable();

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

// The folder of the tool's kept state ($XDG_STATE_HOME/trevik when that is
// an absolute path, else ~/.local/state/trevik below an existing home
// folder; Windows: %LOCALAPPDATA%\trevik), whether or not it exists; empty
// when there is none.
std::string platform_state_dir();

// Why platform_state_dir() is empty, for the user (which variables are
// missing or wrong); empty when it is not.
std::string platform_state_dir_problem();

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

// ---- The terminal ------------------------------------------------------------

// Whether fd (0, 1, 2) is a terminal or console, rather than a file, a pipe
// or the null device.
bool platform_is_terminal(int fd);

// The controlling terminal opened for reading and writing (POSIX
// /dev/tty), for a question when standard input is not the terminal;
// -1 when there is none (always on Windows).
int platform_open_terminal();

// The width in columns of the terminal at fd; 0 when fd is none or it does
// not say.
int platform_terminal_width(int fd);

// The character set the terminal's text is in, as charset_convert names
// it: the locale's (nl_langinfo CODESET) on POSIX; on Windows "UTF-8" when
// the console's output code page is UTF-8 or there is no console, else
// "CP<number>". Empty when nothing says.
std::string platform_terminal_charset();

// Makes the stream f carry bytes as written: Windows would otherwise write
// CR LF for each LF on a stream opened in text mode (standard output and
// error are, from the start). Nothing on POSIX.
void platform_binary_stream(FILE* f);

// Writes to a reader that went away (a closed pipe) and past a file-size
// limit fail with an error instead of ending the process (POSIX: SIGPIPE
// and SIGXFSZ ignored; Windows has neither).
void platform_ignore_broken_pipes();

// When the process aborts (abort(), an uncaught exception), last is called
// once before it ends as it would have. last must do only what is safe then.
void platform_on_abort(void (*last)());

// ---- Starting this program again ---------------------------------------------

// How platform_run_self runs the program.
struct PlatformRunSelf {
    std::vector<std::string> args;      // its arguments after the program's name
    std::vector<std::string> env;       // "NAME=VALUE" set, "NAME" removed
    bool keep_stderr = false;           // else its standard error goes nowhere
    std::string channel_variable;       // names the side channel (see below), if not empty
    size_t channel_limit = 1u << 20;    // more than this from the channel is dropped
};

// Runs this program again as run says, standard input shared, standard
// output to nowhere, and waits for it. When run.channel_variable is set,
// the program finds under that environment variable a side channel that
// platform_side_channel opens for writing; what it writes there ends in
// *channel. Returns its exit code, or -1 when it could not be started.
int platform_run_self(const PlatformRunSelf& run, std::string* channel);

// In a program started so: the descriptor of the side channel named by the
// variable's text, or -1 when the text names none.
int platform_side_channel(const char* text);

// The environment variable whose folder holds the state folder
// (platform_state_dir): XDG_STATE_HOME on POSIX, LOCALAPPDATA on Windows.
const char* platform_state_variable();

// ---- The process and the clock ---------------------------------------------

// This process's id.
int platform_pid();

// The path of the running program, or empty.
std::string platform_self_path();

// Broken-down UTC and local time of t (gmtime_r / localtime_r). False when
// t cannot be represented.
bool platform_utc_time(std::time_t t, std::tm* out);
bool platform_local_time(std::time_t t, std::tm* out);

// The time of a broken-down UTC time (timegm / _mkgmtime); -1 when it
// cannot be represented.
std::time_t platform_time_of_utc(std::tm* utc);
