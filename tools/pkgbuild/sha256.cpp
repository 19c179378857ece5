// SHA-256 names package contents in reports and tests; the system's libcrypto
// computes it.
#include <openssl/evp.h>

#include <string>

#include "tools/pkgbuild/pkgbuild.h"

std::string sha256_hex(const void* data, size_t n) {
    if (!data)
        n = 0;
    static const char empty = 0;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!EVP_Digest(data ? data : &empty, n, digest, &len, EVP_sha256(), nullptr) || len != 32)
        return {};
    static const char* hex = "0123456789abcdef";
    std::string out;
    out.reserve(64);
    for (unsigned int i = 0; i < len; ++i) {
        out.push_back(hex[digest[i] >> 4]);
        out.push_back(hex[digest[i] & 0xF]);
    }
    return out;
}
