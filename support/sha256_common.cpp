#include "support/sha256.h"

bool sha256(const void* data, size_t n, uint8_t out[SHA256_BYTES]) {
    Sha256* h = sha256_begin();
    bool ok = h && sha256_add(h, data, n);
    return sha256_end(h, out) && ok;
}

std::string sha256_hex(const void* data, size_t n) {
    uint8_t digest[SHA256_BYTES];
    if (!sha256(data, n, digest))
        return std::string();
    static const char DIGITS[] = "0123456789abcdef";
    std::string hex;
    for (uint8_t b : digest) {
        hex += DIGITS[b >> 4];
        hex += DIGITS[b & 15];
    }
    return hex;
}
