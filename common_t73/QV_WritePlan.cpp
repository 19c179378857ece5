#include "common_t73/QV_WritePlan.h"

#include <cstring>

#include "common_t73/QV_Machine_internal.h"

namespace {

const char* const SOURCE = QV_LOG_SOURCE;

// Sizes rounded up to whole sectors, in 64 bits so a huge length cannot
// wrap around and look small.
uint64_t round_sector(uint64_t n) {
    return (n + FLASH_SECTOR_SIZE - 1) / FLASH_SECTOR_SIZE * FLASH_SECTOR_SIZE;
}

int voice_section(const QV_WritePlan* plan) {
    if (plan->variant_c)
        return plan->variant_b ? 12 : 11;
    if (plan->province_mode)
        return plan->variant_b ? 10 : 9;
    return plan->variant_b ? 7 : 4;
}

int gps_section(const QV_WritePlan* plan) {
    if (plan->province_mode)
        return SECTION_MERGED_GPS;
    return plan->variant_d ? 13 : 5;
}

// The old layout keeps each data area in a region of fixed place and size.
// Returns the end of the first area that runs past its region or past the
// unit's flash, 0 when all fit.
uint64_t legacy_overflow(const QV_Machine* m, const QV_WritePlan* plan) {
    const struct {
        uint64_t address, length, region;
    } areas[] = {
        {OLD_RADAR_MUTE_ADDRESS, plan->radar_mute_length, OLD_RADAR_MUTE_SIZE},
        {OLD_VOICE_ADDRESS, plan->voice_length, OLD_VOICE_SIZE},
        {OLD_GPS_ADDRESS, plan->gps_length, OLD_GPS_SIZE},
    };
    for (const auto& area : areas) {
        uint64_t end = area.address + area.length;
        if (area.length != 0 && (area.length > area.region || end > m->flash_size))
            return end;
    }
    return 0;
}

} // namespace

int QV_WritePlan_programFits(uint32_t length, int layout502) {
    uint64_t limit = layout502 ? FLASH_PARAM_ADDRESS_502 : FLASH_PARAM_ADDRESS;
    return length != 0 && uint64_t(FLASH_PROGRAM_ADDRESS) + length <= limit ? 1 : 0;
}

