// The write plan of one update run as one value: computed once from the
// unit and the loaded package, then read by everything that speaks of the
// run's areas (the plan text, the dry run, the confirmation, the read-back
// check and the history), so they all name an area the same way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common_t73/QV_WritePlan.h"

struct Package;
struct QV_Machine;

// The names of the unit's flash areas, one set for every output; they are
// the keys scripts match (dry run, verify, history).
inline constexpr const char* AREA_BOOT = "boot";
inline constexpr const char* AREA_PROGRAM_HEADER = "program_header";
inline constexpr const char* AREA_PROGRAM = "program";
inline constexpr const char* AREA_VOICE = "voice";
inline constexpr const char* AREA_RADAR_MUTE = "radar_mute";
inline constexpr const char* AREA_UPDATE_TOOL = "update_tool";
inline constexpr const char* AREA_GPS = "gps";
inline constexpr const char* AREA_MAIN_SETTING = "main_setting";
inline constexpr const char* AREA_SERVER_DATA = "server_data";
inline constexpr const char* AREA_PARAMETER_RESET = "parameter_reset";
inline constexpr const char* AREA_CLIENT_ID = "client_id";

// One area the run writes or resets.
struct PlanArea {
    const char* name = ""; // one of the AREA_ names
    uint32_t address = 0;
    uint32_t length = 0;
};

struct WritePlan {
    // PLAN_OK when the run may write; otherwise the check's result (a
    // program-only package whose image the unit cannot take gives
    // PLAN_NO_PROGRAM).
    int result = PLAN_NO_GPS;
    int program_only = 0;      // the package holds one program image and nothing else
    uint32_t program_size = 0; // program only: the image's size in bytes
    int province_mode = 0;
    // The full plan (not used for a program-only package). The data
    // pointers point into the package; write_plan_forget_data clears them
    // once it is gone.
    QV_WritePlan plan;
    QV_PlanActions actions;
    // In the order the run writes them: voice, radar_mute, update_tool,
    // gps, program, boot, main_setting, parameter_reset, client_id, each
    // when the plan writes or resets it; a program-only plan holds its
    // program (whole pages) alone. Empty when result is not PLAN_OK.
    std::vector<PlanArea> areas;
};

// The plan an update run with this package carries out on the unit as it
// is now: every request set, the client id written when the unit moves
// between layouts or its client id is no known customer's. Talks to no
// unit. result is PLAN_NO_GPS for null arguments.
WritePlan write_plan_compute(const QV_Machine* m, const Package* pkg, int province_mode);

// The area of that name, null when the plan has none.
const PlanArea* write_plan_find(const WritePlan& plan, const char* name);

// Clears the plan's pointers into the package (it is about to be freed).
void write_plan_forget_data(WritePlan* plan);

// The plan for people, one item per line (areas, addresses, lengths,
// whether it fits), as a dry run shows it. Empty for a null unit.
std::string write_plan_text(const QV_Machine* m, const WritePlan& plan);

// Bytes the run writes into data areas (whole pages), for the time
// estimate before it.
uint64_t write_plan_bytes(const WritePlan& plan);
