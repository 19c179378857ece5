// The tool's own directory for its temporary files (the version file, the
// download directories, the unpacked package).
//
// It is $XDG_RUNTIME_DIR/trevik when XDG_RUNTIME_DIR names a directory by an
// absolute path, else trevik-<uid> in the temporary directory ($TMPDIR, else
// /tmp). In a temporary directory shared by every user, a fixed file name
// could be taken by another user first (a planted version file names the
// package to write into the unit) or be a link into this user's files; a
// directory of this user's own, checked before each use, rules both out.
#pragma once

#include <string>
#include <sys/types.h> // mode_t

// Where the directory is (UTF-8, no trailing '/'), whether or not it exists.
std::string temp_dir_path();

// Creates the directory (mode 0700) when missing and checks it: a directory,
// not a link, owned by this user, and writable by nobody else (read access
// of others is taken away). Returns its path, or the empty text when it
// cannot be made or fails a check; errno then tells why (ELOOP a link,
// EPERM another user's, EACCES writable by others, ENOTDIR not a
// directory, or what mkdir reported).
std::string temp_dir_ensure();

// temp_dir_ensure() + '/' + name in UTF-16, or the empty text when the
// directory cannot be had.
std::u16string temp_dir_file(const char16_t* name);

// open(2) of a file inside the directory with O_NOFOLLOW and O_CLOEXEC
// added, so a link at the file's name is refused (ELOOP). Returns the
// descriptor, or -1 with errno set.
int temp_dir_open(const char* path, int flags, mode_t mode = 0600);

// Marks a run directory (inside the directory, or the directory itself) as
// in use by this process: a shared lock on it that lasts while the
// returned descriptor is open. Returns the descriptor, or -1.
int temp_dir_claim_run(const char* dir);

// Releases a claim; -1 is ignored.
void temp_dir_release_run(int fd);

// Removes what ended processes left behind: the file named leftover (the
// unpacked package) in the directory and in each run directory inside that
// no live process claims, then those run directories when empty. Does
// nothing when the directory does not exist yet.
void temp_dir_sweep_stale(const char* leftover);

// While set, SIGINT, SIGTERM and SIGHUP first remove file and then the
// directory dir (when empty) before ending the process as they would have;
// either may be null. Set once more to change, with nulls to clear.
// Nothing is installed over a handler the program set itself.
void temp_dir_remove_on_signal(const char* file, const char* dir);
