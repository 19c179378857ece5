// Byte helpers of the emulated unit: little-endian words read and written by
// offset, byte sums, the record magic.
#pragma once

#include <cstddef>
#include <cstdint>

namespace unit_bytes {

inline constexpr uint32_t MAGIC = 0x6B2D9E41;

inline void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline uint32_t sum(const uint8_t* p, size_t n) {
    uint32_t s = 0;
    for (size_t i = 0; i < n; ++i)
        s += p[i];
    return s;
}

} // namespace unit_bytes
