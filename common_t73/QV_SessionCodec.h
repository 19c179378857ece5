// The text forms of a session file's bulk fields: read runs are kept
// compressed (zlib) and written as base64. Internal to the device link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Standard base64 with '=' padding.
std::string session_to_base64(const std::vector<uint8_t>& in);
// Reads standard base64. Returns false for a length that is no multiple of
// four, a character outside the alphabet, or padding anywhere but the end.
bool session_from_base64(const std::string& in, std::vector<uint8_t>* out);

// zlib at its best compression; empty when compressing failed.
std::vector<uint8_t> session_deflate(const std::vector<uint8_t>& in);
// Unpacks exactly expected bytes. Returns false when the data is not zlib,
// unpacks to another length, or claims more than zlib can expand it to
// (nothing is sized for such a claim).
bool session_inflate(const std::vector<uint8_t>& in, size_t expected, std::vector<uint8_t>* out);
