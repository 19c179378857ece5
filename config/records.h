// The unit's configuration records: the 512-byte main-setting block (the
// main-setting record and the server-settings record) and the 256-byte
// parameter record in its five kinds.
//
// All values are little-endian and the records are packed, so fields are
// read and written by offset with the accessors below. Text fields are
// NUL-padded ANSI text; a text that fills its field has no terminator.
#pragma once

#include <cstddef>
#include <cstdint>

// Validity marker that ends every record that carries one. Other headers
// of the device link and the package define the same constant behind the
// same guard, so any of them may be included together.
#ifndef TREVIK_RECORD_MAGIC_DEFINED
#define TREVIK_RECORD_MAGIC_DEFINED
inline constexpr uint32_t RECORD_MAGIC = 0x6B2D9E41;
#endif

// ---- little-endian accessors (p must hold the bytes read or written) ----
inline uint16_t rec_u16(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}
inline uint32_t rec_u32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline void rec_set_u16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void rec_set_u32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
inline int8_t rec_s8(const uint8_t* p) {
    return int8_t(p[0]);
}

// ---- sizes ----
inline constexpr int MAIN_SETTING_BLOCK_SIZE = 512;
inline constexpr int MAIN_SETTING_RECORD_SIZE = 231;
inline constexpr int SERVER_SETTINGS_RECORD_SIZE = 178;
inline constexpr int PARAM_RECORD_SIZE = 256;

// ---- main-setting block (512 bytes) ----
inline constexpr int MSB_OFF_MAIN_SUM = 0;        // u32 byte sum of the main-setting record
inline constexpr int MSB_OFF_MAIN_RECORD = 4;     // 231 bytes
inline constexpr int MSB_OFF_MAIN_PAD = 235;      // 21 bytes 0xFF
inline constexpr int MSB_OFF_SERVER_SUM = 256;    // u32 byte sum of the server-settings record
inline constexpr int MSB_OFF_SERVER_RECORD = 260; // 178 bytes
inline constexpr int MSB_OFF_SERVER_PAD = 438;    // 74 bytes 0xFF
inline constexpr int MSB_HALF_SIZE = 256;         // read as two halves

// ---- main-setting record (231 bytes) ----
inline constexpr int MS_OFF_VERSION = 0;    // u32 main setting version
inline constexpr int MS_OFF_BOARD_NAME = 4; // char[4], no terminator
inline constexpr int MS_BOARD_NAME_SIZE = 4;
inline constexpr int MS_OFF_PROGRAM_VERSION = 8;        // u32
inline constexpr int MS_OFF_RESERVED_12 = 12;           // u8
inline constexpr int MS_OFF_REQUIRED_TOOL_VERSION = 13; // u32
inline constexpr int MS_OFF_OPTION_FLAG = 17;           // u8
inline constexpr int MS_OFF_UPDATE_TOOL_PRESENT = 18;   // u8
inline constexpr int MS_OFF_VOICE_VARIANT = 19;         // u8, variant B
inline constexpr int MS_OFF_RESERVED_20 = 20;           // u8
inline constexpr int MS_OFF_GPS_VARIANT = 21;           // u8, variant D
inline constexpr int MS_OFF_VOICE2_VARIANT = 22;        // u8, variant C
inline constexpr int MS_OFF_FLASH_SIZE = 59;            // u32
inline constexpr int MS_OFF_SERVER_DATA_ADDR = 63;      // u32
inline constexpr int MS_OFF_SERVER_DATA_SIZE = 67;      // u32, multiple of 4096
inline constexpr int MS_OFF_UPDATE_TOOL_ADDR = 71;      // u32
inline constexpr int MS_OFF_UPDATE_TOOL_SIZE = 75;      // u32
inline constexpr int MS_OFF_VOICE_ADDR = 79;            // u32
inline constexpr int MS_OFF_VOICE_SIZE = 83;            // u32
inline constexpr int MS_OFF_RADAR_MUTE_ADDR = 87;       // u32
inline constexpr int MS_OFF_RADAR_MUTE_SIZE = 91;       // u32
inline constexpr int MS_OFF_GPS_ADDR = 95;              // u32
inline constexpr int MS_OFF_GPS_SIZE = 99;              // u32
inline constexpr int MS_OFF_DATA_BASE = 103;            // u32
inline constexpr int MS_OFF_LEADING_SIZE = 107;         // u32
inline constexpr int MS_OFF_LAYOUT_END = 111;           // u32
inline constexpr int MS_OFF_TRACK_ADDR = 115;           // u32
inline constexpr int MS_OFF_TRACK_SIZE = 119;           // u32
inline constexpr int MS_OFF_MAGIC = 227;                // u32 RECORD_MAGIC

