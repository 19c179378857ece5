// The 32-bit wrapping byte sum: the checksum of package trailers, command
// frames, flash writes and the unit's records.
#pragma once

#include <cstddef>
#include <cstdint>

// Sum of n bytes taken as unsigned values; 0 for null data.
uint32_t byte_sum(const void* data, size_t n);