int QV_WritePlan_compute(const QV_Machine* m, const Package* pkg, QV_WritePlan* plan,
                         QV_PlanActions* actions) {
    if (!m || !pkg || !plan || !actions)
        return PLAN_NO_GPS;
    QV_PlanActions& a = *actions;
    a = QV_PlanActions{};
    uint8_t* ms = a.main_setting;

    // Start from the unit as it is.
    std::memcpy(ms, m->main_setting, sizeof a.main_setting);
    std::memset(a.server_settings, 0, sizeof a.server_settings);
    plan->variant_b = ms[MS_OFF_VOICE_VARIANT] != 0;
    plan->layout502 = m->layout502;
    plan->variant_c = ms[MS_OFF_VOICE2_VARIANT] != 0;
    plan->variant_d = ms[MS_OFF_GPS_VARIANT] != 0;
    uint32_t server_size = rec_u32(ms + MS_OFF_SERVER_DATA_SIZE);
    uint32_t track_size = rec_u32(ms + MS_OFF_TRACK_SIZE);
    int track_changed = 0;
    rec_set_u32(ms + MS_OFF_FLASH_SIZE, m->flash_size);
    rec_set_u32(ms + MS_OFF_MAGIC, RECORD_MAGIC);

    // Boot.
    if (plan->write_boot) {
        QV_Section boot = qv_section(pkg, 1);
        plan->boot_data = boot.data;
        plan->boot_length = boot.size;
    } else {
        plan->boot_data = nullptr;
        plan->boot_length = 0;
    }

    // Program.
    if (plan->write_program) {
        static const uint8_t zero_key[4] = {};
        const uint8_t* key = std::memcmp(plan->program_key, zero_key, 4) != 0
                                 ? plan->program_key
                                 : m->main_setting + MS_OFF_BOARD_NAME;
        const ProgramImage* image = QV_Machine_findProgramEntry(pkg, key);
        if (image) {
            QV_Entry e = qv_entry(image);
            a.legacy = e.legacy != 0;
            plan->variant_b = e.variant_b;
            plan->layout502 = e.layout502;
            plan->variant_c = e.variant_c;
            plan->variant_d = e.variant_d;
            server_size = e.server_size;
            if (e.track_size != track_size) {
                track_size = e.track_size;
                track_changed = 1;
            }
            if (e.server_reset)
                rec_set_u32(a.server_settings + SS_OFF_MAGIC, RECORD_MAGIC);
            rec_set_u32(ms + MS_OFF_VERSION, 0);
            std::memcpy(ms + MS_OFF_BOARD_NAME, e.board_id, MS_BOARD_NAME_SIZE);
            rec_set_u32(ms + MS_OFF_PROGRAM_VERSION, e.version);
            ms[MS_OFF_RESERVED_12] = 0;
            rec_set_u32(ms + MS_OFF_REQUIRED_TOOL_VERSION, 0);
            ms[MS_OFF_OPTION_FLAG] = 0;
            if (qv_section(pkg, 6).size != 0)
                ms[MS_OFF_UPDATE_TOOL_PRESENT] = 1;
            ms[MS_OFF_VOICE_VARIANT] = uint8_t(e.variant_b);
            ms[MS_OFF_RESERVED_20] = 0;
            ms[MS_OFF_GPS_VARIANT] = plan->variant_d != 0;
            ms[MS_OFF_VOICE2_VARIANT] = plan->variant_c != 0;
            plan->program_data = e.data;
            plan->program_length = e.size;
            a.program_changed = 1;
        } else {
            plan->write_program = 0;
            plan->write_boot = 0;
            plan->reset_parameters = 0;
        }
    }
    if (!plan->write_program) {
        plan->program_data = nullptr;
        plan->program_length = 0;
        plan->reset_parameters = 0;
    }

    // Voice.
    if (plan->write_voice) {
        QV_Section voice = qv_section(pkg, voice_section(plan));
        plan->voice_data = voice.data;
        plan->voice_length = voice.size;
        if (voice.size == 0)
            return a.result = PLAN_NO_VOICE;
        a.data_changed = 1;
    } else {
        plan->voice_data = nullptr;
        plan->voice_length = 0;
        plan->write_client_id = 0;
        a.data_changed = track_changed;
    }

    // Radar mute (an empty section is allowed).
    if (plan->write_radar_mute) {
        QV_Section mute = qv_section(pkg, 3);
        plan->radar_mute_data = mute.data;
        plan->radar_mute_length = mute.size;
        a.data_changed = 1;
    } else {
        plan->radar_mute_data = nullptr;
        plan->radar_mute_length = 0;
    }

    // GPS.
    if (plan->write_gps) {
        QV_Section gps = qv_section(pkg, gps_section(plan));
        plan->gps_data = gps.data;
        plan->gps_length = gps.size;
        if (gps.size == 0)
            return a.result = PLAN_NO_GPS;
        a.data_changed = 1;
    } else {
        plan->gps_data = nullptr;
        plan->gps_length = 0;
    }

    // Update tool.
    if (plan->write_update_tool) {
        QV_Section tool = qv_section(pkg, 6);
        plan->update_tool_data = tool.data;
        plan->update_tool_length = tool.size;
        a.data_changed = 1;
    } else {
        plan->update_tool_data = nullptr;
        plan->update_tool_length = 0;
    }

    if (!a.program_changed && !a.data_changed)
        return PLAN_OK;

    if (a.legacy) {
        // Old-layout program: its data lies at fixed places and it keeps no
        // main-setting block.
        plan->update_tool_data = nullptr;
        plan->update_tool_length = 0;
        plan->voice_address = OLD_VOICE_ADDRESS;
        plan->radar_mute_address = OLD_RADAR_MUTE_ADDRESS;
        plan->update_tool_address = 0;
        plan->gps_address = OLD_GPS_ADDRESS;
        uint64_t end = legacy_overflow(m, plan);
        if (end != 0) {
            a.layout_end = end;
            plan->required_size = end > UINT32_MAX ? UINT32_MAX : uint32_t(end);
            return a.result = PLAN_TOO_LARGE;
        }
        if (plan->write_program && !QV_WritePlan_programFits(plan->program_length, plan->layout502))
            return a.result = PLAN_NO_PROGRAM;
        return PLAN_OK;
    }

    if (a.data_changed) {
        uint64_t base = plan->layout502 ? FLASH_DATA_BASE_502 : FLASH_DATA_BASE;
        uint64_t leading = round_sector(plan->leading_region_size);
        uint64_t server_addr = base + leading;
        uint64_t server_sz = round_sector(server_size);
        uint64_t voice_addr = server_addr + server_sz;
        uint64_t voice_sz = round_sector(plan->voice_length);
        uint64_t mute_addr = voice_addr + voice_sz;
        uint64_t mute_sz = round_sector(plan->radar_mute_length);
        uint64_t gps_addr = mute_addr + mute_sz;
        uint64_t gps_sz = round_sector(plan->gps_length);
        uint64_t tool_addr = gps_addr + gps_sz;
        uint64_t tool_sz = round_sector(plan->update_tool_length);
        uint64_t track_addr = tool_addr + tool_sz;
        uint64_t end = track_addr + track_size;
        a.layout_end = end;
        if (end > m->flash_size) {
            plan->required_size = end > UINT32_MAX ? UINT32_MAX : uint32_t(end);
            return a.result = PLAN_TOO_LARGE;
        }
        // Everything now lies below the flash size, so fits in 32 bits.
        rec_set_u32(ms + MS_OFF_DATA_BASE, uint32_t(base));
        rec_set_u32(ms + MS_OFF_LEADING_SIZE, uint32_t(leading));
        rec_set_u32(ms + MS_OFF_SERVER_DATA_ADDR, uint32_t(server_addr));
        rec_set_u32(ms + MS_OFF_SERVER_DATA_SIZE, uint32_t(server_sz));
        rec_set_u32(ms + MS_OFF_VOICE_ADDR, uint32_t(voice_addr));
        rec_set_u32(ms + MS_OFF_VOICE_SIZE, uint32_t(voice_sz));
        rec_set_u32(ms + MS_OFF_RADAR_MUTE_ADDR, uint32_t(mute_addr));
        rec_set_u32(ms + MS_OFF_RADAR_MUTE_SIZE, uint32_t(mute_sz));
        rec_set_u32(ms + MS_OFF_GPS_ADDR, uint32_t(gps_addr));
        rec_set_u32(ms + MS_OFF_GPS_SIZE, uint32_t(gps_sz));
        rec_set_u32(ms + MS_OFF_UPDATE_TOOL_ADDR, uint32_t(tool_addr));
        rec_set_u32(ms + MS_OFF_UPDATE_TOOL_SIZE, uint32_t(tool_sz));
        if (tool_sz != 0)
            ms[MS_OFF_UPDATE_TOOL_PRESENT] = 1;
        rec_set_u32(ms + MS_OFF_TRACK_ADDR, uint32_t(track_addr));
        rec_set_u32(ms + MS_OFF_TRACK_SIZE, track_size);
        rec_set_u32(ms + MS_OFF_LAYOUT_END, uint32_t(end));
    }

    // The program goes in after the data: one that cannot be installed
    // must stop the run before the main setting and the data are touched.
    if (plan->write_program && !QV_WritePlan_programFits(plan->program_length, plan->layout502))
        return a.result = PLAN_NO_PROGRAM;

    a.blank_normal_block = plan->layout502 != 0;
    a.write_main_setting = 1;
    a.main_setting_address =
        plan->layout502 ? FLASH_MAIN_SETTING_ADDRESS_502 : FLASH_MAIN_SETTING_ADDRESS;
    if (rec_u32(a.server_settings + SS_OFF_MAGIC) != RECORD_MAGIC)
        std::memcpy(a.server_settings, m->server_settings, sizeof a.server_settings);

    // The region fields of the new record (laid out above, or the unit's own
    // when only the program changed) say what is erased and where data goes.
    a.server_address = rec_u32(ms + MS_OFF_SERVER_DATA_ADDR);
    a.server_size = rec_u32(ms + MS_OFF_SERVER_DATA_SIZE);
    a.track_address = rec_u32(ms + MS_OFF_TRACK_ADDR);
    a.track_size = rec_u32(ms + MS_OFF_TRACK_SIZE);
    plan->voice_address = rec_u32(ms + MS_OFF_VOICE_ADDR);
    plan->radar_mute_address = rec_u32(ms + MS_OFF_RADAR_MUTE_ADDR);
    plan->update_tool_address = rec_u32(ms + MS_OFF_UPDATE_TOOL_ADDR);
    plan->gps_address = rec_u32(ms + MS_OFF_GPS_ADDR);
    return PLAN_OK;
}

