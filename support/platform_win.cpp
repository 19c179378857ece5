#include "support/platform.h"

#include <windows.h>

#include <aclapi.h>
#include <fcntl.h>
#include <sddl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <random>
#include <vector>

#include "support/win_path.h"

std::wstring win_wide(const std::string& utf8) {
    if (utf8.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string win_utf8(const std::wstring& wide) {
    if (wide.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                            nullptr, nullptr);
    return out;
}

void win_set_errno(unsigned long error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        errno = ENOENT;
        break;
    case ERROR_ACCESS_DENIED:
        errno = EACCES;
        break;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
        errno = EEXIST;
        break;
    case ERROR_LOCK_VIOLATION:
    case ERROR_SHARING_VIOLATION:
        errno = EWOULDBLOCK;
        break;
    case ERROR_DIRECTORY:
        errno = ENOTDIR;
        break;
    default:
        errno = EIO;
    }
}

std::wstring win_user_sid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return std::wstring();
    std::vector<unsigned char> buffer(256);
    DWORD size = 0;
    std::wstring text;
    if (!GetTokenInformation(token, TokenUser, buffer.data(), DWORD(buffer.size()), &size) &&
        GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        buffer.resize(size);
    }
    if (GetTokenInformation(token, TokenUser, buffer.data(), DWORD(buffer.size()), &size)) {
        wchar_t* sid = nullptr;
        if (ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid)) {
            text = sid;
            LocalFree(sid);
        }
    }
    CloseHandle(token);
    return text;
}

bool win_make_private(const std::wstring& dir, bool create) {
    std::wstring sid = win_user_sid();
    if (sid.empty())
        return false;
    std::wstring sddl = L"D:P(A;OICI;FA;;;" + sid + L")";
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd,
                                                              nullptr))
        return false;
    bool ok;
    if (create) {
        SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
        ok = CreateDirectoryW(dir.c_str(), &sa) != 0;
    } else {
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        ok = GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) &&
             SetNamedSecurityInfoW(const_cast<wchar_t*>(dir.c_str()), SE_FILE_OBJECT,
                                   DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                   nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
    }
    DWORD error = GetLastError();
    LocalFree(sd);
    SetLastError(error);
    return ok;
}

// ---- Files -----------------------------------------------------------------

int platform_open(const std::string& path, int how, int mode) {
    std::wstring wpath = win_wide(path);
    if (how & PLATFORM_NO_LINK) {
        DWORD attributes = GetFileAttributesW(wpath.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            errno = ELOOP;
            return -1;
        }
    }
    int flags = (how & PLATFORM_READ) && (how & PLATFORM_WRITE) ? _O_RDWR
                : (how & (PLATFORM_WRITE | PLATFORM_APPEND))    ? _O_WRONLY
                                                                : _O_RDONLY;
    if (how & PLATFORM_CREATE)
        flags |= _O_CREAT;
    if (how & PLATFORM_TRUNCATE)
        flags |= _O_TRUNC;
    if (how & PLATFORM_APPEND)
        flags |= _O_APPEND;
    if (how & PLATFORM_EXCLUSIVE)
        flags |= _O_EXCL;
    int pmode = (mode & 0200) ? (_S_IREAD | _S_IWRITE) : _S_IREAD;
    return _wopen(wpath.c_str(), flags | _O_BINARY | _O_NOINHERIT, pmode);
}

FILE* platform_fopen(const std::string& path, const char* how) {
    // Binary and not inherited ("N"), whatever the caller wrote.
    std::wstring mode;
    for (const char* p = how ? how : "r"; *p; ++p)
        if (*p != 'b' && *p != 't' && *p != 'e')
            mode += static_cast<wchar_t>(*p);
    mode += L"bN";
    return _wfopen(win_wide(path).c_str(), mode.c_str());
}

FILE* platform_fdopen(int fd, const char* how) {
    std::string mode;
    for (const char* p = how ? how : "r"; *p; ++p)
        if (*p != 'b' && *p != 't' && *p != 'e')
            mode += *p;
    mode += 'b';
    return _fdopen(fd, mode.c_str());
}

int platform_close(int fd) {
    return fd < 0 ? 0 : _close(fd);
}

