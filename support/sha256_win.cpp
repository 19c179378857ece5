#include "support/sha256.h"

#include <windows.h>

#include <bcrypt.h>

#include <new>

struct Sha256 {
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = false;
};

namespace {

bool succeeded(NTSTATUS status) {
    return status >= 0;
}

} // namespace

Sha256* sha256_begin() {
    auto* h = new (std::nothrow) Sha256;
    if (!h)
        return nullptr;
    h->ok = succeeded(BCryptOpenAlgorithmProvider(&h->alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
            succeeded(BCryptCreateHash(h->alg, &h->hash, nullptr, 0, nullptr, 0, 0));
    if (!h->ok) {
        if (h->alg)
            BCryptCloseAlgorithmProvider(h->alg, 0);
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
    auto* p = static_cast<PUCHAR>(const_cast<void*>(data));
    while (n > 0 && h->ok) {
        ULONG chunk = n > 0x40000000 ? 0x40000000 : static_cast<ULONG>(n);
        h->ok = succeeded(BCryptHashData(h->hash, p, chunk, 0));
        p += chunk;
        n -= chunk;
    }
    return h->ok;
}

bool sha256_end(Sha256* h, uint8_t out[SHA256_BYTES]) {
    if (!h)
        return false;
    bool ok = h->ok && succeeded(BCryptFinishHash(h->hash, out, SHA256_BYTES, 0));
    BCryptDestroyHash(h->hash);
    BCryptCloseAlgorithmProvider(h->alg, 0);
    delete h;
    return ok;
}
