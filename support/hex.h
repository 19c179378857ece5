// Bytes as hexadecimal text and back: session files, reports shown to the
// user, escaped URLs and the unit's descriptor strings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Two lower-case digits a byte ("00f7..."); empty for null data.
std::string hex_lower(const uint8_t* data, size_t n);
// Two upper-case digits a byte ("00F7...").
std::string hex_upper(const uint8_t* data, size_t n);

// The value of one hex digit of either case, or -1 for any other character.
int hex_digit_value(int c);

// Reads pairs of hex digits of either case. Returns false (out then holds
// no meaning) for an odd length or any other character.
bool hex_parse(const std::string& text, std::vector<uint8_t>* out);
