#include "config/records.h"

#include "support/checksum.h"

#include <cstring>
#include <initializer_list>

int param_checksum_length(int kind) {
    switch (kind) {
    case 2:
        return 72;
    case 3:
        return 170;
    case 4:
        return 59;
    case 5:
        return 111;
    default:
        return kind > 5 ? -1 : 24;
    }
}

namespace {
bool kind_matches(const uint8_t* rec, int kind) {
    int n = param_checksum_length(kind);
    if (rec_u32(rec + PARAM_OFF_CHECKSUM) != byte_sum(rec + PARAM_OFF_DATA, size_t(n)))
        return false;
    // Kinds 3..5 end their summed range with the marker.
    if (kind >= 3 && rec_u32(rec + n) != RECORD_MAGIC)
        return false;
    return true;
}
} // namespace

int param_record_kind(const uint8_t* rec) {
    if (!rec)
        return PARAM_KIND_NONE;
    for (int kind : {5, 4, 3, 2, 1})
        if (kind_matches(rec, kind))
            return kind;
    return PARAM_KIND_NONE;
}

int param_record_seal(uint8_t* rec, int kind) {
    int n = param_checksum_length(kind);
    if (!rec || n < 0)
        return 0;
    rec_set_u32(rec + PARAM_OFF_CHECKSUM, byte_sum(rec + PARAM_OFF_DATA, size_t(n)));
    return 1;
}

int param_freq_table_offset(int kind) {
    switch (kind) {
    case 3:
        return P3_OFF_FREQ_TABLE;
    case 4:
        return P4_OFF_FREQ_TABLE;
    case 5:
        return P5_OFF_FREQ_TABLE;
    default:
        return -1;
    }
}

int param_band_capacity(int kind) {
    if (kind == 1 || kind == 2)
        return P12_BAND_COUNT;
    int table = param_freq_table_offset(kind);
    if (table < 0)
        return 0;
    int entries = (PARAM_RECORD_SIZE - table) / 4;
    return entries < P35_MAX_BANDS ? entries : P35_MAX_BANDS;
}

int param_radar_type(const uint8_t* rec, int kind) {
    if (!rec || kind < 3 || kind > 5)
        return 0;
    return rec_s8(rec + P35_OFF_RADAR_TYPE);
}

namespace {
int by_kind(int kind, int off12, int off35) {
    if (kind == 1 || kind == 2)
        return off12;
    if (kind >= 3 && kind <= 5)
        return off35;
    return -1;
}
} // namespace

int param_flags_offset(int kind) {
    return by_kind(kind, P12_OFF_FLAGS, P35_OFF_FLAGS);
}
int param_time_zone_offset(int kind) {
    return by_kind(kind, P12_OFF_TIME_ZONE, P35_OFF_TIME_ZONE);
}
int param_day_hour_offset(int kind) {
    return by_kind(kind, P12_OFF_DAY_HOUR, P35_OFF_DAY_HOUR);
}
int param_night_hour_offset(int kind) {
    return by_kind(kind, P12_OFF_NIGHT_HOUR, P35_OFF_NIGHT_HOUR);
}
int param_bands_offset(int kind) {
    return by_kind(kind, P12_OFF_BANDS, P35_OFF_BANDS);
}

int param_time_zone(const uint8_t* rec, int kind) {
    int off = param_time_zone_offset(kind);
    if (!rec || off < 0)
        return 0;
    if (kind == 5) {
        int v = rec[off] & P5_TIME_ZONE_MASK;
        return v >= 16 ? v - 32 : v;
    }
    return rec_s8(rec + off);
}

int param_set_time_zone(uint8_t* rec, int kind, int value) {
    int off = param_time_zone_offset(kind);
    if (!rec || off < 0)
        return 0;
    uint8_t low = uint8_t(unsigned(value) & 0xFFu);
    if (kind == 5)
        rec[off] = uint8_t((rec[off] & ~P5_TIME_ZONE_MASK) | (low & P5_TIME_ZONE_MASK));
    else
        rec[off] = low;
    return 1;
}

