// The settings the configuration dialog shows, as the one JSON object that
// `trevik-cli settings --json` prints and that a backup of the unit keeps
// as settings.json.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "config/config_model.h"

// The object for a loaded view, keys in the order they are printed; boot is
// the unit's boot version and radar_type the parameter record's radar type.
nlohmann::ordered_json config_settings_json(const ConfigView& view, int boot, int radar_type);

// The text `trevik-cli settings --json` prints for the view: the object on
// one line after "ok": true, ending in a newline.
std::string config_settings_json_text(const ConfigView& view, int boot, int radar_type);
