#include "support/text.h"

#include "support/charset.h"
#include "support/platform.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
bool is_wblank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

// Converts bytes between two character sets. False when the text cannot
// be represented or the conversion is not available.
bool convert(const char* to, const char* from, const char* in, size_t in_len,
             std::vector<char>& out) {
    return charset_convert(to, from, in, in_len, &out);
}

} // namespace

int text_format(char* dst, int size, const char* format, ...) {
    if (!dst || size <= 0 || !format)
        return -1;
    std::memset(dst, 0, static_cast<size_t>(size));
    va_list args;
    va_start(args, format);
    int len = std::vsnprintf(dst, static_cast<size_t>(size), format, args);
    va_end(args);
    if (len < 0 || len >= size)
        return -1;
    return len;
}

int wtext_format(char16_t* dst, int size, const char* format, ...) {
    if (!dst || size <= 0 || !format)
        return -1;
    std::memset(dst, 0, static_cast<size_t>(size) * sizeof(char16_t));
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int len = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (len < 0) {
        va_end(again);
        return -1;
    }
    std::string narrow(static_cast<size_t>(len) + 1, '\0');
    std::vsnprintf(narrow.data(), narrow.size(), format, again);
    va_end(again);
    narrow.resize(static_cast<size_t>(len));
    std::u16string wide = utf8_to_wtext(narrow);
    size_t take = std::min(wide.size(), static_cast<size_t>(size - 1));
    std::memcpy(dst, wide.data(), take * sizeof(char16_t));
    return take < wide.size() ? -1 : static_cast<int>(take);
}

char* text_dup(const char* s) {
    if (!s)
        return nullptr;
    size_t n = std::strlen(s) + 1;
    char* d = static_cast<char*>(std::malloc(n));
    if (d)
        std::memcpy(d, s, n);
    return d;
}

size_t wtext_len(const char16_t* s) {
    size_t n = 0;
    if (s)
        while (s[n])
            ++n;
    return n;
}

char16_t* wtext_dup(const char16_t* s) {
    if (!s)
        return nullptr;
    size_t n = wtext_len(s) + 1;
    auto* d = static_cast<char16_t*>(std::malloc(n * sizeof(char16_t)));
    if (d)
        std::memcpy(d, s, n * sizeof(char16_t));
    return d;
}

int wtext_copy(char16_t* dst, size_t count, const char16_t* src) {
    if (!dst || !src || count == 0)
        return 0;
    size_t i = 0;
    for (; i < count && src[i]; ++i)
        dst[i] = src[i];
    dst[i] = 0;
    return 1;
}

int wtext_append(char16_t* dst, const char16_t* src) {
    if (!dst || !src)
        return 0;
    size_t i = wtext_len(dst);
    for (size_t j = 0; i < 1024 && src[j]; ++i, ++j)
        dst[i] = src[j];
    dst[i < 1024 ? i : 1024] = 0;
    return 1;
}

int temp_path_join(char16_t* dst, const char16_t* name) {
    if (!dst)
        return 0;
    std::memset(dst, 0, 1024 * sizeof(char16_t));
    std::string dir = platform_temp_root();
    // The directory is kept up to and including its last separator.
    const char separator = platform_separator();
    if (dir.back() != separator)
        dir += separator;
    std::u16string wdir = utf8_to_wtext(dir);
    if (wdir.size() > 1023)
        wdir.resize(1023);
    size_t cut = wdir.rfind(static_cast<char16_t>(separator));
    wdir.resize(cut == std::u16string::npos ? 0 : cut + 1);
    std::memcpy(dst, wdir.data(), wdir.size() * sizeof(char16_t));
    return wtext_append(dst, name);
}

int text_trim_left(char* s) {
    if (!s)
        return 0;
    size_t len = std::strlen(s);
    size_t skip = 0;
    while (skip < len && is_blank(s[skip]))
        ++skip;
    if (skip == 0)
        return 0;
    std::memmove(s, s + skip, len - skip + 1);
    return static_cast<int>(len);
}

int text_split_fields(const char* starts[20], int lengths[20], const char* line, int n) {
    if (!starts || !lengths || !line || !*line || n <= 0)
        return 0;
    auto trim = [](const char*& start, int& len) {
        while (len > 0 && is_blank(*start)) {
            ++start;
            --len;
        }
        while (len > 0 && is_blank(start[len - 1]))
            --len;
    };
    int count = 0;
    const char* start = line;
    int pos = 0;
    for (; pos < n && line[pos]; ++pos) {
        if (line[pos] != ',')
            continue;
        starts[count] = start;
        lengths[count] = static_cast<int>(line + pos - start);
        trim(starts[count], lengths[count]);
        if (++count == 20)
            return 0;
        start = line + pos + 1;
    }
    starts[count] = start;
    lengths[count] = static_cast<int>(line + pos - start);
    trim(starts[count], lengths[count]);
    return count + 1;
}

