#include "update/write_plan.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common_t73/QV_Machine.h"
#include "config/records.h"
#include "package/package.h"
#include "update/update_run.h"

namespace {

uint32_t whole_pages(uint32_t n) {
    return uint32_t((uint64_t(n) + FLASH_PAGE_SIZE - 1) / FLASH_PAGE_SIZE * FLASH_PAGE_SIZE);
}

void add_line(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void add_line(std::string& out, const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    out += line;
    out += '\n';
}

void add_area(std::string& out, const char* name, int wanted, uint32_t address, uint32_t length) {
    if (!wanted || length == 0)
        add_line(out, "%-12s -", name);
    else
        add_line(out, "%-12s address 0x%06X length %u", name, address, length);
}

void add(std::vector<PlanArea>* list, const char* name, uint32_t address, uint32_t length) {
    list->push_back(PlanArea{name, address, length});
}

// The areas of a complete plan, in the order the run writes them.
std::vector<PlanArea> full_areas(const QV_WritePlan& p, const QV_PlanActions& a) {
    std::vector<PlanArea> list;
    if (p.voice_length)
        add(&list, AREA_VOICE, p.voice_address, p.voice_length);
    if (p.radar_mute_length)
        add(&list, AREA_RADAR_MUTE, p.radar_mute_address, p.radar_mute_length);
    if (p.update_tool_length)
        add(&list, AREA_UPDATE_TOOL, p.update_tool_address, p.update_tool_length);
    if (p.gps_length)
        add(&list, AREA_GPS, p.gps_address, p.gps_length);
    if (p.write_program && p.program_length)
        add(&list, AREA_PROGRAM, FLASH_PROGRAM_ADDRESS, p.program_length);
    if (p.write_boot && p.boot_length)
        add(&list, AREA_BOOT, FLASH_BOOT_ADDRESS, p.boot_length);
    if (a.write_main_setting)
        add(&list, AREA_MAIN_SETTING, a.main_setting_address, MAIN_SETTING_BLOCK_SIZE);
    if (p.reset_parameters)
        add(&list, AREA_PARAMETER_RESET, p.layout502 ? FLASH_PARAM_ADDRESS_502 : FLASH_PARAM_ADDRESS,
            FLASH_SECTOR_SIZE);
    if (p.write_client_id)
        add(&list, AREA_CLIENT_ID, p.layout502 ? FLASH_IDENTITY_ADDRESS_502 : FLASH_IDENTITY_ADDRESS,
            FLASH_SECTOR_SIZE);
    return list;
}

} // namespace

WritePlan write_plan_compute(const QV_Machine* m, const Package* pkg, int province_mode) {
    WritePlan wp;
    wp.province_mode = province_mode;
    if (!m || !pkg)
        return wp;
    if (update_is_program_only(pkg)) {
        // A program alone goes in with its own header page; the unit keeps
        // its layout, so its own parameter record bounds the image.
        wp.program_only = 1;
        wp.result = PLAN_NO_PROGRAM;
        const ProgramImage* entry =
            QV_Machine_findProgramEntry(pkg, m->main_setting + MS_OFF_BOARD_NAME);
        if (entry && entry->data && entry->size) {
            wp.program_size = entry->size;
            add(&wp.areas, AREA_PROGRAM, FLASH_PROGRAM_ADDRESS, whole_pages(entry->size));
            if (QV_WritePlan_programFits(entry->size, m->layout502))
                wp.result = PLAN_OK;
        }
        return wp;
    }
    QV_WritePlan& plan = wp.plan;
    plan.write_boot = plan.write_program = plan.write_voice = plan.write_radar_mute = 1;
    plan.write_gps = plan.write_update_tool = plan.reset_parameters = 1;
    plan.province_mode = province_mode;
    wp.result = QV_WritePlan_compute(m, pkg, &plan, &wp.actions);
    if (wp.result != PLAN_OK)
        return wp;
    // A unit moving between layouts, or one whose client id is no known
    // customer's, gets the package's client id.
    plan.write_client_id =
        (m->layout502 != plan.layout502 || !update_unit_has_known_client(m)) ? 1 : 0;
    wp.areas = full_areas(plan, wp.actions);
    return wp;
}

const PlanArea* write_plan_find(const WritePlan& plan, const char* name) {
    for (const PlanArea& a : plan.areas)
        if (std::strcmp(a.name, name) == 0)
            return &a;
    return nullptr;
}

void write_plan_forget_data(WritePlan* wp) {
    QV_WritePlan& p = wp->plan;
    p.boot_data = p.program_data = p.voice_data = p.radar_mute_data = nullptr;
    p.update_tool_data = p.gps_data = nullptr;
}

std::string write_plan_text(const QV_Machine* m, const WritePlan& wp) {
    std::string out;
    if (!m)
        return out;
    if (wp.program_only) {
        if (wp.result == PLAN_OK)
            add_line(out,
                     "program only: app flag at 0x%X, 12 bytes\nprogram only: app at 0x%X, %u bytes",
                     FLASH_PROGRAM_HEADER_ADDRESS, FLASH_PROGRAM_ADDRESS, wp.program_size);
        return out;
    }
    const QV_WritePlan* plan = &wp.plan;
    const QV_PlanActions* a = &wp.actions;
    add_line(out, "layout502    %d", plan->layout502);
    add_line(out, "variants     B=%d C=%d D=%d", plan->variant_b, plan->variant_c, plan->variant_d);
    add_line(out, "program      %s", a->program_changed ? "changed" : "unchanged");
    add_line(out, "data         %s", a->data_changed ? "changed" : "unchanged");
    add_area(out, AREA_VOICE, 1, plan->voice_address, plan->voice_length);
    add_area(out, AREA_RADAR_MUTE, 1, plan->radar_mute_address, plan->radar_mute_length);
    add_area(out, AREA_UPDATE_TOOL, 1, plan->update_tool_address, plan->update_tool_length);
    add_area(out, AREA_GPS, 1, plan->gps_address, plan->gps_length);
    add_area(out, AREA_PROGRAM, plan->write_program, FLASH_PROGRAM_ADDRESS, plan->program_length);
    add_area(out, AREA_BOOT, plan->write_boot, FLASH_BOOT_ADDRESS, plan->boot_length);
    add_line(out, "%-12s %s", AREA_PARAMETER_RESET, plan->reset_parameters ? "yes" : "no");
    if (a->legacy)
        add_line(out, "%-12s none (old layout)", AREA_MAIN_SETTING);
    else if (a->write_main_setting)
        add_line(out, "%-12s address 0x%06X", AREA_MAIN_SETTING, a->main_setting_address);
    else
        add_line(out, "%-12s unchanged", AREA_MAIN_SETTING);
    if (a->server_size)
        add_line(out, "erase %s address 0x%06X length %u", AREA_SERVER_DATA, a->server_address,
                 a->server_size);
    if (a->track_size)
        add_line(out, "erase track  address 0x%06X length %u", a->track_address, a->track_size);
    if (a->layout_end)
        add_line(out, "layout end   0x%06" PRIX64 " of flash 0x%06X", a->layout_end, m->flash_size);
    if (a->result == PLAN_TOO_LARGE)
        add_line(out, "fits         no (required size 0x%X)", plan->required_size);
    else if (a->result == PLAN_OK)
        add_line(out, "fits         yes");
    else if (a->result == PLAN_NO_VOICE)
        add_line(out, "fits         no voice data for the unit");
    else if (a->result == PLAN_NO_PROGRAM)
        add_line(out, "fits         no program image the unit can take");
    else
        add_line(out, "fits         no gps data for the unit");
    if (wp.result == PLAN_OK) {
        const PlanArea* id = write_plan_find(wp, AREA_CLIENT_ID);
        if (id)
            add_line(out, "%-12s address 0x%06X length %u", AREA_CLIENT_ID, id->address,
                     id->length);
        else
            add_line(out, "%-12s -", AREA_CLIENT_ID);
    }
    return out;
}

uint64_t write_plan_bytes(const WritePlan& wp) {
    // The program's header page goes with its image.
    if (wp.program_only || wp.result != PLAN_OK)
        return FLASH_PAGE_SIZE + uint64_t(whole_pages(wp.program_only ? wp.program_size : 0));
    const QV_WritePlan& p = wp.plan;
    return uint64_t(whole_pages(p.voice_length)) + whole_pages(p.radar_mute_length) +
           whole_pages(p.update_tool_length) + whole_pages(p.gps_length) +
           whole_pages(p.boot_length) +
           (p.write_program ? FLASH_PAGE_SIZE + uint64_t(whole_pages(p.program_length)) : 0);
}