long platform_read(int fd, void* buffer, size_t n) {
    return _read(fd, buffer, n > 0x40000000 ? 0x40000000u : static_cast<unsigned>(n));
}

long platform_write(int fd, const void* data, size_t n) {
    return _write(fd, data, n > 0x40000000 ? 0x40000000u : static_cast<unsigned>(n));
}

long platform_pread(int fd, void* buffer, size_t n, int64_t offset) {
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset));
    at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    DWORD got = 0;
    DWORD want = n > 0x40000000 ? 0x40000000 : static_cast<DWORD>(n);
    if (!ReadFile(h, buffer, want, &got, &at)) {
        if (GetLastError() == ERROR_HANDLE_EOF)
            return 0;
        win_set_errno(GetLastError());
        return -1;
    }
    return static_cast<long>(got);
}

int platform_fsync(int fd) {
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (h == INVALID_HANDLE_VALUE || !FlushFileBuffers(h)) {
        errno = EIO;
        return -1;
    }
    return 0;
}

PlatformPathKind platform_path_kind(const std::string& path, int64_t* size, bool follow) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(win_wide(path).c_str(), GetFileExInfoStandard, &data)) {
        win_set_errno(GetLastError());
        return PLATFORM_PATH_MISSING;
    }
    if (!follow && (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return PLATFORM_PATH_LINK;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return PLATFORM_PATH_DIR;
    if (size)
        *size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return PLATFORM_PATH_FILE;
}

namespace {

} // namespace

PlatformPathKind platform_fd_kind(int fd, int64_t* size) {
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return PLATFORM_PATH_MISSING;
    }
    switch (GetFileType(h)) {
    case FILE_TYPE_CHAR:
        return PLATFORM_PATH_CHAR_DEVICE;
    case FILE_TYPE_PIPE:
        return PLATFORM_PATH_FIFO;
    case FILE_TYPE_DISK: {
        BY_HANDLE_FILE_INFORMATION info{};
        if (!GetFileInformationByHandle(h, &info)) {
            win_set_errno(GetLastError());
            return PLATFORM_PATH_MISSING;
        }
        if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            return PLATFORM_PATH_DIR;
        if (size)
            *size = (static_cast<int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        return PLATFORM_PATH_FILE;
    }
    default:
        return PLATFORM_PATH_OTHER;
    }
}

bool platform_owned_by_me(const std::string& path) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetNamedSecurityInfoW(win_wide(path).c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                              &owner, nullptr, nullptr, nullptr, &sd) != ERROR_SUCCESS)
        return false;
    wchar_t* text = nullptr;
    bool mine = owner && ConvertSidToStringSidW(owner, &text) && win_user_sid() == text;
    if (text)
        LocalFree(text);
    LocalFree(sd);
    return mine;
}

bool platform_access_denied(const std::string&) {
    // Device paths here are no files: hidapi's failure says all there is.
    return false;
}

bool platform_folder_writable(const std::string& path) {
    DWORD attributes = GetFileAttributesW(win_wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        win_set_errno(GetLastError());
        return false;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        errno = ENOTDIR;
        return false;
    }
    return true; // the folder's access list answers when a file is made
}

int platform_truncate(int fd, int64_t size) {
    int e = _chsize_s(fd, size);
    if (e != 0) {
        errno = e;
        return -1;
    }
    return 0;
}

int platform_truncate_private(int fd) {
    int e = _chsize_s(fd, 0);
    if (e != 0) {
        errno = e;
        return -1;
    }
    return 0;
}

void platform_set_blocking(int) {
    // Files opened here never stop waiting on Windows.
}

int platform_mkdir(const std::string& path, bool owner_only) {
    std::wstring wpath = win_wide(path);
    bool made = owner_only ? win_make_private(wpath, true)
                           : CreateDirectoryW(wpath.c_str(), nullptr) != 0;
    if (!made) {
        win_set_errno(GetLastError());
        return -1;
    }
    return 0;
}

