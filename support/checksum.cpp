#include "support/checksum.h"

uint32_t byte_sum(const void* data, size_t n) {
    if (!data)
        return 0;
    auto* p = static_cast<const uint8_t*>(data);
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += p[i];
    return sum;
}
