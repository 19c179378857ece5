#include "config/config_model.h"

#include "config/records.h"

#include <climits>
#include <cstring>

namespace {
std::u16string ascii16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

bool is_blank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}
} // namespace

std::u16string config_caption(const std::u16string& prefix, int boot_version, int kind,
                              const uint8_t* param, const uint8_t* ms) {
    uint8_t board[MS_BOARD_NAME_SIZE] = {};
    uint32_t version = 0;
    if (ms) {
        std::memcpy(board, ms + MS_OFF_BOARD_NAME, MS_BOARD_NAME_SIZE);
        version = rec_u32(ms + MS_OFF_PROGRAM_VERSION);
    } else if (param) {
        // Kinds above 2 keep the copies at 4 and 8, the others at 28 and 32.
        int name_off = kind > 2 ? P35_OFF_BOARD_NAME : P2_OFF_BOARD_NAME;
        int ver_off = kind > 2 ? P35_OFF_PROGRAM_VERSION : P2_OFF_PROGRAM_VERSION;
        std::memcpy(board, param + name_off, MS_BOARD_NAME_SIZE);
        version = rec_u32(param + ver_off);
    }
    std::u16string out = prefix + u"              ";
    out += ansi_field_text(board, MS_BOARD_NAME_SIZE);
    out += u"    Boot:" + ascii16(std::to_string(boot_version));
    out += u"     Program Version:" + ascii16(std::to_string(int32_t(version)));
    return out;
}

ConfigView config_view_load(const std::u16string& prefix, int boot_version, int kind,
                            const uint8_t* param, const uint8_t* ms, const uint8_t* ss) {
    ConfigView v;
    if (!param)
        return v;
    v.kind = kind;
    v.caption = config_caption(prefix, boot_version, kind, param, ms);
    v.gprs = gprs_load(kind, param, ss);
    v.bands = bands_load(param, kind);
    int flags_off = param_flags_offset(kind);
    if (flags_off < 0)
        return v;
    uint8_t flags = param[flags_off];
    if (kind <= 2) {
        v.freq_display_visible = true;
    } else {
        v.freq_display_visible = !v.bands.empty() && (flags & PARAM_FLAG_RADAR_FREQ_AVAILABLE) &&
                                 param_radar_type(param, kind) != 0;
    }
    v.freq_display_checked = (flags & PARAM_FLAG_RADAR_FREQ_DISPLAY) != 0;
    v.twelve_hour_checked = (flags & PARAM_FLAG_12_HOUR) != 0;
    v.twelve_hour_visible = false;
    v.time_zone = param_time_zone(param, kind);
    v.time_zone_visible = v.time_zone >= TIME_ZONE_MIN && v.time_zone <= TIME_ZONE_MAX;
    v.twelve_hour_present = v.time_zone_visible;
    v.day_hour = rec_s8(param + param_day_hour_offset(kind));
    v.day_visible = v.day_hour >= 0;
    v.night_hour = rec_s8(param + param_night_hour_offset(kind));
    v.night_visible = v.night_hour >= 0;
    return v;
}

ConfigInput config_input_from_view(const ConfigView& v) {
    ConfigInput in;
    for (const BandInfo& b : v.bands)
        in.bands.push_back(b.checked);
    in.freq_display = v.freq_display_checked;
    in.twelve_hour = v.twelve_hour_checked;
    if (v.time_zone_visible)
        in.time_zone = ascii16(std::to_string(v.time_zone));
    in.day_hour = ascii16(std::to_string(v.day_hour));
    in.night_hour = ascii16(std::to_string(v.night_hour));
    in.gprs.apn = v.gprs.apn;
    in.gprs.user = v.gprs.user;
    in.gprs.password = v.gprs.password;
    in.gprs.server = v.gprs.server;
    in.gprs.port = v.gprs.port;
    return in;
}

ConfigInput config_input_unchanged(const ConfigView& v) {
    ConfigInput in = config_input_from_view(v);
    in.gprs = gprs_unit_texts(v.gprs);
    in.keep_gprs = true;
    return in;
}

int config_parse_int(const std::u16string& text, int* out) {
    size_t i = 0, n = text.size();
    while (i < n && is_blank(text[i]))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == u'+' || text[i] == u'-'))
        negative = text[i++] == u'-';
    size_t digits = 0;
    long long value = 0;
    for (; i < n && text[i] >= u'0' && text[i] <= u'9'; ++i, ++digits) {
        value = value * 10 + (text[i] - u'0');
        if (value > (long long)INT_MAX + 1)
            return 0;
    }
    while (i < n && is_blank(text[i]))
        ++i;
    if (digits == 0 || i != n)
        return 0;
    if (negative)
        value = -value;
    if (value < INT_MIN || value > INT_MAX)
        return 0;
    if (out)
        *out = int(value);
    return 1;
}

int config_lenient_int(const std::u16string& text) {
    size_t i = 0, n = text.size();
    while (i < n && is_blank(text[i]))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == u'+' || text[i] == u'-'))
        negative = text[i++] == u'-';
    uint32_t value = 0;
    for (; i < n && text[i] >= u'0' && text[i] <= u'9'; ++i)
        value = value * 10u + uint32_t(text[i] - u'0');
    return int(negative ? 0u - value : value);
}

ConfigOkResult config_apply(const ConfigView& v, const ConfigInput& in, uint8_t* param,
                            uint8_t* ss) {
    ConfigOkResult r;
    int day = 0, night = 0;
    if (!config_parse_int(in.day_hour, &day) || !config_parse_int(in.night_hour, &night)) {
        r.message = CONFIG_NOT_INTEGER_MESSAGE;
        return r;
    }
    GprsCheck g = in.keep_gprs ? GPRS_OK : gprs_check(v.kind, ss, in.gprs);
    if (g != GPRS_OK) {
        r.message = gprs_check_message(g);
        return r;
    }
    if (!param)
        return r;
    // The GPRS area is stored only when it is shown; a unit without GPRS
    // support gets nothing.
    if (v.gprs.present && !in.keep_gprs) {
        GprsTexts loaded = gprs_unit_texts(v.gprs);
        gprs_store(v.kind, param, ss, in.gprs, &loaded);
    }
    bands_store(param, v.kind, in.bands);
    int flags_off = param_flags_offset(v.kind);
    if (flags_off >= 0) {
        uint8_t& flags = param[flags_off];
        if (v.twelve_hour_visible || (in.twelve_hour_given && v.twelve_hour_present))
            flags =
                uint8_t(in.twelve_hour ? flags | PARAM_FLAG_12_HOUR : flags & ~PARAM_FLAG_12_HOUR);
        if (v.freq_display_visible)
            flags = uint8_t(in.freq_display ? flags | PARAM_FLAG_RADAR_FREQ_DISPLAY
                                            : flags & ~PARAM_FLAG_RADAR_FREQ_DISPLAY);
        if (v.time_zone_visible)
            param_set_time_zone(param, v.kind, config_lenient_int(in.time_zone));
        if (v.day_visible)
            param[param_day_hour_offset(v.kind)] = uint8_t(unsigned(day) & 0xFFu);
        if (v.night_visible)
            param[param_night_hour_offset(v.kind)] = uint8_t(unsigned(night) & 0xFFu);
    }
    r.accepted = true;
    return r;
}
