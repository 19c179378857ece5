// Little-endian field access by offset for the packed records of packages.
#pragma once

#include <cstddef>
#include <cstdint>

inline uint32_t get_u32(const uint8_t* p, size_t off) {
    return static_cast<uint32_t>(p[off]) | static_cast<uint32_t>(p[off + 1]) << 8 |
           static_cast<uint32_t>(p[off + 2]) << 16 | static_cast<uint32_t>(p[off + 3]) << 24;
}

inline void put_u32(uint8_t* p, size_t off, uint32_t v) {
    p[off] = static_cast<uint8_t>(v);
    p[off + 1] = static_cast<uint8_t>(v >> 8);
    p[off + 2] = static_cast<uint8_t>(v >> 16);
    p[off + 3] = static_cast<uint8_t>(v >> 24);
}
