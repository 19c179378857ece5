// The tool's temporary directory on Windows: trevik in the user's temporary
// folder, with an access list that lets only this user in. A run directory
// is claimed through a shared lock on a claim file inside it (a directory
// cannot be locked here); the console's stop events take the place of the
// signals.
#include "support/temp_dir.h"

#include <windows.h>

#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "support/platform.h"
#include "support/text.h"
#include "support/win_path.h"

namespace {

const char CLAIM_FILE[] = ".claim";

// Removes leftover in dir when no live run claims dir; then dir itself when
// it is empty and not the top directory.
void sweep_one(const std::string& dir, const char* leftover, bool top) {
    std::string claim = dir + "\\" + CLAIM_FILE;
    int fd = platform_open(claim, PLATFORM_READ | PLATFORM_WRITE | PLATFORM_CREATE, 0600);
    if (fd < 0)
        return;
    if (platform_lock(fd, true) != PLATFORM_LOCK_HELD) {
        platform_close(fd);
        return;
    }
    DeleteFileW(win_wide(dir + "\\" + leftover).c_str());
    platform_close(fd);
    if (!top) {
        DeleteFileW(win_wide(claim).c_str());
        RemoveDirectoryW(win_wide(dir).c_str()); // only an empty one goes
    }
}

wchar_t signal_file[MAX_PATH * 4];
wchar_t signal_dir[MAX_PATH * 4];
volatile LONG signal_armed = 0;

BOOL WINAPI remove_then_end(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
        if (InterlockedCompareExchange(&signal_armed, 0, 0)) {
            if (signal_file[0])
                DeleteFileW(signal_file);
            if (signal_dir[0])
                RemoveDirectoryW(signal_dir);
        }
    }
    return FALSE; // the end the event would have had
}

void copy_path(wchar_t* dst, const char* src) {
    dst[0] = L'\0';
    std::wstring w = src ? win_wide(src) : std::wstring();
    if (w.size() < MAX_PATH * 4)
        std::memcpy(dst, w.c_str(), (w.size() + 1) * sizeof(wchar_t));
}

} // namespace

std::string temp_dir_path() {
    return platform_temp_root() + "\\trevik";
}

std::string temp_dir_ensure() {
    std::string dir = temp_dir_path();
    std::wstring wdir = win_wide(dir);
    if (win_make_private(wdir, true))
        return dir;
    DWORD attributes = GetFileAttributesW(wdir.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        win_set_errno(GetLastError());
        return std::string();
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        errno = ELOOP;
        return std::string();
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        errno = ENOTDIR;
        return std::string();
    }
    // An existing folder is ours only when we own it; its access list is
    // then made owner-only again.
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetNamedSecurityInfoW(wdir.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                              nullptr, nullptr, nullptr, &sd) != ERROR_SUCCESS) {
        errno = EACCES;
        return std::string();
    }
    wchar_t* text = nullptr;
    bool mine = owner && ConvertSidToStringSidW(owner, &text) && win_user_sid() == text;
    if (text)
        LocalFree(text);
    LocalFree(sd);
    if (!mine) {
        errno = EPERM;
        return std::string();
    }
    if (!win_make_private(wdir, false)) {
        errno = EACCES;
        return std::string();
    }
    return dir;
}

std::u16string temp_dir_file(const char16_t* name) {
    std::string dir = temp_dir_ensure();
    if (dir.empty() || !name)
        return std::u16string();
    return utf8_to_wtext(dir + "\\") + name;
}

int temp_dir_open(const char* path, int flags, mode_t mode) {
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    int access = flags & (_O_RDONLY | _O_WRONLY | _O_RDWR);
    int how = access == _O_RDWR     ? PLATFORM_READ | PLATFORM_WRITE
              : access == _O_WRONLY ? PLATFORM_WRITE
                                    : PLATFORM_READ;
    if (flags & _O_CREAT)
        how |= PLATFORM_CREATE;
    if (flags & _O_TRUNC)
        how |= PLATFORM_TRUNCATE;
    if (flags & _O_APPEND)
        how |= PLATFORM_APPEND;
    if (flags & _O_EXCL)
        how |= PLATFORM_EXCLUSIVE;
    return platform_open(path, how | PLATFORM_NO_LINK, mode);
}

int temp_dir_claim_run(const char* dir) {
    if (!dir)
        return -1;
    int fd = platform_open(std::string(dir) + "\\" + CLAIM_FILE,
                           PLATFORM_READ | PLATFORM_WRITE | PLATFORM_CREATE | PLATFORM_NO_LINK);
    if (fd < 0)
        return -1;
    // Shared: two runs of one name may both hold it; a sweep takes it
    // exclusively only when no run does.
    if (platform_lock(fd, false) != PLATFORM_LOCK_HELD) {
        platform_close(fd);
        return -1;
    }
    return fd;
}

void temp_dir_release_run(int fd) {
    if (fd >= 0)
        platform_close(fd);
}

void temp_dir_sweep_stale(const char* leftover) {
    if (!leftover || !*leftover || std::strpbrk(leftover, "/\\"))
        return;
    std::string top = temp_dir_path();
    if (platform_path_kind(top) != PLATFORM_PATH_DIR)
        return;
    std::vector<std::string> dirs;
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW(win_wide(top + "\\*").c_str(), &found);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                dirs.push_back(top + "\\" + win_utf8(name));
        } while (FindNextFileW(h, &found));
        FindClose(h);
    }
    for (const std::string& dir : dirs)
        sweep_one(dir, leftover, false);
    sweep_one(top, leftover, true);
}

void temp_dir_remove_on_signal(const char* file, const char* dir) {
    static bool installed = false;
    InterlockedExchange(&signal_armed, 0);
    if (!file && !dir)
        return;
    copy_path(signal_file, file);
    copy_path(signal_dir, dir);
    if (!installed) {
        installed = true;
        SetConsoleCtrlHandler(remove_then_end, TRUE);
    }
    InterlockedExchange(&signal_armed, 1);
}
