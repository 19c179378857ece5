#include "support/sha256.h"

#include <openssl/evp.h>

#include <new>

struct Sha256 {
    EVP_MD_CTX* ctx = nullptr;
    bool ok = false;
};

Sha256* sha256_begin() {
    auto* h = new (std::nothrow) Sha256;
    if (!h)
        return nullptr;
    h->ctx = EVP_MD_CTX_new();
    h->ok = h->ctx && EVP_DigestInit_ex(h->ctx, EVP_sha256(), nullptr) == 1;
    if (!h->ok) {
        EVP_MD_CTX_free(h->ctx);
        delete h;
        return nullptr;
    }
    return h;
}

bool sha256_add(Sha256* h, const void* data, size_t n) {
    if (!h || !h->ok)
        return false;
    if (!data)
        n = 0;
    if (n > 0 && EVP_DigestUpdate(h->ctx, data, n) != 1)
        h->ok = false;
    return h->ok;
}

bool sha256_end(Sha256* h, uint8_t out[SHA256_BYTES]) {
    if (!h)
        return false;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    bool ok = h->ok && EVP_DigestFinal_ex(h->ctx, digest, &len) == 1 && len == SHA256_BYTES;
    if (ok)
        for (size_t i = 0; i < SHA256_BYTES; ++i)
            out[i] = digest[i];
    EVP_MD_CTX_free(h->ctx);
    delete h;
    return ok;
}
