#include "config/settings_json.h"

#include "config/presets.h"
#include "support/text.h"

namespace {

std::string utf8(const std::u16string& s) {
    return wtext_to_utf8(s.c_str());
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
        j["gprs"] = {
            {"carrier_row", g.row == GPRS_UNIT_ROW ? json(nullptr) : json(g.row)},
            {"carrier", utf8(gprs_selected_name(g))},
            {"apn", utf8(g.apn)},           {"user", utf8(g.user)},
            {"password", utf8(g.password)}, {"carrier_values_editable", g.row_editable},
            {"unit_apn", utf8(g.unit_apn)}, {"server", utf8(g.server)},
            {"port", utf8(g.port)},         {"server_port_editable", g.server_port_editable}};
    }
    return j;
}

std::string config_settings_json_text(const ConfigView& view, int boot, int radar_type) {
    nlohmann::ordered_json out = {{"ok", true}};
    out.update(config_settings_json(view, boot, radar_type));
    return out.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}
