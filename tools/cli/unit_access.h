// How trevik-cli commands reach the unit: the --unit option, opening the
// unit, and the exit code of each way that can fail.
#pragma once

#include <string>
#include <vector>

#include "tools/cli/cli.h"
#include "update/failure_text.h"

struct QV_Machine;

// Help text of --unit.
inline constexpr const char* CLI_UNIT_HELP =
    "Where the unit is: hid (the first unit), hid:/dev/hidrawN (that unit), serial:SERIAL "
    "(the unit with that USB serial, as list shows it), socket:PATH (an emulated unit) or "
    "replay:FILE (a recorded session)";

// The unit's "no hardware" text, the same in every command.
inline constexpr const char* CLI_NO_HARDWARE = "   No hardware connected!";

// Adds --unit to cmd, bound to unit (default "hid").
void cli_add_unit_option(CLI::App* cmd, std::string* unit);

// Selects the unit source. Returns CLI_OK, or CLI_USAGE after saying why
// (CLI_NO_UNIT for a serial no attached unit has).
int cli_select_unit(const std::string& unit);

// serial:SERIAL as the hid:PATH of the one attached unit with that USB
// serial; other sources as they are. On failure returns "" and sets *code
// (CLI_NO_UNIT: none has it, CLI_USAGE: several or an empty serial) and
// *text.
std::string cli_resolve_serial(const std::string& unit, int* code, std::string* text);

// A command that writes to "the first unit" (source hid) while several HID
// units are attached would write one the user did not choose: refused
// (CLI_USAGE) after listing them as `list` does. Returns CLI_OK otherwise.
int cli_refuse_unnamed_unit(const std::string& unit);

// Each attached HID unit as a line of `list` (opens each to read its
// client id and board).
std::vector<std::string> cli_attached_unit_lines();

// The unit a command writes, for its plan and question:
// "hid:/dev/hidraw1  serial \"A-1\"  client \"TREVIK-DEMO 0001\"" (the
// serial where the unit has one).
std::string cli_unit_written_text(const QV_Machine* m);

// What a unit source names, whatever its spelling: for hid:PATH and
// socket:PATH the path resolved (links, "." and "..", relative to the
// working folder); other sources as they are. Two sources name the same
// unit when their identities are equal.
std::string cli_unit_identity(const std::string& source);

// The exit code and text when no unit could be opened, from why the last
// open failed: CLI_NO_ACCESS with the udev rule's text when the unit is
// there but this user may not open it, else CLI_NO_UNIT with
// CLI_NO_HARDWARE.
int cli_unit_missing(std::string* text);

// The cause and next step of a unit that could not be reached, for the
// failure objects of exit codes CLI_NO_UNIT, CLI_NO_ACCESS and
// CLI_UNIT_IN_USE, from the text printed for it (text is the cause where it
// names one, e.g. the process holding the unit; a text holding both is
// split). Both empty for any other code.
FailureText cli_unit_failure_why(int code, const std::string& text);

// Attaches the first unit of the selected source to m and reads its
// information. Returns CLI_OK, or after reporting (cli_fail) CLI_NO_UNIT or
// CLI_NO_ACCESS.
int cli_attach_unit(QV_Machine* m);

// A QV_ProgressFn whose user is a CliProgress: the window's progress text
// of a write or read, with the bytes done of the count's total.
void cli_device_progress(void* user, QV_Machine* m, int kind, uint32_t value, uint32_t start_tick);

// The twelve lines of the device information as one object (keys named
// after the lines, texts in UTF-8, dates "yyyymmdd" or null).
CliJson cli_unit_json(const QV_Machine* m);
