#include "update/read_after.h"

#include "common_t73/QV_Machine.h"
#include "update/update_history.h"

bool run_end_read_whole(const nlohmann::json& before, const QV_WritePlan& plan,
                        const QV_Machine* m) {
    if (!m)
        return false;
    nlohmann::json after = history_unit_state(m);
    auto told = [](const nlohmann::json& j, const char* key) {
        return j.is_object() && j.contains(key) && j[key].is_string() &&
               !j[key].get<std::string>().empty();
    };
    if (told(before, "client_id") && !told(after, "client_id"))
        return false;
    struct Area {
        const char* date;
        uint32_t written;
    };
    for (const Area& a : {Area{"voice_date", plan.voice_length},
                          Area{"radar_mute_date", plan.radar_mute_length},
                          Area{"gps_date", plan.gps_length}})
        if ((told(before, a.date) || a.written) && !told(after, a.date))
            return false;
    return true;
}
