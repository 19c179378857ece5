// Settings changed by name (KEY=VALUE on the command line, or the keys of a
// saved settings file), applied to what the configuration dialog would hold
// for the unit. Each value is checked against what the dialog itself can
// produce (a time zone of its list, the hours of its labels, a port of
// digits within range, texts within the edits' limits), so a unit never
// gets a value the window could not show or set back.
//
// Keys: band.N (1|0), freq_display (1|0), twelve_hour (1|0), time_zone,
// day_hour, night_hour, carrier (row 0..29, a carrier's name, or the
// unit's own APN when its list offers it), apn, user, password, server,
// port. The names `settings --json` prints are taken too:
// radar_frequency_display, twelve_hour_clock, daytime_start_hour,
// nighttime_start_hour, carrier_row. Booleans are 1/0, on/off, yes/no or
// true/false. A GPRS value equal to what the area already holds changes
// nothing and is taken even where the field cannot be changed.
//
// Use: view = config_view_load(...), input = config_input_unchanged(view),
// config_set_values(view, input, ...), then config_apply(view, input, ...)
// on the record copies.
#pragma once

#include "config/config_model.h"

#include <string>
#include <utility>
#include <vector>

// Day and night screen start hours the dialog's labels offer.
inline constexpr int DAY_HOUR_MIN = 3;
inline constexpr int DAY_HOUR_MAX = 10;
inline constexpr int NIGHT_HOUR_MIN = 15;
inline constexpr int NIGHT_HOUR_MAX = 23;
// Ports the unit's data connection can use.
inline constexpr int PORT_MIN = 1;
inline constexpr int PORT_MAX = 65535;

// Every key with the values it takes and its name in `settings --json`,
// one line each under a heading, for the help of `settings`.
std::string config_keys_help();

// The key a name stands for (the JSON names map to the short keys); ""
// when it is no setting.
std::string config_key_canonical(const std::string& name);

// "" when every character of text fits the unit's code page, else the
// refusal naming key and the first character that does not.
std::string config_code_page_refusal(const std::string& key, const std::u16string& text);

// "" when text takes at most max bytes in the unit's code page, else the
// refusal naming key, the bytes it takes and max. A text of one-byte
// characters only is refused as "KEY: at most MAX characters".
std::string config_size_refusal(const std::string& key, const std::u16string& text, size_t max);

// The first value of values a unit of this kind can never store: a
// character its code page lacks, or an APN, user name, password or server
// longer than its field holds (config_size_refusal); "" when there is
// none. Checked before anything is written, so a file is applied whole or
// not at all on that count.
std::string config_values_refusal(int kind,
                                  const std::vector<std::pair<std::string, std::string>>& values);

// The band number of a band.N key (N of one to three digits), -1 for any
// other key.
int config_band_index(const std::string& key);

// Applies one setting to input (and to the view's carrier selection, as
// the dialog's list does). Returns "" when taken, else the refusal, which
// names the key and what it takes; input is then unchanged. A GPRS value
// ends input.keep_gprs.
std::string config_set_value(ConfigView& view, ConfigInput& input, const std::string& key,
                             const std::string& value);

// Applies several: the carrier first, so that an APN, user name or
// password given beside it wins, then the rest in order. Stops at the
// first refusal and returns it ("" when all were taken).
std::string config_set_values(ConfigView& view, ConfigInput& input,
                              const std::vector<std::pair<std::string, std::string>>& values);
