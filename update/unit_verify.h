// Read-back check of a write plan: what every area the plan puts on the
// unit must hold after the run (the unit stores unscrambled bytes where the
// write asks it to unscramble), read back with the read command and
// compared, area by area.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "update/write_plan.h"

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

// The areas a plan puts on the unit with their expected bytes, under the
// plan's names: each area of the plan (the program with its header page,
// the main setting with the server data it resets, which must read
// erased, the parameter record judged by verify_parameter_reset_took). A
// program-only plan gives the program's header page and image. Empty for
// null arguments or a plan the run would refuse.
std::vector<VerifyArea> verify_areas(const QV_Machine* m, const Package* pkg, const WritePlan& plan);

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
