// SHA-256, from the platform's own cryptography (libcrypto on Linux, CNG on
// Windows).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr size_t SHA256_BYTES = 32;

// A digest being computed.
struct Sha256;

// A new computation, or null when the library cannot give one.
Sha256* sha256_begin();
// Adds n bytes (null data counts as no bytes). False (and the computation is spoiled) on a library failure.
bool sha256_add(Sha256* h, const void* data, size_t n);
// Writes the digest to out and frees h. False on a library failure or a
// null h (h is freed either way).
bool sha256_end(Sha256* h, uint8_t out[SHA256_BYTES]);

// The digest of n bytes at data (null data counts as no bytes).
bool sha256(const void* data, size_t n, uint8_t out[SHA256_BYTES]);

// Lower-case hex of the digest of n bytes; empty on a library failure.
std::string sha256_hex(const void* data, size_t n);