int QV_Machine_checkParamAndMainSetting(QV_Machine* m, const Package* pkg, QV_WritePlan* plan) {
    if (!m || !pkg || !plan)
        return PLAN_NO_GPS;
    QV_PlanActions a;
    int result = QV_WritePlan_compute(m, pkg, plan, &a);
    return QV_Machine_carryOutPlan(m, plan, &a, result);
}

int QV_Machine_carryOutPlan(QV_Machine* m, const QV_WritePlan* plan, const QV_PlanActions* actions,
                            int result) {
    static const char* const FN = "QV_Machine_checkParamAndMainSetting";
    if (!m || !plan || !actions)
        return PLAN_NO_GPS;
    if (result == PLAN_NO_VOICE || result == PLAN_NO_GPS)
        return result;
    const QV_PlanActions& a = *actions;
    log_info(SOURCE, __LINE__, FN, "502=%d, bProgramChanged=%d, bDataChanged=%d", plan->layout502,
             a.program_changed, a.data_changed);
    if (result != PLAN_OK)
        return result;
    if (!a.program_changed && !a.data_changed)
        return PLAN_OK;
    if (a.legacy) {
        QV_Cmd_erase(m->channel, FLASH_MAIN_SETTING_ADDRESS, FLASH_SECTOR_SIZE);
        QV_Cmd_erase(m->channel, FLASH_MAIN_SETTING_ADDRESS_502, FLASH_SECTOR_SIZE);
        return PLAN_OK;
    }
    if (a.blank_normal_block) {
        uint8_t blank[FLASH_PAGE_SIZE];
        std::memset(blank, 0xFF, sizeof blank);
        QV_Machine_writeBlock(m, FLASH_MAIN_SETTING_ADDRESS, blank, sizeof blank, 0, 0);
    }
    log_info(SOURCE, __LINE__, FN, "write main setting[0x%X]", a.main_setting_address);
    if (!QV_Machine_writeMainSetting(m, a.main_setting, a.server_settings, plan->layout502))
        return PLAN_SETTING_FAILED;
    if (a.server_size != 0) {
        log_info(SOURCE, __LINE__, FN, "reset server data[0x%X][0x%X]", a.server_address,
                 a.server_size);
        QV_Cmd_erase(m->channel, a.server_address, a.server_size);
    }
    if (a.track_size != 0) {
        log_info(SOURCE, __LINE__, FN, "reset track data[0x%X][0x%X]", a.track_address,
                 a.track_size);
        QV_Cmd_erase(m->channel, a.track_address, a.track_size);
    }
    return PLAN_OK;
}
