// The two keyed byte transforms of update packages.
//
// trailer_xor covers the package trailer. The rolling scrambler covers the
// payloads the unit unscrambles itself (boot, program images, radar mute, GPS
// data, province record blocks). It works on little-endian 32-bit words in
// 256-byte blocks: the first block uses RECORD_MAGIC as its key word, every
// later block the sum of the plain words of the block before it.
//
// The state is the caller's (RollingState), one per piece of data and
// direction: nothing is kept process-wide, so transforms on several threads
// never disturb one another. A transform never resets its state, so a
// 256-byte block may be spread over several calls; a fresh RollingState
// starts an independent piece of data.
#pragma once

#include <cstddef>
#include <cstdint>

// Validity marker of the unit's records, of the form C trailer and of the
// program-table header; also the rolling scrambler's initial key word. The
// records and the command exchange declare it behind the same guard.
#ifndef TREVIK_RECORD_MAGIC_DEFINED
#define TREVIK_RECORD_MAGIC_DEFINED
inline constexpr uint32_t RECORD_MAGIC = 0x6B2D9E41;
#endif

// The key word of a rolling state's first block (the same value).
inline constexpr uint32_t ROLLING_INITIAL_KEY = 0x6B2D9E41;

// The 8 bytes of the trailer key.
inline constexpr char TRAILER_KEY[9] = "KTRABLEX";

struct RollingState {
    uint32_t key = ROLLING_INITIAL_KEY; // XOR key of the current 256-byte block
    uint32_t sum = 0;                   // sum of the plain words of the block so far
    int32_t offset = 0;                 // bytes of the current block done, 0..252 between words
};

// XORs byte i with key byte (i mod 8), in place; applying it twice restores
// the data. Returns n (0 for null data).
size_t trailer_xor(void* data, size_t n);

// Transform the first n / 4 words of data in place with the caller's state
// (which moves on); the last n mod 4 bytes stay as they are. Nothing happens
// for a null state, null data or n < 4.
void rolling_encode(RollingState* state, void* data, size_t n);
void rolling_decode(RollingState* state, void* data, size_t n);
