// The Windows side of the terminal, the abort hook and starting this
// program again (platform.h).
#include "support/platform.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "support/win_path.h"

// ---- The terminal ------------------------------------------------------------

namespace {

// The console behind fd, or null when fd is a file, a pipe or NUL.
HANDLE console_of(int fd) {
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    DWORD mode = 0;
    return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) ? h : nullptr;
}

} // namespace

bool platform_is_terminal(int fd) {
    return console_of(fd) != nullptr;
}

int platform_open_terminal() {
    // The console is standard input or nothing here: no second way to it.
    return -1;
}

int platform_terminal_width(int fd) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    HANDLE h = console_of(fd);
    if (!h || !GetConsoleScreenBufferInfo(h, &info))
        return 0;
    int width = info.srWindow.Right - info.srWindow.Left + 1;
    return width > 0 ? width : 0;
}

std::string platform_terminal_charset() {
    // Text that goes to a file or a pipe stays UTF-8, like the file names.
    if (!console_of(1) && !console_of(2))
        return "UTF-8";
    UINT cp = GetConsoleOutputCP();
    return cp == 0 || cp == CP_UTF8 ? std::string("UTF-8") : "CP" + std::to_string(cp);
}

void platform_binary_stream(FILE* f) {
    if (f) {
        std::fflush(f);
        _setmode(_fileno(f), _O_BINARY);
    }
}

void platform_ignore_broken_pipes() {
    // A write to a closed pipe fails with an error here; there is no signal.
}

namespace {

void (*abort_last)() = nullptr;

void on_abort(int sig) {
    if (abort_last)
        abort_last();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

} // namespace

void platform_on_abort(void (*last)()) {
    abort_last = last;
    std::signal(SIGABRT, on_abort);
}

// ---- Starting this program again ---------------------------------------------

namespace {

// One argument as the C runtime splits a command line again.
std::wstring quote_argument(const std::wstring& a) {
    if (!a.empty() && a.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return a;
    std::wstring out = L"\"";
    for (size_t i = 0;; ++i) {
        size_t backslashes = 0;
        while (i < a.size() && a[i] == L'\\') {
            ++i;
            ++backslashes;
        }
        if (i == a.size()) {
            out.append(backslashes * 2, L'\\');
            break;
        }
        if (a[i] == L'"')
            out.append(backslashes * 2 + 1, L'\\');
        else
            out.append(backslashes, L'\\');
        out += a[i];
    }
    return out + L"\"";
}

std::wstring upper(std::wstring s) {
    for (wchar_t& c : s)
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
    return s;
}

// This process's environment with changes ("NAME=VALUE" set, "NAME"
// removed; names in any case), as a block for CreateProcessW.
std::wstring environment_with(const std::vector<std::string>& changes) {
    std::vector<std::wstring> changed;
    for (const std::string& c : changes)
        changed.push_back(win_wide(c));
    auto name_of = [](const std::wstring& entry) {
        // Entries such as "=C:=C:\dir" keep their leading '='.
        return upper(entry.substr(0, entry.find(L'=', 1)));
    };
    std::wstring block;
    if (wchar_t* env = GetEnvironmentStringsW()) {
        for (const wchar_t* e = env; *e; e += wcslen(e) + 1) {
            std::wstring entry = e;
            bool replaced = false;
            for (const std::wstring& c : changed)
                replaced = replaced || name_of(c) == name_of(entry);
            if (!replaced)
                block += entry + L'\0';
        }
        FreeEnvironmentStringsW(env);
    }
    for (const std::wstring& c : changed)
        if (c.find(L'=', 1) != std::wstring::npos)
            block += c + L'\0';
    return block + L'\0';
}

// An inheritable handle on NUL, or on a copy of the standard handle which.
HANDLE inheritable(DWORD which, bool null_device, DWORD access) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE h = INVALID_HANDLE_VALUE;
    HANDLE standard = GetStdHandle(which);
    if (!null_device && standard && standard != INVALID_HANDLE_VALUE &&
        DuplicateHandle(GetCurrentProcess(), standard, GetCurrentProcess(), &h, 0, TRUE,
                        DUPLICATE_SAME_ACCESS))
        return h;
    return CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0,
                       nullptr);
}

} // namespace

int platform_run_self(const PlatformRunSelf& run, std::string* channel) {
    std::wstring program = win_wide(platform_self_path());
    if (program.empty()) {
        errno = ENOENT;
        return -1;
    }
    // The side channel is a pipe whose writing end the program inherits; the
    // variable carries the handle's value.
    bool with_channel = !run.channel_variable.empty();
    HANDLE read_end = nullptr, write_end = nullptr;
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    if (with_channel) {
        if (!CreatePipe(&read_end, &write_end, &sa, 0)) {
            win_set_errno(GetLastError());
            return -1;
        }
        SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    }
    std::vector<std::string> changes = run.env;
    if (with_channel)
        changes.push_back(run.channel_variable + "=" +
                          std::to_string(reinterpret_cast<uintptr_t>(write_end)));
    std::wstring env = environment_with(changes);
    std::wstring command;
    for (const std::string& a : run.args)
        command += (command.empty() ? L"" : L" ") + quote_argument(win_wide(a));

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inheritable(STD_INPUT_HANDLE, false, GENERIC_READ);
    si.hStdOutput = inheritable(STD_OUTPUT_HANDLE, true, GENERIC_WRITE);
    si.hStdError = inheritable(STD_ERROR_HANDLE, !run.keep_stderr, GENERIC_WRITE);
    PROCESS_INFORMATION pi{};
    BOOL started = CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE,
                                  CREATE_UNICODE_ENVIRONMENT, env.data(), nullptr, &si, &pi);
    DWORD error = GetLastError();
    for (HANDLE h : {si.hStdInput, si.hStdOutput, si.hStdError, write_end})
        if (h && h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    if (!started) {
        if (read_end)
            CloseHandle(read_end);
        win_set_errno(error);
        return -1;
    }
    CloseHandle(pi.hThread);
    if (with_channel) {
        char buffer[4096];
        DWORD n = 0;
        while (ReadFile(read_end, buffer, sizeof buffer, &n, nullptr) && n > 0)
            if (channel && channel->size() < run.channel_limit)
                channel->append(buffer, n);
        CloseHandle(read_end);
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    bool known = GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    return known ? static_cast<int>(code & 0xFF) : -1;
}

int platform_side_channel(const char* text) {
    if (!text || !*text)
        return -1;
    char* end = nullptr;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (*end != 0 || value == 0)
        return -1;
    return _open_osfhandle(static_cast<intptr_t>(value), _O_WRONLY | _O_BINARY);
}

const char* platform_state_variable() {
    return "LOCALAPPDATA";
}