int platform_remove(const std::string& path) {
    std::wstring wpath = win_wide(path);
    DWORD attributes = GetFileAttributesW(wpath.c_str());
    bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    if (folder ? RemoveDirectoryW(wpath.c_str()) : DeleteFileW(wpath.c_str()))
        return 0;
    win_set_errno(GetLastError());
    return -1;
}

std::string platform_open_file_path(int) {
    return std::string(); // no such names: the caller opens by name
}

int platform_rename(const std::string& from, const std::string& to) {
    if (MoveFileExW(win_wide(from).c_str(), win_wide(to).c_str(), MOVEFILE_REPLACE_EXISTING))
        return 0;
    win_set_errno(GetLastError());
    return -1;
}

// ---- Locks -----------------------------------------------------------------

bool platform_devices_lockable() {
    return false;
}

PlatformLockResult platform_lock(int fd, bool exclusive) {
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return PLATFORM_LOCK_FAILED;
    }
    OVERLAPPED at{};
    DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    if (LockFileEx(h, flags, 0, MAXDWORD, MAXDWORD, &at))
        return PLATFORM_LOCK_HELD;
    DWORD error = GetLastError();
    win_set_errno(error);
    return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? PLATFORM_LOCK_BUSY
                                                                       : PLATFORM_LOCK_FAILED;
}

int platform_lock_holder(int, const char*) {
    return 0; // Windows does not say who holds a lock
}

// ---- Folders ---------------------------------------------------------------

char platform_separator() {
    return '\\';
}

std::string platform_temp_root() {
    wchar_t buffer[MAX_PATH + 2];
    DWORD n = GetTempPathW(MAX_PATH + 2, buffer);
    std::wstring dir = n > 0 && n <= MAX_PATH + 1 ? std::wstring(buffer, n) : L"C:\\Windows\\Temp";
    while (dir.size() > 3 && (dir.back() == L'\\' || dir.back() == L'/'))
        dir.pop_back();
    return win_utf8(dir);
}

std::string platform_state_dir() {
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    if (!local || !*local)
        return std::string();
    return win_utf8(local) + "\\trevik";
}

std::string platform_state_dir_problem() {
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    return local && *local ? "" : "no directory for the tool's state (LOCALAPPDATA is not set)";
}

// ---- Stop requests ---------------------------------------------------------

namespace {

std::mutex stop_mutex;
std::condition_variable stop_arrived;
int stop_requests = 0;

BOOL WINAPI count_stop(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    {
        std::lock_guard<std::mutex> guard(stop_mutex);
        ++stop_requests;
    }
    stop_arrived.notify_all();
    return TRUE; // taken: the process goes on
}

} // namespace

struct PlatformStopWatch {
    int unused = 0;
};

PlatformStopWatch* platform_stop_watch_begin() {
    auto* w = new (std::nothrow) PlatformStopWatch;
    if (!w)
        return nullptr;
    {
        std::lock_guard<std::mutex> guard(stop_mutex);
        stop_requests = 0;
    }
    SetConsoleCtrlHandler(count_stop, TRUE);
    return w;
}

int platform_stop_watch_wait(PlatformStopWatch* w, int ms) {
    if (!w)
        return 0;
    std::unique_lock<std::mutex> lock(stop_mutex);
    if (!stop_arrived.wait_for(lock, std::chrono::milliseconds(ms < 0 ? 0 : ms),
                               [] { return stop_requests > 0; }))
        return 0;
    --stop_requests;
    return 1;
}

void platform_stop_watch_end(PlatformStopWatch* w) {
    if (!w)
        return;
    SetConsoleCtrlHandler(count_stop, FALSE);
    delete w;
}

// ---- The process and the clock ---------------------------------------------

int platform_pid() {
    return static_cast<int>(GetCurrentProcessId());
}

std::string platform_self_path() {
    std::wstring path(32768, L'\0');
    DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0 || n >= path.size())
        return std::string();
    path.resize(n);
    return win_utf8(path);
}

bool platform_utc_time(std::time_t t, std::tm* out) {
    return gmtime_s(out, &t) == 0;
}

bool platform_local_time(std::time_t t, std::tm* out) {
    return localtime_s(out, &t) == 0;
}

std::time_t platform_time_of_utc(std::tm* utc) {
    return _mkgmtime(utc);
}
