#include "support/charset.h"

#include <iconv.h>

bool charset_convert(const char* to, const char* from, const char* in, size_t n,
                     std::vector<char>* out) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    out->assign(n * 4 + 16, 0);
    char* src = const_cast<char*>(in);
    char* dst = out->data();
    size_t src_left = n;
    size_t dst_left = out->size();
    size_t r = iconv(cd, &src, &src_left, &dst, &dst_left);
    iconv_close(cd);
    if (r == static_cast<size_t>(-1) || src_left != 0)
        return false;
    out->resize(out->size() - dst_left);
    return true;
}
