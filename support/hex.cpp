#include "support/hex.h"

namespace {

std::string hex_with(const char* digits, const uint8_t* data, size_t n) {
    std::string out;
    if (!data)
        return out;
    out.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

} // namespace

std::string hex_lower(const uint8_t* data, size_t n) {
    return hex_with("0123456789abcdef", data, n);
}

std::string hex_upper(const uint8_t* data, size_t n) {
    return hex_with("0123456789ABCDEF", data, n);
}

int hex_digit_value(int c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool hex_parse(const std::string& text, std::vector<uint8_t>* out) {
    if (text.size() % 2)
        return false;
    out->clear();
    out->reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = hex_digit_value(static_cast<unsigned char>(text[i]));
        int lo = hex_digit_value(static_cast<unsigned char>(text[i + 1]));
        if (hi < 0 || lo < 0)
            return false;
        out->push_back(uint8_t(hi << 4 | lo));
    }
    return true;
}