// ---- server-settings record (178 bytes) ----
inline constexpr int SS_OFF_APN = 0; // char[50]
inline constexpr int SS_APN_SIZE = 50;
inline constexpr int SS_OFF_SERVER = 50; // char[20]
inline constexpr int SS_SERVER_SIZE = 20;
inline constexpr int SS_OFF_PORT = 70; // u32
inline constexpr int SS_OFF_USER = 74; // char[50]
inline constexpr int SS_USER_SIZE = 50;
inline constexpr int SS_OFF_PASSWORD = 124; // char[50]
inline constexpr int SS_PASSWORD_SIZE = 50;
inline constexpr int SS_OFF_MAGIC = 174; // u32 RECORD_MAGIC

// ---- parameter record (256 bytes), common ----
inline constexpr int PARAM_OFF_CHECKSUM = 0;        // u32 byte sum of the kind's data bytes
inline constexpr int PARAM_OFF_DATA = 4;            // the summed data start here
inline constexpr int PARAM_KIND_NONE = -1;          // no kind recognised
inline constexpr uint8_t PARAM_FLAG_12_HOUR = 0x20; // bit 5
inline constexpr uint8_t PARAM_FLAG_RADAR_FREQ_DISPLAY = 0x40;   // bit 6
inline constexpr uint8_t PARAM_FLAG_RADAR_FREQ_AVAILABLE = 0x80; // bit 7, kinds 3..5

// Kinds 1 and 2 (fixed bands).
inline constexpr int P12_OFF_FLAGS = 8;      // u8
inline constexpr int P12_OFF_TIME_ZONE = 10; // s8, -12..13
inline constexpr int P12_OFF_BANDS = 11;     // u8[12]
inline constexpr int P12_BAND_COUNT = 12;
inline constexpr int P12_OFF_DAY_HOUR = 24;       // s8, negative = absent
inline constexpr int P12_OFF_NIGHT_HOUR = 25;     // s8, negative = absent
inline constexpr int P2_OFF_BOARD_NAME = 28;      // char[4], kind 2
inline constexpr int P2_OFF_PROGRAM_VERSION = 32; // u32, kind 2

// Kinds 3, 4 and 5 (bands described by the record).
inline constexpr int P35_OFF_BOARD_NAME = 4;      // char[4]
inline constexpr int P35_OFF_PROGRAM_VERSION = 8; // u32
inline constexpr int P35_OFF_FLAGS = 16;          // u8
inline constexpr int P35_OFF_TIME_ZONE = 18;      // s8; kind 5: signed 5 bits in bits 0..4
inline constexpr int P35_OFF_COUNTS = 19;         // s8[5]: X, Ku, K, Ka, Laser
inline constexpr int P35_GROUP_COUNT = 5;
inline constexpr int P35_OFF_BANDS = 24;           // u8[N]
inline constexpr int P35_MAX_BANDS = 26;           // enables occupy 24..49
inline constexpr int P35_OFF_DAY_HOUR = 50;        // s8
inline constexpr int P35_OFF_NIGHT_HOUR = 51;      // s8
inline constexpr int P35_OFF_RADAR_TYPE = 52;      // s8
inline constexpr uint8_t P5_TIME_ZONE_MASK = 0x1F; // kind 5: bits 0..4

// Kind 3 GPRS fields.
inline constexpr int P3_OFF_APN = 53; // char[28]
inline constexpr int P3_APN_SIZE = 28;
inline constexpr int P3_OFF_SERVER = 81; // char[20]
inline constexpr int P3_SERVER_SIZE = 20;
inline constexpr int P3_OFF_PORT = 101; // char[7], decimal text
inline constexpr int P3_PORT_SIZE = 7;
inline constexpr int P3_OFF_USER = 108; // char[28]
inline constexpr int P3_USER_SIZE = 28;
inline constexpr int P3_OFF_PASSWORD = 136; // char[28]
inline constexpr int P3_PASSWORD_SIZE = 28;

