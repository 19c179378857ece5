#include "config/settings_json.h"

#include "config/config_keys.h"
#include "config/presets.h"
#include "support/text.h"

namespace {

std::string utf8(const std::u16string& s) {
    return wtext_to_utf8(s.c_str());
}

// The settings a `settings --json` object holds, by the names it prints,
// the carrier first as the dialog's list takes it; settings the unit it
// came from does not have (null) are left out.
ConfigValues values_from_json(const nlohmann::json& j) {
    ConfigValues out;
    auto text = [](const nlohmann::json& v) -> std::string {
        if (v.is_boolean())
            return v.get<bool>() ? "1" : "0";
        if (v.is_number_integer())
            return std::to_string(v.get<long long>());
        return v.is_string() ? v.get<std::string>() : std::string();
    };
    auto usable = [](const nlohmann::json& v) {
        return v.is_boolean() || v.is_number_integer() || v.is_string();
    };
    const nlohmann::json* g = j.contains("gprs") && j["gprs"].is_object() ? &j["gprs"] : nullptr;
    if (g && g->contains("carrier_row") && (*g)["carrier_row"].is_number_integer())
        out.emplace_back("carrier_row", text((*g)["carrier_row"]));
    if (j.contains("bands") && j["bands"].is_array())
        for (size_t i = 0; i < j["bands"].size(); ++i) {
            const nlohmann::json& b = j["bands"][i];
            if (b.is_object() && b.contains("enabled") && b["enabled"].is_boolean())
                out.emplace_back("band." + std::to_string(i), text(b["enabled"]));
        }
    for (const char* k : {"radar_frequency_display", "twelve_hour_clock", "time_zone",
                          "daytime_start_hour", "nighttime_start_hour"})
        if (j.contains(k) && usable(j[k]))
            out.emplace_back(k, text(j[k]));
    if (g)
        for (const char* k : {"apn", "user", "password", "server", "port"})
            if (g->contains(k) && (*g)[k].is_string())
                out.emplace_back(k, text((*g)[k]));
    return out;
}

} // namespace

nlohmann::ordered_json config_settings_json(const ConfigView& v, int boot, int radar_type) {
    using json = nlohmann::ordered_json;
    json j;
    j["caption"] = utf8(v.caption);
    j["kind"] = v.kind;
    j["boot"] = boot;
    j["radar_type"] = radar_type;
    json bands = json::array();
    for (size_t i = 0; i < v.bands.size(); ++i)
        bands.push_back({{"key", "band." + std::to_string(i)},
                         {"id", v.bands[i].id},
                         {"text", v.bands[i].text},
                         {"enabled", v.bands[i].checked}});
    j["bands"] = bands;
    j["radar_frequency_display"] =
        v.freq_display_visible ? json(v.freq_display_checked) : json(nullptr);
    j["twelve_hour_clock"] = v.twelve_hour_present ? json(v.twelve_hour_checked) : json(nullptr);
    j["time_zone"] = v.time_zone_visible ? json(v.time_zone) : json(nullptr);
    j["daytime_start_hour"] = v.day_visible ? json(v.day_hour) : json(nullptr);
    j["nighttime_start_hour"] = v.night_visible ? json(v.night_hour) : json(nullptr);
    if (!v.gprs.present) {
        j["gprs"] = nullptr;
    } else {
        const GprsValues& g = v.gprs;
        j["gprs"] = {{"carrier_row", g.row == GPRS_UNIT_ROW ? json(nullptr) : json(g.row)},
                     {"carrier", utf8(gprs_selected_name(g))},
                     {"apn", utf8(g.apn)},
                     {"user", utf8(g.user)},
                     {"password", utf8(g.password)},
                     {"carrier_values_editable", g.row_editable},
                     {"unit_apn", utf8(g.unit_apn)},
                     {"server", utf8(g.server)},
                     {"port", utf8(g.port)},
                     {"server_port_editable", g.server_port_editable}};
    }
    return j;
}

std::string config_settings_json_text(const ConfigView& view, int boot, int radar_type) {
    nlohmann::ordered_json out = {{"ok", true}};
    out.update(config_settings_json(view, boot, radar_type));
    return out.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

ConfigSettingsFile config_settings_from_json_text(const std::string& text) {
    ConfigSettingsFile f;
    nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    if (!j.is_object() || !j.contains("kind") || !j["kind"].is_number_integer())
        return f;
    f.ok = 1;
    f.kind = j["kind"].get<int>();
    f.values = values_from_json(j);
    return f;
}

std::vector<std::string> config_apply_each(ConfigView& view, ConfigInput& input,
                                           const ConfigValues& values) {
    std::vector<std::string> refused;
    for (const auto& [key, value] : values) {
        std::string why = config_set_value(view, input, key, value);
        if (!why.empty())
            refused.push_back(why);
    }
    return refused;
}
