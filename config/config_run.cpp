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
    if (kind > 2 && param_radar_type(unit.param(), kind) < 0)
        return CONFIG_RUN_RADAR_DECLINED;
    return CONFIG_RUN_SUCCESS;
}

ConfigRunResult config_run(ConfigUnit& unit, ConfigPrompter& prompter, const ConfigEditor& editor) {
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

    int param_ok = unit.write_param(param);
    int block_ok = unit.write_main_setting(ms, ss);
    // Re-read even after a failure so the window shows what the unit holds.
    unit.reread_and_finish();
    if (param_ok && block_ok) {
        prompter.message(CONFIG_SUCCESS, CONFIG_CAPTION, CONFIG_ICON_INFORMATION);
        return CONFIG_RUN_SUCCESS;
    }
    prompter.message(CONFIG_FAILED, CONFIG_CAPTION, CONFIG_ICON_ERROR);
    return CONFIG_RUN_WRITE_FAILED;
}