// Marker and band frequency table per kind (kinds 3..5): the marker is the
// last word of the summed range, the table (u16 lower, u16 upper, MHz)
// follows it outside the checksum.
inline constexpr int P3_OFF_MAGIC = 170;
inline constexpr int P3_OFF_FREQ_TABLE = 174;
inline constexpr int P4_OFF_MAGIC = 59;
inline constexpr int P4_OFF_FREQ_TABLE = 63;
inline constexpr int P5_OFF_MAGIC = 111;
inline constexpr int P5_OFF_FREQ_TABLE = 115;

// ---- parameter record functions ----

// Number of data bytes (from offset 4) the checksum covers: 24 for kind 1
// and any kind below 1, 72 for 2, 170 for 3, 59 for 4, 111 for 5; -1 for a
// kind above 5.
int param_checksum_length(int kind);

// Recognises the kind of a 256-byte record: tries 5, 4, 3, 2, 1 (checksum,
// and for 3..5 the marker) and returns the first match; -1 when none
// matches or rec is null.
int param_record_kind(const uint8_t* rec);

// Stores the checksum of the kind's data bytes at offset 0. Returns 1, or 0
// for a null record or a kind above 5 (the record is then unchanged).
int param_record_seal(uint8_t* rec, int kind);

// Offset of the band frequency table of kinds 3..5; -1 for other kinds.
int param_freq_table_offset(int kind);

// Most band enables the record of this kind has room for (enables within
// 24..49 and frequency entries within the 256 bytes): 12 for kinds 1 and 2,
// 20 for kind 3, 26 for kinds 4 and 5; 0 for other kinds.
int param_band_capacity(int kind);

// Radar type (offset 52) for kinds 3..5; 0 for other kinds or null.
int param_radar_type(const uint8_t* rec, int kind);

// Offsets of the settings the dialog edits, by kind; -1 when the kind has
// no such field (kinds outside 1..5).
int param_flags_offset(int kind);
int param_time_zone_offset(int kind);
int param_day_hour_offset(int kind);
int param_night_hour_offset(int kind);
int param_bands_offset(int kind);

// Time zone as stored: the signed byte, or for kind 5 the signed 5-bit
// value in bits 0..4. 0 for null or an unknown kind.
int param_time_zone(const uint8_t* rec, int kind);

// Stores the low 8 bits of value (kind 5: its low 5 bits into bits 0..4,
// bits 5..7 kept). Returns 1, or 0 for null or an unknown kind.
int param_set_time_zone(uint8_t* rec, int kind, int value);

// Board name (4 bytes) and program version kept in the parameter record,
// which stand in for the main-setting record's when that is invalid: kinds
// 3..5 at 4 and 8, kind 2 at 28 and 32, zeros otherwise. Null outputs are
// skipped.
void param_board_and_version(const uint8_t* rec, int kind, uint8_t board[4], uint32_t* version);

// ---- main-setting block functions ----

// Builds the 512-byte block: 0xFF everywhere, the main-setting record with
// its sum, and the server-settings record with its sum only when ss is
// given and carries RECORD_MAGIC at 174. Returns 1, or 0 when block or ms
// is null (block then untouched).
int main_setting_block_build(uint8_t* block, const uint8_t* ms, const uint8_t* ss);

// 1 when the first 256-byte half holds a valid main-setting record (marker
// at record offset 227 and the sum at 0); 0 otherwise or for null.
int main_setting_half_valid(const uint8_t* half);

// 1 when a 256-byte second half holds a valid server-settings record
// (marker at record offset 174 and the sum at its offset 0); 0 otherwise.
int server_settings_half_valid(const uint8_t* half);

// 1 when a 178-byte server-settings record carries RECORD_MAGIC at 174
// (the test every user of the unit's copy makes); 0 otherwise or for null.
int server_settings_present(const uint8_t* ss);

// Takes the records out of the two halves of a block as read: ms (231
// bytes) and ss (178 bytes) get the records when valid, zeros otherwise;
// second may be null (not read). Returns 1 when the main-setting record is
// valid, 0 otherwise (also for null outputs, which are skipped).
int main_setting_block_parse(const uint8_t* first, const uint8_t* second, uint8_t* ms, uint8_t* ss);

// Text fields: copy a NUL-padded field of width bytes into dst
// (dst_size bytes, always terminated), stopping at the first NUL.
void rec_get_text(char* dst, size_t dst_size, const uint8_t* field, size_t width);
// Zeroes width bytes of field and copies at most width bytes of src (no
// terminator when it fills the field).
void rec_set_text(uint8_t* field, size_t width, const char* src, size_t len);
