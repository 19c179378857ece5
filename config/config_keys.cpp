#include "config/config_keys.h"

#include "support/text.h"

#include <cstring>

namespace {
// Every setting by name: the key, the name `settings --json` gives it
// (null where it is the same) and the values it takes, as the help lists
// them. band.N stands for the bands, numbered as `settings` shows them.
struct KeyEntry {
    const char* key;
    const char* json_name;
    const char* values;
};
const KeyEntry KEYS[] = {
    {"band.N", "bands[].key", "1|0: the radar band N on or off"},
    {"freq_display", "radar_frequency_display", "1|0"},
    {"twelve_hour", "twelve_hour_clock", "1|0"},
    {"time_zone", nullptr, "-12..13 (hours from UTC, as the dialog lists them)"},
    {"day_hour", "daytime_start_hour", "3..10"},
    {"night_hour", "nighttime_start_hour", "15..23"},
    {"carrier", "carrier_row", "ROW 0..29, a carrier's name, or the unit's own APN"},
    {"apn", nullptr, "text"},
    {"user", nullptr, "text"},
    {"password", nullptr, "text"},
    {"server", nullptr, "text"},
    {"port", nullptr, "1..65535"},
};

std::string utf8(const std::u16string& s) {
    return wtext_to_utf8(s.c_str());
}

bool parse_bool(const std::string& v, bool* out) {
    if (v == "1" || v == "on" || v == "yes" || v == "true") {
        *out = true;
        return true;
    }
    if (v == "0" || v == "off" || v == "no" || v == "false") {
        *out = false;
        return true;
    }
    return false;
}

// Plain decimal digits only (no sign, no blanks) with a value up to max.
bool parse_digits(const std::string& v, int max, int* out) {
    if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos)
        return false;
    int n = std::stoi(v);
    if (n > max)
        return false;
    *out = n;
    return true;
}

// A whole number as the dialog's edits take it, within min..max.
bool parse_in_range(const std::string& v, int min, int max, int* out) {
    int n = 0;
    if (!config_parse_int(utf8_to_wtext(v), &n) || n < min || n > max)
        return false;
    *out = n;
    return true;
}

std::u16string decimal(int n) {
    std::string s = std::to_string(n);
    return std::u16string(s.begin(), s.end());
}

std::string quoted(const std::string& v) {
    return "\"" + v + "\"";
}

std::string bool_refusal(const std::string& key) {
    return key + ": give 1 or 0";
}

std::string range_refusal(const std::string& key, const std::string& value, const char* what,
                          int min, int max) {
    return key + ": " + quoted(value) + " is not allowed; give " + what + " from " +
           std::to_string(min) + " to " + std::to_string(max);
}

// A text the dialog's one-line edits can hold and the unit's field can
// store: no control characters, every character in the unit's code page,
// at most max bytes of it.
std::string text_refusal(const std::string& key, const std::u16string& text, size_t max) {
    for (char16_t c : text)
        if (c < 0x20 || c == 0x7F)
            return key + ": no control characters";
    if (std::string e = config_code_page_refusal(key, text); !e.empty())
        return e;
    return config_size_refusal(key, text, max);
}

int carrier_row_of(const GprsValues& g, const std::string& value) {
    int row = -1;
    if (parse_digits(value, CARRIER_PRESET_COUNT - 1, &row))
        return row;
    for (int r = 0; r < CARRIER_PRESET_COUNT; ++r)
        if (utf8(CARRIER_PRESETS[r].name) == value)
            return r;
    if (g.unit_entry && utf8(g.unit_apn) == value)
        return GPRS_UNIT_ROW;
    return -2;
}

bool band_index(const std::string& key, size_t* index) {
    if (key.rfind("band.", 0) != 0)
        return false;
    std::string n = key.substr(5);
    if (n.empty() || n.size() > 3 || n.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *index = std::stoul(n);
    return true;
}
} // namespace

std::string config_code_page_refusal(const std::string& key, const std::u16string& text) {
    char buf[16];
    for (size_t i = 0; i < text.size();) {
        size_t len = text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() ? 2 : 1;
        // The unit stores its texts in its code page; a character it lacks
        // would turn into '?' on the unit.
        if (wtext_to_ansi(buf, sizeof buf, text.data() + i, int(len)) <= 0)
            return key + ": \"" + wtext_to_utf8(text.substr(i, len).c_str()) +
                   "\" cannot be stored: the unit's code page (" + ANSI_CODE_PAGE +
                   ") has no such character";
        i += len;
    }
    return "";
}

std::string config_size_refusal(const std::string& key, const std::u16string& text, size_t max) {
    size_t bytes = gprs_ansi_size(text);
    if (bytes <= max)
        return "";
    // Where every character takes one byte, characters and bytes are one.
    if (bytes == text.size())
        return key + ": at most " + std::to_string(max) + " characters";
    return key + ": \"" + wtext_to_utf8(text.c_str()) + "\" takes " + std::to_string(bytes) +
           " bytes in the unit's code page (" + ANSI_CODE_PAGE + "), the unit holds at most " +
           std::to_string(max);
}

std::string config_values_refusal(int kind,
                                  const std::vector<std::pair<std::string, std::string>>& values) {
    for (const auto& [name, value] : values) {
        std::string key = config_key_canonical(name);
        std::u16string text = utf8_to_wtext(value);
        if (std::string e = config_code_page_refusal(name, text); !e.empty())
            return e;
        size_t max = key == "apn" || key == "user" || key == "password" ? gprs_text_max(kind)
                     : key == "server"                                   ? GPRS_SERVER_MAX
                                                                         : 0;
        if (max)
            if (std::string e = config_size_refusal(name, text, max); !e.empty())
                return e;
    }
    return "";
}

