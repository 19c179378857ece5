// The settings the configuration dialog shows, as the one JSON object that
// `trevik-cli settings --json` prints and that a backup of the unit keeps
// as settings.json.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "config/config_model.h"

// The object for a loaded view; boot is the unit's boot version and
// radar_type the parameter record's radar type.
nlohmann::json config_settings_json(const ConfigView& view, int boot, int radar_type);

// The object as printed: indented by two, ending in a newline.
std::string config_settings_json_text(const ConfigView& view, int boot, int radar_type);
