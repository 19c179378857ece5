// Text helpers. Narrow text from the unit, packages and version files is in
// the system ANSI code page (GBK here); wide text is UTF-16 code units.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

// The code page narrow text is in, as iconv names it.
inline constexpr const char* ANSI_CODE_PAGE = "GBK";

// Zeroes size bytes of dst, formats at most size - 1 characters into it.
// Returns the length, or -1 when the text did not fit (dst then holds the
// first size - 1 characters) or an argument is null.
int text_format(char* dst, int size, const char* format, ...) __attribute__((format(printf, 3, 4)));

// The same into UTF-16: the format and its %s arguments are UTF-8 text.
int wtext_format(char16_t* dst, int size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Heap copies with terminator (release with free); null when out of memory
// or s is null.
char* text_dup(const char* s);
char16_t* wtext_dup(const char16_t* s);

// Length in units up to the terminator; 0 for null.
size_t wtext_len(const char16_t* s);

// Copies src until its terminator or count units, then terminates (dst holds
// count + 1 units). Returns 1, or 0 on null arguments or count 0.
int wtext_copy(char16_t* dst, size_t count, const char16_t* src);

// Appends src to dst until dst holds 1024 units, then terminates (dst holds
// 1025 units). Returns 1, or 0 on null arguments.
int wtext_append(char16_t* dst, const char16_t* src);

// dst (1024 units) = the user's temporary directory ($TMPDIR, else /tmp)
// with a trailing '/', then name. Returns what wtext_append returns.
int temp_path_join(char16_t* dst, const char16_t* name);

// Removes leading blanks, tabs, CR and LF in place. Returns 0 when there
// were none, else the length before trimming.
int text_trim_left(char* s);

// Splits the first n bytes of line at commas into at most 20 trimmed fields
// (starts/lengths hold 20 entries; fields are not terminated). Returns the
// field count 1..20, or 0 for a null or empty line or one with 20 or more
// commas.
int text_split_fields(const char* starts[20], int lengths[20], const char* line, int n);

// Optional sign and decimal digits after leading blanks; 0 for null or no
// digits.
int wtext_to_int(const char16_t* s);

// Zeroes dstSize bytes of dst and converts srcUnits units of src into it in
// the ANSI code page (always terminated). Returns the bytes written, or -1
// when the text cannot be represented or an argument is null.
int wtext_to_ansi(char* dst, int dstSize, const char16_t* src, int srcUnits);

// Converts ANSI text (n bytes, or up to its terminator when n < 0) into dst
// (dstUnits units, always terminated). Returns the units written, or -1.
int ansi_to_wtext(char16_t* dst, int dstUnits, const char* src, int n);

// Conversions between UTF-16 and UTF-8 (file names on this system). Each
// malformed piece becomes one U+FFFD: in UTF-8 a stray or missing
// continuation byte, an overlong form, an encoded surrogate or a value past
// U+10FFFF; in UTF-16 a surrogate without its partner.
std::string wtext_to_utf8(const char16_t* s);
// wchar_t text (hidapi's strings: UTF-32 on Linux, UTF-16 on Windows) as
// UTF-8; a value that is a surrogate or lies past U+10FFFF becomes U+FFFD.
// Empty for null.
std::string wide_to_utf8(const wchar_t* s);
std::u16string utf8_to_wtext(const std::string& s);

// A moment as the tool's files write it: UTC, "2026-12-10T13:05:22Z".
std::string utc_time_text(std::time_t t);
