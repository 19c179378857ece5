#include "support/charset.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr UINT UTF16 = 1200; // the code page number of UTF-16LE

// The code page of a character-set name; 0 when unknown.
UINT code_page(const char* name) {
    std::string n = name ? name : "";
    for (char& c : n)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    if (n == "UTF-8" || n == "UTF8")
        return CP_UTF8;
    if (n == "UTF-16LE")
        return UTF16;
    if (n == "GBK" || n == "GB2312")
        return 936;
    // "CP437", "CP1252": a console's output code page by number.
    if (n.size() > 2 && n.size() <= 7 && n.compare(0, 2, "CP") == 0 &&
        n.find_first_not_of("0123456789", 2) == std::string::npos) {
        unsigned long cp = std::strtoul(n.c_str() + 2, nullptr, 10);
        return cp > 0 && cp < 65536 && IsValidCodePage(static_cast<UINT>(cp)) ? static_cast<UINT>(cp)
                                                                              : 0;
    }
    return 0;
}

bool to_utf16(UINT cp, const char* in, size_t n, std::wstring* wide) {
    if (cp == UTF16) {
        if (n % 2)
            return false;
        wide->assign(n / 2, L'\0');
        std::memcpy(wide->data(), in, n);
        return true;
    }
    if (n == 0) {
        wide->clear();
        return true;
    }
    if (n > 0x3FFFFFFF)
        return false;
    int len = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, in, static_cast<int>(n), nullptr, 0);
    if (len <= 0)
        return false;
    wide->assign(static_cast<size_t>(len), L'\0');
    return MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, in, static_cast<int>(n), wide->data(),
                               len) == len;
}

bool from_utf16(UINT cp, const std::wstring& wide, std::vector<char>* out) {
    if (cp == UTF16) {
        out->assign(wide.size() * 2, 0);
        std::memcpy(out->data(), wide.data(), out->size());
        return true;
    }
    out->clear();
    if (wide.empty())
        return true;
    // UTF-8 reports what it cannot encode as an error; other code pages
    // through the default character, which is not a conversion either.
    DWORD flags = cp == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL defaulted = FALSE;
    BOOL* used = cp == CP_UTF8 ? nullptr : &defaulted;
    int len = WideCharToMultiByte(cp, flags, wide.data(), static_cast<int>(wide.size()), nullptr,
                                  0, nullptr, used);
    if (len <= 0 || defaulted)
        return false;
    out->assign(static_cast<size_t>(len), 0);
    return WideCharToMultiByte(cp, flags, wide.data(), static_cast<int>(wide.size()),
                               out->data(), len, nullptr, used) == len &&
           !defaulted;
}

} // namespace

bool charset_convert(const char* to, const char* from, const char* in, size_t n,
                     std::vector<char>* out) {
    UINT to_cp = code_page(to), from_cp = code_page(from);
    std::wstring wide;
    return to_cp && from_cp && to_utf16(from_cp, in, n, &wide) && from_utf16(to_cp, wide, out);
}
