#include "config/config_run.h"

#include "config/records.h"

#include <cstring>

ConfigRunResult config_run_precheck(ConfigUnit& unit) {
    if (!unit.connected())
        return CONFIG_RUN_NO_HARDWARE;
    int kind = unit.kind();
    const uint8_t* ms = unit.main_setting();
    uint32_t required = ms ? rec_u32(ms + MS_OFF_REQUIRED_TOOL_VERSION) : 0;
    if (kind < 1)
        return CONFIG_RUN_NOT_INITIALISED;
    if (required > uint32_t(CONFIG_TOOL_VERSION))
        return CONFIG_RUN_UPGRADE_TOOL;
    if (unit.main_setting_state() == CONFIG_MAIN_SETTING_UNREAD)
        return CONFIG_RUN_READ_FAILED;
    if (kind > 2 && param_radar_type(unit.param(), kind) < 0)
        return CONFIG_RUN_RADAR_DECLINED;
    return CONFIG_RUN_SUCCESS;
}

ConfigRunResult config_run(ConfigUnit& unit, ConfigPrompter& prompter, const ConfigEditor& editor,
                           const volatile std::sig_atomic_t* stop, ConfigWrites* writes) {
    ConfigWrites done;
    if (!writes)
        writes = &done;
    *writes = ConfigWrites();
    auto stopped = [stop] { return stop && *stop; };
    ConfigRunResult check = config_run_precheck(unit);
    switch (check) {
    case CONFIG_RUN_NO_HARDWARE:
        prompter.message(CONFIG_NO_HARDWARE, "", CONFIG_ICON_ERROR);
        return check;
    case CONFIG_RUN_NOT_INITIALISED:
        prompter.message(CONFIG_NOT_INITIALISED, "", CONFIG_ICON_ERROR);
        return check;
    case CONFIG_RUN_UPGRADE_TOOL:
        prompter.message(CONFIG_UPGRADE_TOOL, "", CONFIG_ICON_ERROR);
        return check;
    case CONFIG_RUN_READ_FAILED:
        prompter.message(CONFIG_FAILED, CONFIG_CAPTION, CONFIG_ICON_ERROR);
        return check;
    case CONFIG_RUN_RADAR_DECLINED:
        if (!prompter.ask_yes_no(CONFIG_RADAR_QUESTION, CONFIG_CAPTION))
            return check;
        break;
    default:
        break;
    }

    uint8_t param[PARAM_RECORD_SIZE];
    uint8_t ss[SERVER_SETTINGS_RECORD_SIZE];
    uint8_t ms[MAIN_SETTING_RECORD_SIZE];
    std::memcpy(param, unit.param(), sizeof param);
    std::memcpy(ss, unit.server_settings(), sizeof ss);
    std::memcpy(ms, unit.main_setting(), sizeof ms);
    const std::u16string client = unit.client_id();
    const int kind = unit.kind();
    const int ms_state = unit.main_setting_state();

    ConfigEditArgs args;
    args.title_prefix = u"Setting";
    args.boot_version = unit.boot_version();
    args.kind = unit.kind();
    args.main_setting = ms;
    args.param = param;
    args.server_settings = ss;
    if (!editor || editor(args) != 1)
        return CONFIG_RUN_CANCELLED;
    if (!unit.connected())
        return CONFIG_RUN_UNIT_GONE;
    // The copies belong to the unit the editor was opened for; a unit
    // swapped in meanwhile must not get them.
    bool same = unit.reread();
    if (stopped())
        return CONFIG_RUN_STOPPED;
    if (!unit.connected())
        return CONFIG_RUN_UNIT_GONE;
    same = same && unit.client_id() == client && unit.kind() == kind &&
           unit.main_setting_state() == ms_state &&
           std::memcmp(unit.main_setting(), ms, sizeof ms) == 0;
    if (!same) {
        prompter.message(CONFIG_FAILED, CONFIG_CAPTION, CONFIG_ICON_ERROR);
        return CONFIG_RUN_UNIT_CHANGED;
    }

    writes->block_due = ms_state == CONFIG_MAIN_SETTING_VALID;
    writes->param = unit.write_param(param) ? 1 : 0;
    // A unit without a main-setting block keeps other data in its place.
    // A stop asked for meanwhile ends the run here, between whole records.
    if (writes->block_due && !stopped())
        writes->block = unit.write_main_setting(ms, ss) ? 1 : 0;
    bool all = writes->param == 1 && (!writes->block_due || writes->block == 1);
    // Re-read even after a failure so the window shows what the unit holds.
    unit.reread_and_finish();
    if (all) {
        prompter.message(CONFIG_SUCCESS, CONFIG_CAPTION, CONFIG_ICON_INFORMATION);
        return CONFIG_RUN_SUCCESS;
    }
    if (stopped())
        return CONFIG_RUN_STOPPED;
    prompter.message(CONFIG_FAILED, CONFIG_CAPTION, CONFIG_ICON_ERROR);
    return CONFIG_RUN_WRITE_FAILED;
}
