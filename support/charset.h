// Text from one character set to another: "UTF-8", "UTF-16LE" and the
// system's ANSI code page (ANSI_CODE_PAGE, GBK) everywhere; on Linux also
// any other set iconv knows (a terminal's), on Windows any code page by
// number ("CP437"). iconv on Linux; on Windows the code-page conversions
// through UTF-16.
#pragma once

#include <cstddef>
#include <vector>

// Converts n bytes at in from the set from into the set to, replacing out.
// False when a character cannot be represented, the input is malformed or
// the conversion is not available (out is then unspecified).
bool charset_convert(const char* to, const char* from, const char* in, size_t n,
                     std::vector<char>* out);