int config_band_index(const std::string& key) {
    size_t index = 0;
    return band_index(key, &index) ? int(index) : -1;
}

std::string config_key_canonical(const std::string& name) {
    size_t band;
    if (band_index(name, &band))
        return name;
    for (const KeyEntry& k : KEYS) {
        if (k.key[std::strlen(k.key) - 1] == 'N')
            continue; // band.N is no name of its own
        if (name == k.key || (k.json_name && name == k.json_name))
            return k.key;
    }
    return "";
}

std::string config_keys_help() {
    std::string out = "Keys (KEY=VALUE; the names settings --json prints are taken too):\n";
    for (const KeyEntry& k : KEYS) {
        std::string line = std::string("  ") + k.key;
        line.resize(16, ' ');
        line += k.values;
        if (k.json_name)
            line += std::string(" (JSON: ") + k.json_name + ")";
        out += line + "\n";
    }
    return out + "Booleans are 1/0, on/off, yes/no or true/false.\n";
}

std::string config_set_value(ConfigView& view, ConfigInput& in, const std::string& name,
                             const std::string& value) {
    std::string key = config_key_canonical(name);
    if (key.empty())
        return name + ": no such setting";
    size_t band = 0;
    bool on = false;
    int n = 0;
    if (band_index(key, &band)) {
        if (band >= in.bands.size())
            return in.bands.empty() ? key + ": this unit has no radar bands"
                                    : key + ": this unit has bands band.0 to band." +
                                          std::to_string(in.bands.size() - 1);
        if (!parse_bool(value, &on))
            return bool_refusal(key);
        in.bands[band] = on;
        return "";
    }
    if (key == "freq_display") {
        if (!view.freq_display_visible)
            return key + ": this unit offers no radar frequency display";
        if (!parse_bool(value, &on))
            return bool_refusal(key);
        in.freq_display = on;
        return "";
    }
    if (key == "twelve_hour") {
        if (!view.twelve_hour_present)
            return key + ": this unit has no clock setting";
        if (!parse_bool(value, &on))
            return bool_refusal(key);
        in.twelve_hour = on;
        in.twelve_hour_given = true;
        return "";
    }
    if (key == "time_zone") {
        if (!view.time_zone_visible)
            return key + ": this unit has no time zone setting";
        if (!parse_in_range(value, TIME_ZONE_MIN, TIME_ZONE_MAX, &n))
            return range_refusal(key, value, "a whole hour", TIME_ZONE_MIN, TIME_ZONE_MAX);
        in.time_zone = decimal(n);
        return "";
    }
    if (key == "day_hour" || key == "night_hour") {
        bool day = key == "day_hour";
        if (!(day ? view.day_visible : view.night_visible))
            return key + (day ? ": this unit has no daytime screen setting"
                              : ": this unit has no nighttime screen setting");
        int min = day ? DAY_HOUR_MIN : NIGHT_HOUR_MIN;
        int max = day ? DAY_HOUR_MAX : NIGHT_HOUR_MAX;
        if (!parse_in_range(value, min, max, &n))
            return range_refusal(key, value, "a whole hour", min, max);
        (day ? in.day_hour : in.night_hour) = decimal(n);
        return "";
    }

    // The GPRS area.
    GprsValues& g = view.gprs;
    if (!g.present)
        return key + ": this unit has no GPRS settings";
    size_t text_max = gprs_text_max(view.kind);
    if (key == "carrier") {
        int row = carrier_row_of(g, value);
        if (row == -2)
            return key + ": no carrier " + quoted(value) + "; give a row from 0 to " +
                   std::to_string(CARRIER_PRESET_COUNT - 1) + " or a carrier's name";
        gprs_select_row(g, row);
        in.gprs.apn = g.apn;
        in.gprs.user = g.user;
        in.gprs.password = g.password;
        in.keep_gprs = false;
        return "";
    }
    std::u16string text = utf8_to_wtext(value);
    // A value the area already holds changes nothing, so a saved settings
    // file applies whole even where a field cannot be changed.
    if (key == "apn" || key == "user" || key == "password") {
        std::u16string& field = key == "apn"    ? in.gprs.apn
                                : key == "user" ? in.gprs.user
                                                : in.gprs.password;
        if (text == field)
            return "";
        if (!g.row_editable)
            return key + ": set by the carrier " + utf8(gprs_selected_name(g)) +
                   " and not changeable";
        if (std::string e = text_refusal(key, text, text_max); !e.empty())
            return e;
        in.keep_gprs = false;
        field = text;
        return "";
    }
    if (text == (key == "server" ? in.gprs.server : in.gprs.port))
        return "";
    if (!g.server_port_editable)
        return key + ": fixed on this unit";
    if (key == "server") {
        if (std::string e = text_refusal(key, text, GPRS_SERVER_MAX); !e.empty())
            return e;
        in.keep_gprs = false;
        in.gprs.server = text;
        return "";
    }
    // port
    if (!parse_digits(value, PORT_MAX, &n) || n < PORT_MIN)
        return range_refusal(key, value, "a number", PORT_MIN, PORT_MAX);
    in.keep_gprs = false;
    in.gprs.port = decimal(n);
    return "";
}

std::string config_set_values(ConfigView& view, ConfigInput& in,
                              const std::vector<std::pair<std::string, std::string>>& values) {
    for (int carrier_pass = 1; carrier_pass >= 0; --carrier_pass) {
        for (const auto& [name, value] : values) {
            bool is_carrier = config_key_canonical(name) == "carrier";
            if (is_carrier != (carrier_pass == 1))
                continue;
            if (std::string e = config_set_value(view, in, name, value); !e.empty())
                return e;
        }
    }
    return "";
}
