// Read-back check of a write plan: what every area the plan puts on the
// unit must hold after the run (the unit stores unscrambled bytes where the
// write asks it to unscramble), read back with the read command and
// compared, area by area.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common_t73/QV_WritePlan.h"

struct Package;
struct QV_Machine;

// How an area's bytes are judged.
enum class VerifyCheck {
    Bytes,          // exactly the expected bytes
    ParameterReset, // erased, or a record the unit made for the new program
};

struct VerifyArea {
    std::string name;
    uint32_t address = 0;
    int mode = 0;                  // the read's mode: the one the area was written with
    std::vector<uint8_t> expected; // whole pages, as the unit holds them
    VerifyCheck check = VerifyCheck::Bytes;
    // ParameterReset: the program version a record made after the reset
    // names. The unit writes its default record when it restarts, so a
    // record naming another version is the one from before the update. A
    // record of a kind that names no version cannot be told apart and
    // passes.
    uint32_t program_version = 0;
    // False when the run writes no main-setting block (an old-layout
    // program): the unit then takes the version its fresh record names from
    // nowhere the run wrote, and the device link reads the program's version
    // from that record, so any version passes.
    bool program_version_known = true;
};

// Whether a parameter sector the run reset shows the reset took: erased
// (the unit has not restarted since), a record of a kind that names no
// version, or a record naming program_version (any, when !version_known).
// Otherwise *first_difference (when given) is the offset in the sector of
// the first byte that tells. The run's own confirmation and the read-back
// judge the sector with this one rule.
bool verify_parameter_reset_took(const uint8_t* sector, uint32_t n, uint32_t program_version,
                                 bool version_known, uint32_t* first_difference);

// The areas of a completed plan with their expected bytes: voice, radar
// mute, update tool, GPS, the program's header page and image, boot, the
// main-setting block, the server data the run resets (erased), the
// parameter record the run resets and the client id, each when the plan
// writes or resets it. Empty for null arguments.
std::vector<VerifyArea> verify_plan_areas(const Package* pkg, const QV_WritePlan* plan,
                                          const QV_PlanActions* actions);

// The areas of a package that holds one program image only: its header
// page and image for the unit's board. Empty when no entry fits.
std::vector<VerifyArea> verify_program_only_areas(const QV_Machine* m, const Package* pkg);

// The plan an update run with this package would carry out on the unit as
// it is now (every request set, client id as the run decides). Returns the
// plan result (PLAN_OK when complete).
int verify_compute_plan(const QV_Machine* m, const Package* pkg, int province_mode,
                        QV_WritePlan* plan, QV_PlanActions* actions);

struct VerifyResult {
    std::string name;
    uint32_t address = 0;
    uint32_t length = 0;
    int ok = 0;
    int read_failed = 0;           // the unit did not answer the read
    int stopped = 0;               // the user stopped the read (the stop flag)
    uint32_t first_difference = 0; // address of the first byte that differs
};

// Reads every area back and compares it. Progress runs over the whole
// read as one count with the status text "Verify ". Each area is reported
// to on_area (may be null) as soon as it is checked.
std::vector<VerifyResult> verify_read_back(QV_Machine* m, const std::vector<VerifyArea>& areas,
                                           void (*on_area)(void* user, const VerifyResult& r),
                                           void* user);

// One line: name, address, length, then "ok", "differs at 0x…", "read
// failed" or "stopped".
std::string verify_line(const VerifyResult& r);

// Bytes the areas read back (their total length).
uint64_t verify_total_bytes(const std::vector<VerifyArea>& areas);
