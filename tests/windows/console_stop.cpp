// trevik-console-stop GO_FILE PROGRAM [ARG...]
//
// Runs PROGRAM in a console of its own (its standard handles stay this
// program's) and presses Ctrl-C in that console each time the file GO_FILE
// appears, removing the file to say it was done. Ends with PROGRAM's exit
// code, or 125 when it cannot run it. A shell script cannot press Ctrl-C in
// a Windows console, and under Wine a program started without a terminal
// has none that takes the keys: this one makes one.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

BOOL WINAPI stay(DWORD) {
    return TRUE; // the key is for the program, not for this one
}

HANDLE inheritable(DWORD which) {
    HANDLE copy = nullptr;
    HANDLE h = GetStdHandle(which);
    if (!h || h == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS))
        return nullptr;
    return copy;
}

std::wstring quote(const std::wstring& a) {
    if (!a.empty() && a.find_first_of(L" \t\"") == std::wstring::npos)
        return a;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : a) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fputs("usage: trevik-console-stop GO_FILE PROGRAM [ARG...]\n", stderr);
        return 125;
    }
    std::wstring go = argv[1];
    std::wstring command;
    for (int i = 2; i < argc; ++i)
        command += (i > 2 ? L" " : L"") + quote(argv[i]);

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inheritable(STD_INPUT_HANDLE);
    si.hStdOutput = inheritable(STD_OUTPUT_HANDLE);
    si.hStdError = inheritable(STD_ERROR_HANDLE);
    // A console of our own, shared with the program: Ctrl-C reaches every
    // process in it.
    FreeConsole();
    if (!AllocConsole()) {
        std::fprintf(stderr, "trevik-console-stop: no console (error %lu)\n", GetLastError());
        return 125;
    }
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                        &pi)) {
        std::fprintf(stderr, "trevik-console-stop: cannot start the program (error %lu)\n",
                     GetLastError());
        return 125;
    }
    SetConsoleCtrlHandler(stay, TRUE);
    while (WaitForSingleObject(pi.hProcess, 20) == WAIT_TIMEOUT) {
        if (GetFileAttributesW(go.c_str()) == INVALID_FILE_ATTRIBUTES)
            continue;
        if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0))
            std::fprintf(stderr, "trevik-console-stop: Ctrl-C failed (error %lu)\n",
                         GetLastError());
        DeleteFileW(go.c_str());
    }
    DWORD code = 125;
    GetExitCodeProcess(pi.hProcess, &code);
    return static_cast<int>(code);
}
