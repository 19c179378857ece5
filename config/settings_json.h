// The settings the configuration dialog shows, as the one JSON object that
// `trevik-cli settings --json` prints and that a backup of the unit keeps
// as settings.json.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/config_model.h"

// The object for a loaded view, keys in the order they are printed; boot is
// the unit's boot version and radar_type the parameter record's radar type.
nlohmann::ordered_json config_settings_json(const ConfigView& view, int boot, int radar_type);

// The text `trevik-cli settings --json` prints for the view: the object on
// one line after "ok": true, ending in a newline.
std::string config_settings_json_text(const ConfigView& view, int boot, int radar_type);

// Settings by key (config_keys.h), in the order they are applied.
using ConfigValues = std::vector<std::pair<std::string, std::string>>;

// What a settings.json holds: the kind of the parameter record it came
// from and its settings. ok is 0 for a text that is no such object.
struct ConfigSettingsFile {
    int ok = 0;
    int kind = 0;
    ConfigValues values;
    // A value of the wrong type each ("time_zone: 3.0 is not a whole
    // number"); these are not in values.
    std::vector<std::string> wrong_type;
};

// Reads a text as `trevik-cli settings --json` prints it (the "ok" key may
// be there or not). Settings the unit it came from does not have (null)
// are left out; the carrier comes first, as the dialog's list takes it.
// Each band entry stands for the band its "key" names; an entry without a
// band key, or one of several naming the same band, goes to wrong_type.
ConfigSettingsFile config_settings_from_json_text(const std::string& text);

// Applies each value on its own, so one the unit cannot take does not stop
// the others. Returns the refusal of each value not applied; taken, when
// given, receives the keys of the values taken.
std::vector<std::string> config_apply_each(ConfigView& view, ConfigInput& input,
                                           const ConfigValues& values,
                                           std::vector<std::string>* taken = nullptr);

// The largest settings.json read; the real ones are a few hundred bytes.
inline constexpr size_t CONFIG_SETTINGS_FILE_MAX = 64 * 1024;

// Reads a settings.json, or the settings.json inside the backup folder
// path names. Returns 0 with the text (and the file read in *used, when
// given); else 1 (missing, unreadable or too large) or 2 (not a regular
// file: a device, a FIFO) with *why naming the file.
int config_settings_read_file(const std::string& path, std::string* text, std::string* why,
                              std::string* used = nullptr);
