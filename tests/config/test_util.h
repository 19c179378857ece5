// Record builders shared by the configuration tests.
#pragma once

#include "config/records.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

using ParamRecord = std::array<uint8_t, PARAM_RECORD_SIZE>;
using ServerRecord = std::array<uint8_t, SERVER_SETTINGS_RECORD_SIZE>;
using MainRecord = std::array<uint8_t, MAIN_SETTING_RECORD_SIZE>;

// A recognisable parameter record of the kind: data bytes from a pattern,
// the marker for kinds 3..5, the checksum sealed.
inline ParamRecord make_param(int kind) {
    ParamRecord r{};
    int n = param_checksum_length(kind);
    for (int i = 4; i < PARAM_RECORD_SIZE; ++i)
        r[i] = uint8_t(i * 7 + 3);
    if (kind >= 3)
        rec_set_u32(r.data() + n, RECORD_MAGIC);
    // Keep the settings in their documented ranges.
    if (kind <= 2) {
        r[P12_OFF_FLAGS] = 0;
        r[P12_OFF_TIME_ZONE] = 8;
        for (int i = 0; i < 12; ++i)
            r[P12_OFF_BANDS + i] = uint8_t(i % 2);
        r[P12_OFF_DAY_HOUR] = 6;
        r[P12_OFF_NIGHT_HOUR] = 19;
    } else {
        r[P35_OFF_FLAGS] = PARAM_FLAG_RADAR_FREQ_AVAILABLE;
        r[P35_OFF_TIME_ZONE] = 8;
        const int8_t counts[5] = {1, 1, 2, 5, 1};
        for (int g = 0; g < 5; ++g)
            r[P35_OFF_COUNTS + g] = uint8_t(counts[g]);
        for (int i = 0; i < 26; ++i)
            r[P35_OFF_BANDS + i] = i < 10 ? uint8_t(i % 2) : 0;
        r[P35_OFF_DAY_HOUR] = 6;
        r[P35_OFF_NIGHT_HOUR] = 19;
        r[P35_OFF_RADAR_TYPE] = 2;
        if (kind == 3)
            std::memset(r.data() + P3_OFF_APN, 0, 170 - P3_OFF_APN);
        int table = param_freq_table_offset(kind);
        for (int i = 0; i < 10 && table + 4 * i + 4 <= 256; ++i) {
            rec_set_u16(r.data() + table + 4 * i, uint16_t(10000 + 1000 * i));
            rec_set_u16(r.data() + table + 4 * i + 2, uint16_t(10500 + 1000 * i));
        }
    }
    param_record_seal(r.data(), kind);
    return r;
}

inline ServerRecord make_server(const char* apn, const char* server, uint32_t port) {
    ServerRecord s{};
    rec_set_text(s.data() + SS_OFF_APN, SS_APN_SIZE, apn, std::strlen(apn));
    rec_set_text(s.data() + SS_OFF_SERVER, SS_SERVER_SIZE, server, std::strlen(server));
    rec_set_u32(s.data() + SS_OFF_PORT, port);
    rec_set_text(s.data() + SS_OFF_USER, SS_USER_SIZE, "unituser", 8);
    rec_set_text(s.data() + SS_OFF_PASSWORD, SS_PASSWORD_SIZE, "unitpass", 8);
    rec_set_u32(s.data() + SS_OFF_MAGIC, RECORD_MAGIC);
    return s;
}

inline MainRecord make_main(const char* board, uint32_t program_version) {
    MainRecord m{};
    for (int i = 0; i < MAIN_SETTING_RECORD_SIZE; ++i)
        m[i] = uint8_t(i);
    std::memcpy(m.data() + MS_OFF_BOARD_NAME, board, 4);
    rec_set_u32(m.data() + MS_OFF_PROGRAM_VERSION, program_version);
    rec_set_u32(m.data() + MS_OFF_REQUIRED_TOOL_VERSION, 0);
    rec_set_u32(m.data() + MS_OFF_MAGIC, RECORD_MAGIC);
    return m;
}

inline std::string u8(const std::u16string& s) {
    std::string out;
    for (char16_t c : s)
        out += c < 0x80 ? char(c) : '?';
    return out;
}
