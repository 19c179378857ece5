#include "config/settings_json.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "config/config_keys.h"
#include "config/presets.h"
#include "support/platform.h"
#include "support/text.h"

namespace {

std::string utf8(const std::u16string& s) {
    return wtext_to_utf8(s.c_str());
}

// The band entries of a `settings --json` object, each applied to the band
// its "key" names (never by its place in the list, which another unit or
// an edited file may order otherwise). An entry without a band key, or
// with one that another entry also gives, is named and not applied.
void bands_from_json(const nlohmann::json& bands, ConfigValues* out,
                     std::vector<std::string>* wrong) {
    auto shown = [](const nlohmann::json& v) {
        return v.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    };
    std::map<int, int> given; // band number: entries naming it
    for (const nlohmann::json& b : bands)
        if (b.is_object() && b.contains("key") && b["key"].is_string())
            ++given[config_band_index(b["key"].get<std::string>())];
    for (size_t i = 0; i < bands.size(); ++i) {
        const nlohmann::json& b = bands[i];
        std::string entry = "bands[" + std::to_string(i) + "]";
        if (!b.is_object() || !b.contains("enabled") || !b.contains("key")) {
            wrong->push_back(entry + ": " + shown(b) +
                             " is not a band with \"key\" and \"enabled\"");
            continue;
        }
        const nlohmann::json& key = b["key"];
        int band = key.is_string() ? config_band_index(key.get<std::string>()) : -1;
        if (band < 0) {
            wrong->push_back(entry + ".key: " + shown(key) + " is not a band key (band.N)");
        } else if (given[band] > 1) {
            wrong->push_back(entry + ".key: " + shown(key) +
                             " is named by more than one entry, none of which is applied");
        } else if (b["enabled"].is_boolean()) {
            out->emplace_back("band." + std::to_string(band), b["enabled"].get<bool>() ? "1" : "0");
        } else if (!b["enabled"].is_null()) {
            wrong->push_back(entry + ".enabled: " + shown(b["enabled"]) + " is not true or false");
        }
    }
}

// The settings a `settings --json` object holds, by the names it prints,
// the carrier first as the dialog's list takes it; settings the unit it
// came from does not have (null) are left out. A value of a type that
// object never holds there is named in wrong, never guessed at.
ConfigValues values_from_json(const nlohmann::json& j, std::vector<std::string>* wrong) {
    ConfigValues out;
    auto text = [](const nlohmann::json& v) -> std::string {
        if (v.is_boolean())
            return v.get<bool>() ? "1" : "0";
        if (v.is_number_integer())
            return std::to_string(v.get<long long>());
        return v.is_string() ? v.get<std::string>() : std::string();
    };
    auto refuse = [&](const std::string& name, const nlohmann::json& v, const char* wanted) {
        wrong->push_back(name + ": " +
                         v.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
                         " is not " + wanted);
    };
    // true when the value is there to apply; null means "not on that unit".
    auto take = [&](const std::string& name, const nlohmann::json& v, bool ok, const char* wanted) {
        if (v.is_null())
            return false;
        if (!ok)
            refuse(name, v, wanted);
        return ok;
    };
    const nlohmann::json* g = nullptr;
    if (j.contains("gprs")) {
        if (j["gprs"].is_object())
            g = &j["gprs"];
        else if (!j["gprs"].is_null())
            refuse("gprs", j["gprs"], "an object");
    }
    if (g && g->contains("carrier_row") &&
        take("gprs.carrier_row", (*g)["carrier_row"], (*g)["carrier_row"].is_number_integer(),
             "a whole number"))
        out.emplace_back("carrier_row", text((*g)["carrier_row"]));
    if (j.contains("bands") && !j["bands"].is_null()) {
        if (!j["bands"].is_array())
            refuse("bands", j["bands"], "a list");
        else
            bands_from_json(j["bands"], &out, wrong);
    }
    for (const char* k : {"radar_frequency_display", "twelve_hour_clock"})
        if (j.contains(k) && take(k, j[k], j[k].is_boolean(), "true or false"))
            out.emplace_back(k, text(j[k]));
    for (const char* k : {"time_zone", "daytime_start_hour", "nighttime_start_hour"})
        if (j.contains(k) &&
            take(k, j[k], j[k].is_number_integer(), "a whole number"))
            out.emplace_back(k, text(j[k]));
    if (g)
        for (const char* k : {"apn", "user", "password", "server", "port"})
            if (g->contains(k) &&
                take(std::string("gprs.") + k, (*g)[k], (*g)[k].is_string(), "a text"))
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
    f.values = values_from_json(j, &f.wrong_type);
    return f;
}

std::vector<std::string> config_apply_each(ConfigView& view, ConfigInput& input,
                                           const ConfigValues& values,
                                           std::vector<std::string>* taken) {
    std::vector<std::string> refused;
    if (taken)
        taken->clear();
    for (const auto& [key, value] : values) {
        std::string why = config_set_value(view, input, key, value);
        if (!why.empty())
            refused.push_back(why);
        else if (taken)
            taken->push_back(key);
    }
    return refused;
}

int config_settings_read_file(const std::string& path, std::string* text, std::string* why,
                              std::string* used) {
    text->clear();
    why->clear();
    std::string file = path;
    struct stat st {};
    // A backup folder, as `trevik-cli backups` prints it, stands for its
    // settings.json.
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        file = path + "/settings.json";
        if (::stat(file.c_str(), &st) != 0) {
            *why = path + " is a folder without a settings.json (a backup of a unit whose "
                          "settings could not be shown holds none)";
            return 1;
        }
    }
    if (used)
        *used = file;
    // Not blocking on open: a FIFO without a writer must not hang the run.
    int fd = platform_open(file, PLATFORM_READ | PLATFORM_NO_WAIT);
    if (fd < 0) {
        *why = file + ": " + std::strerror(errno);
        return 1;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *why = file + " is not a regular file";
        return 2;
    }
    if (st.st_size > off_t(CONFIG_SETTINGS_FILE_MAX)) {
        ::close(fd);
        *why = file + " is too large for a settings.json (more than " +
               std::to_string(CONFIG_SETTINGS_FILE_MAX) + " bytes)";
        return 1;
    }
    // At most one byte past the limit is read, whatever the file grows to.
    std::string data(CONFIG_SETTINGS_FILE_MAX + 1, '\0');
    size_t got = 0;
    while (got < data.size()) {
        ssize_t n = ::read(fd, &data[got], data.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *why = file + ": " + std::strerror(errno);
            ::close(fd);
            return 1;
        }
        if (n == 0)
            break;
        got += size_t(n);
    }
    ::close(fd);
    if (got > CONFIG_SETTINGS_FILE_MAX) {
        *why = file + " is too large for a settings.json (more than " +
               std::to_string(CONFIG_SETTINGS_FILE_MAX) + " bytes)";
        return 1;
    }
    data.resize(got);
    *text = std::move(data);
    return 0;
}
