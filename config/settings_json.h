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
};

// Reads a text as `trevik-cli settings --json` prints it (the "ok" key may
// be there or not). Settings the unit it came from does not have (null)
// are left out; the carrier comes first, as the dialog's list takes it.
ConfigSettingsFile config_settings_from_json_text(const std::string& text);

// Applies each value on its own, so one the unit cannot take does not stop
// the others. Returns the refusal of each value not applied.
std::vector<std::string> config_apply_each(ConfigView& view, ConfigInput& input,
                                           const ConfigValues& values);
