#include "common_t73/QV_SessionCodec.h"

#include <zlib.h>

#include <cstring>

namespace {

const char BASE64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

} // namespace

std::string session_to_base64(const std::vector<uint8_t>& in) {
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        uint32_t v = uint32_t(in[i]) << 16;
        if (i + 1 < in.size())
            v |= uint32_t(in[i + 1]) << 8;
        if (i + 2 < in.size())
            v |= in[i + 2];
        out += BASE64[v >> 18 & 63];
        out += BASE64[v >> 12 & 63];
        out += i + 1 < in.size() ? BASE64[v >> 6 & 63] : '=';
        out += i + 2 < in.size() ? BASE64[v & 63] : '=';
    }
    return out;
}

bool session_from_base64(const std::string& in, std::vector<uint8_t>* out) {
    if (in.size() % 4)
        return false;
    out->clear();
    for (size_t i = 0; i < in.size(); i += 4) {
        uint32_t v = 0;
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            char c = in[i + k];
            const char* at = c ? std::strchr(BASE64, c) : nullptr;
            if (c == '=' && i + 4 == in.size() && k >= 2) {
                ++pad;
                v <<= 6;
            } else if (at && pad == 0) {
                v = v << 6 | uint32_t(at - BASE64);
            } else {
                return false;
            }
        }
        out->push_back(uint8_t(v >> 16));
        if (pad < 2)
            out->push_back(uint8_t(v >> 8));
        if (pad < 1)
            out->push_back(uint8_t(v));
    }
    return true;
}

std::vector<uint8_t> session_deflate(const std::vector<uint8_t>& in) {
    uLongf size = compressBound(uLong(in.size()));
    std::vector<uint8_t> out(size);
    if (compress2(out.data(), &size, in.data(), uLong(in.size()), 9) != Z_OK)
        return {};
    out.resize(size);
    return out;
}

bool session_inflate(const std::vector<uint8_t>& in, size_t expected, std::vector<uint8_t>* out) {
    // zlib expands at most about 1032 times: a larger claim is not sized.
    if (expected > in.size() * 1032 + 64)
        return false;
    out->assign(expected, 0);
    uLongf size = uLongf(expected);
    if (uncompress(out->data(), &size, in.data(), uLong(in.size())) != Z_OK || size != expected)
        return false;
    return true;
}