int wtext_to_int(const char16_t* s) {
    if (!s)
        return 0;
    while (is_wblank(*s))
        ++s;
    bool negative = false;
    if (*s == u'+' || *s == u'-')
        negative = *s++ == u'-';
    // Unsigned arithmetic wraps like the original without overflow checks.
    uint32_t value = 0;
    while (*s >= u'0' && *s <= u'9')
        value = value * 10u + static_cast<uint32_t>(*s++ - u'0');
    return static_cast<int>(negative ? 0u - value : value);
}

int wtext_to_ansi(char* dst, int dstSize, const char16_t* src, int srcUnits) {
    if (!dst || dstSize <= 0 || !src || srcUnits < 0)
        return -1;
    std::memset(dst, 0, static_cast<size_t>(dstSize));
    std::vector<char> out;
    if (!convert(ANSI_CODE_PAGE, "UTF-16LE", reinterpret_cast<const char*>(src),
                 static_cast<size_t>(srcUnits) * 2, out))
        return -1;
    size_t take = std::min(out.size(), static_cast<size_t>(dstSize - 1));
    std::memcpy(dst, out.data(), take);
    return static_cast<int>(take);
}

int ansi_to_wtext(char16_t* dst, int dstUnits, const char* src, int n) {
    if (!dst || dstUnits <= 0 || !src)
        return -1;
    std::memset(dst, 0, static_cast<size_t>(dstUnits) * sizeof(char16_t));
    size_t len = n < 0 ? std::strlen(src) : static_cast<size_t>(n);
    std::vector<char> out;
    if (!convert("UTF-16LE", ANSI_CODE_PAGE, src, len, out))
        return -1;
    size_t units = std::min(out.size() / 2, static_cast<size_t>(dstUnits - 1));
    for (size_t i = 0; i < units; ++i)
        dst[i] = static_cast<char16_t>(static_cast<uint8_t>(out[2 * i]) |
                                       static_cast<uint8_t>(out[2 * i + 1]) << 8);
    return static_cast<int>(units);
}

namespace {

void put_utf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void put_utf16(std::u16string& out, uint32_t c) {
    if (c >= 0x10000) {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (c >> 10));
        out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
        out += static_cast<char16_t>(c);
    }
}

// Decodes one character at s[i]. Returns the bytes it takes and sets *c;
// on a malformed sequence returns the length of its longest valid start
// (at least 1) and sets *c to U+FFFD, so each broken piece becomes one
// replacement character and the next character is never swallowed.
size_t decode_utf8(const std::string& s, size_t i, uint32_t* c) {
    auto b = static_cast<uint8_t>(s[i]);
    *c = 0xFFFD;
    if (b < 0x80) {
        *c = b;
        return 1;
    }
    size_t len;
    uint8_t lo = 0x80, hi = 0xBF; // range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3;
        if (b == 0xE0)
            lo = 0xA0; // overlong below U+0800
        else if (b == 0xED)
            hi = 0x9F; // surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4;
        if (b == 0xF0)
            lo = 0x90; // overlong below U+10000
        else if (b == 0xF4)
            hi = 0x8F; // above U+10FFFF
    } else {
        return 1; // a continuation byte, an overlong lead or no lead at all
    }
    uint32_t v = b & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) {
        if (i + k >= s.size())
            return k;
        auto t = static_cast<uint8_t>(s[i + k]);
        if (k == 1 ? (t < lo || t > hi) : (t & 0xC0) != 0x80)
            return k;
        v = v << 6 | (t & 0x3F);
    }
    *c = v;
    return len;
}

} // namespace

std::string wtext_to_utf8(const char16_t* s) {
    std::string out;
    if (!s)
        return out;
    for (size_t i = 0; s[i]; ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD; // a surrogate without its partner has no UTF-8 form
        }
        put_utf8(out, c);
    }
    return out;
}

std::string wide_to_utf8(const wchar_t* s) {
    // A 16-bit wchar_t (Windows) holds UTF-16: pairs are one character.
    if constexpr (sizeof(wchar_t) == sizeof(char16_t))
        return wtext_to_utf8(reinterpret_cast<const char16_t*>(s));
    std::string out;
    for (; s && *s; ++s) {
        uint32_t c = uint32_t(*s);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            c = 0xFFFD;
        put_utf8(out, c);
    }
    return out;
}

std::u16string utf8_to_wtext(const std::string& s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        uint32_t c;
        i += decode_utf8(s, i, &c);
        put_utf16(out, c);
    }
    return out;
}

std::string utc_time_text(std::time_t t) {
    std::tm tm{};
    platform_utc_time(t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}
