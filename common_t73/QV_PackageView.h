// The device link's view of an in-memory package: sections by their number
// and program entries as plain values, so the writes and the plan read the
// package in one place.
#pragma once

#include <cstdint>

struct Package;
struct ProgramImage;

// Section numbers beyond the file's 13: the merged province GPS image.
inline constexpr int SECTION_MERGED_GPS = 14;

struct QV_Section {
    const uint8_t* data = nullptr;
    uint32_t size = 0; // 0 = absent (also when data is missing)
};

// Section 1 boot, 3 radar mute, 4 voice, 5 GPS, 6 update tool, 7 voice B,
// 9 province voice, 10 province voice B, 11 voice C, 12 voice C+B, 13 GPS D,
// SECTION_MERGED_GPS the merged province image. Absent for other numbers.
QV_Section qv_section(const Package* pkg, int number);

struct QV_Entry {
    uint8_t board_id[4] = {};
    const uint8_t* data = nullptr;
    uint32_t size = 0;
    uint32_t variant_b = 0;
    uint32_t server_size = 0;
    uint32_t version = 0;
    uint32_t layout502 = 0;
    uint32_t server_reset = 0;
    uint32_t variant_c = 0;
    uint32_t variant_d = 0;
    uint32_t legacy = 0;
    uint32_t track_size = 0;
};

uint32_t qv_program_count(const Package* pkg);
const ProgramImage* qv_program_at(const Package* pkg, uint32_t index);
QV_Entry qv_entry(const ProgramImage* image);
const uint8_t* qv_client_block(const Package* pkg); // 256 bytes; null for null