void param_board_and_version(const uint8_t* rec, int kind, uint8_t board[4], uint32_t* version) {
    int name = -1, ver = -1;
    if (rec && kind >= 3 && kind <= 5) {
        name = P35_OFF_BOARD_NAME;
        ver = P35_OFF_PROGRAM_VERSION;
    } else if (rec && kind == 2) {
        name = P2_OFF_BOARD_NAME;
        ver = P2_OFF_PROGRAM_VERSION;
    }
    if (board) {
        if (name >= 0)
            std::memcpy(board, rec + name, MS_BOARD_NAME_SIZE);
        else
            std::memset(board, 0, MS_BOARD_NAME_SIZE);
    }
    if (version)
        *version = ver >= 0 ? rec_u32(rec + ver) : 0;
}

int server_settings_present(const uint8_t* ss) {
    return ss && rec_u32(ss + SS_OFF_MAGIC) == RECORD_MAGIC ? 1 : 0;
}

int main_setting_block_build(uint8_t* block, const uint8_t* ms, const uint8_t* ss) {
    if (!block || !ms)
        return 0;
    std::memset(block, 0xFF, MAIN_SETTING_BLOCK_SIZE);
    rec_set_u32(block + MSB_OFF_MAIN_SUM, byte_sum(ms, MAIN_SETTING_RECORD_SIZE));
    std::memcpy(block + MSB_OFF_MAIN_RECORD, ms, MAIN_SETTING_RECORD_SIZE);
    if (server_settings_present(ss)) {
        rec_set_u32(block + MSB_OFF_SERVER_SUM, byte_sum(ss, SERVER_SETTINGS_RECORD_SIZE));
        std::memcpy(block + MSB_OFF_SERVER_RECORD, ss, SERVER_SETTINGS_RECORD_SIZE);
    }
    return 1;
}

int main_setting_half_valid(const uint8_t* half) {
    if (!half)
        return 0;
    const uint8_t* ms = half + MSB_OFF_MAIN_RECORD;
    return rec_u32(ms + MS_OFF_MAGIC) == RECORD_MAGIC &&
                   rec_u32(half) == byte_sum(ms, MAIN_SETTING_RECORD_SIZE)
               ? 1
               : 0;
}

int server_settings_half_valid(const uint8_t* half) {
    if (!half)
        return 0;
    const uint8_t* ss = half + (MSB_OFF_SERVER_RECORD - MSB_OFF_SERVER_SUM);
    return rec_u32(ss + SS_OFF_MAGIC) == RECORD_MAGIC &&
                   rec_u32(half) == byte_sum(ss, SERVER_SETTINGS_RECORD_SIZE)
               ? 1
               : 0;
}

int main_setting_block_parse(const uint8_t* first, const uint8_t* second, uint8_t* ms,
                             uint8_t* ss) {
    int valid = main_setting_half_valid(first);
    if (ms) {
        if (valid)
            std::memcpy(ms, first + MSB_OFF_MAIN_RECORD, MAIN_SETTING_RECORD_SIZE);
        else
            std::memset(ms, 0, MAIN_SETTING_RECORD_SIZE);
    }
    if (ss) {
        // The second half only counts behind a valid main-setting record.
        if (valid && server_settings_half_valid(second))
            std::memcpy(ss, second + (MSB_OFF_SERVER_RECORD - MSB_OFF_SERVER_SUM),
                        SERVER_SETTINGS_RECORD_SIZE);
        else
            std::memset(ss, 0, SERVER_SETTINGS_RECORD_SIZE);
    }
    return valid;
}

void rec_get_text(char* dst, size_t dst_size, const uint8_t* field, size_t width) {
    if (!dst || dst_size == 0)
        return;
    size_t n = 0;
    if (field)
        while (n < width && n + 1 < dst_size && field[n] != 0)
            ++n;
    if (n)
        std::memcpy(dst, field, n);
    dst[n] = '\0';
}

void rec_set_text(uint8_t* field, size_t width, const char* src, size_t len) {
    if (!field)
        return;
    std::memset(field, 0, width);
    if (!src)
        return;
    std::memcpy(field, src, len < width ? len : width);
}
