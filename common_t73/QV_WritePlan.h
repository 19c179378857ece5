// The write plan of one update run: what the run asks to write, and the
// flash layout the check completes it with (program entry, voice and GPS
// variants, region addresses against the unit's flash size, the new
// main-setting record).
//
// The layout is computed by a pure function (QV_WritePlan_compute) that
// talks to no unit, so a dry run shows exactly what a real run would do;
// QV_Machine_checkParamAndMainSetting computes the same plan and then
// carries out its writes and erases. The names and text of a plan for people
// live with the update run (update/write_plan.h).
#pragma once

#include <cstdint>
#include <string>

#include "common_t73/QV_Machine.h"

struct QV_WritePlan {
    // Requests (set by the update run; some cleared by the check).
    int write_boot = 0;
    int write_program = 0;
    int write_voice = 0;
    int write_radar_mute = 0;
    int write_gps = 0;
    int write_update_tool = 0;
    int reset_parameters = 0;
    int write_client_id = 0;
    uint8_t program_key[4] = {}; // board id to install; all zero = the unit's board name
    int province_mode = 0;
    uint32_t leading_region_size = 0;
    // Completed by the check.
    int layout502 = 0;
    int variant_b = 0;
    int variant_c = 0;
    int variant_d = 0;
    const uint8_t* boot_data = nullptr;
    uint32_t boot_length = 0;
    const uint8_t* program_data = nullptr;
    uint32_t program_length = 0;
    uint32_t voice_address = 0;
    const uint8_t* voice_data = nullptr;
    uint32_t voice_length = 0;
    uint32_t radar_mute_address = 0;
    const uint8_t* radar_mute_data = nullptr;
    uint32_t radar_mute_length = 0;
    uint32_t update_tool_address = 0;
    const uint8_t* update_tool_data = nullptr;
    uint32_t update_tool_length = 0;
    uint32_t gps_address = 0;
    const uint8_t* gps_data = nullptr;
    uint32_t gps_length = 0;
    uint32_t required_size = 0; // layout end when it does not fit (result 1)
};

// Results of the check.
inline constexpr int PLAN_OK = 0;
inline constexpr int PLAN_TOO_LARGE = 1;      // layout ends beyond the flash; required_size set
inline constexpr int PLAN_NO_VOICE = 2;       // the chosen voice section is absent
inline constexpr int PLAN_NO_GPS = 3;         // the chosen GPS section is absent
inline constexpr int PLAN_SETTING_FAILED = 4; // the main-setting block could not be written
// The program entry for the unit has no image that can be installed: it is
// absent or empty (also when the package could not hold it), or it would
// run into the parameter record. The run shows the program write's status.
inline constexpr int PLAN_NO_PROGRAM = 5;

// The status QV_Machine_write gives for a failed program write; a run the
// check refuses with PLAN_NO_PROGRAM shows it too.
inline constexpr int WRITE_PROGRAM_FAILED = -3;

// What the check will do to the unit besides the plan's area writes.
struct QV_PlanActions {
    int result = PLAN_OK; // 0..3 and 5: found before anything is written
    int program_changed = 0;
    int data_changed = 0;
    int legacy = 0; // legacy entry: two sector erases, fixed addresses, no block written
    // Main-setting block: blank the normal-layout block first (layout 502),
    // then write the new records at main_setting_address.
    int write_main_setting = 0;
    int blank_normal_block = 0;
    uint32_t main_setting_address = 0;
    uint8_t main_setting[MACHINE_MAIN_SETTING_SIZE] = {};
    // The server-settings record the block carries: a blank valid one when
    // the program asks for it, else the unit's current one.
    uint8_t server_settings[MACHINE_SERVER_SETTINGS_SIZE] = {};
    // Regions erased after the block is written (size 0 = no erase).
    uint32_t server_address = 0;
    uint32_t server_size = 0;
    uint32_t track_address = 0;
    uint32_t track_size = 0;
    uint64_t layout_end = 0; // end of the computed layout (0 when not laid out)
};

// Whether a program image of length bytes can be installed on a unit of
// the given layout: not empty, and ending at or before the parameter
// record, which the run resets after the program is written.
int QV_WritePlan_programFits(uint32_t length, int layout502);

// Completes plan for the unit described by m and the package, and fills
// actions with the block writes and erases that go with it. Talks to no
// unit and logs nothing. Returns PLAN_OK, PLAN_TOO_LARGE, PLAN_NO_VOICE,
// PLAN_NO_GPS or PLAN_NO_PROGRAM; PLAN_NO_GPS also for a null argument.
// Everything that would make the run fail without the unit having a say
// is found here: a result other than PLAN_OK means nothing may be written.
int QV_WritePlan_compute(const QV_Machine* m, const Package* pkg, QV_WritePlan* plan,
                         QV_PlanActions* actions);

// Completes the plan and rewrites the unit's main setting as it requires
// (erasing the server-data and track regions). Returns the result codes
// above; all but PLAN_SETTING_FAILED are found before anything is written.
int QV_Machine_checkParamAndMainSetting(QV_Machine* m, const Package* pkg, QV_WritePlan* plan);

// The second half of that: carries out the main-setting rewrite and the
// erases of a plan already computed by QV_WritePlan_compute (result is what
// it returned), so a run that computed its plan once writes exactly that
// plan. Returns result, or PLAN_SETTING_FAILED when the block could not be
// written; PLAN_NO_GPS for a null argument.
int QV_Machine_carryOutPlan(QV_Machine* m, const QV_WritePlan* plan, const QV_PlanActions* actions,
                            int result);
