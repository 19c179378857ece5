#include "package/scramble.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {


constexpr int32_t BLOCK_BYTES = 256;

inline uint32_t load_le32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap32(v);
    return v;
}

inline void store_le32(uint8_t* p, uint32_t v) {
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap32(v);
    std::memcpy(p, &v, 4);
}

// Works block by block so the inner loop has a fixed key and no branch; the
// running sum always adds the plain words, which is what keeps both
// directions on the same key sequence.
template <bool Encode> void rolling_run(RollingState* st, void* data, size_t n) {
    if (!st || !data || n < 4)
        return;
    auto* p = static_cast<uint8_t*>(data);
    size_t words = n / 4;
    uint32_t key = st->key;
    uint32_t sum = st->sum;
    int32_t off = st->offset;
    if (off < 0 || off >= BLOCK_BYTES || off % 4 != 0)
        off = 0; // only a state damaged from outside lands here
    while (words > 0) {
        size_t take = std::min(words, static_cast<size_t>((BLOCK_BYTES - off) / 4));
        for (size_t i = 0; i < take; ++i) {
            uint32_t w = load_le32(p + 4 * i);
            if constexpr (Encode) {
                sum += w;
                uint32_t c = w ^ key;
                c ^= c << 16; // byte 2 ^= byte 0, byte 3 ^= byte 1
                store_le32(p + 4 * i, c);
            } else {
                uint32_t c = w ^ (w << 16);
                uint32_t plain = c ^ key;
                store_le32(p + 4 * i, plain);
                sum += plain;
            }
        }
        p += 4 * take;
        words -= take;
        off += static_cast<int32_t>(4 * take);
        if (off >= BLOCK_BYTES) {
            key = sum;
            sum = 0;
            off = 0;
        }
    }
    st->key = key;
    st->sum = sum;
    st->offset = off;
}

} // namespace

size_t trailer_xor(void* data, size_t n) {
    if (!data)
        return 0;
    auto* p = static_cast<uint8_t*>(data);
    for (size_t i = 0; i < n; ++i)
        p[i] ^= static_cast<uint8_t>(TRAILER_KEY[i % 8]);
    return n;
}

void rolling_encode(RollingState* state, void* data, size_t n) {
    if (state)
        rolling_run<true>(state, data, n);
}
void rolling_decode(RollingState* state, void* data, size_t n) {
    if (state)
        rolling_run<false>(state, data, n);
}
