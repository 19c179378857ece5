// trevik-cli update: one unit's run, and the runs of several units at once
// (`update FILE --unit A --unit B …`, `update FILE --all`), each unit on its
// own thread through the same run.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "online/VersionCheck.h"
#include "update/failure_text.h"
#include "update/update_run.h"
#include "tools/cli/cli.h"
#include "tools/cli/safety.h"

struct QV_Machine;

struct UpdateOptions {
    std::string file;
    bool national = false;
    std::string provinces;
    bool dry_run = false;
    std::vector<std::string> units; // --unit, in the order given; empty: "hid"
    bool all = false;               // --all
    CliSafetyOptions safety;
};

// How one unit is reached and where its run reports.
struct UnitTarget {
    // Opens the unit onto the machine and reads its information. Returns
    // CLI_OK, or the exit code with its text in *text.
    std::function<int(QV_Machine* m, std::string* text)> attach;
    // The unit's progress display.
    CliProgress* progress = nullptr;
    // A line of the unit's own on standard error.
    std::function<void(const std::string& line)> note;
    // The guard of a run that writes.
    std::function<std::unique_ptr<UpdateGuard>()> guard;
    // Answers the province question; null: the run's own answer (the
    // options, else the terminal), which own gives when called.
    using ProvinceQuestion = std::function<int(int* mode, int* flags)>;
    std::function<int(int* mode, int flags[PROVINCE_COUNT], std::string* refusal,
                      const ProvinceQuestion& own)>
        provinces;
    // The start of the run directory's name of an unpacked archive.
    std::u16string run_prefix;
};

// How one unit's run went.
struct UnitUpdate {
    int code = CLI_OK;     // CLI_OK once the run took place, else why it did not
    std::string text;      // the text of that code
    bool reported = false; // the text was already shown
    UpdateOutcome outcome;
    std::u16string box;       // the run's message box
    std::string refusal;      // why the province question was not answered
    std::unique_ptr<UpdateGuard> guard;
    CliJson report; // keys for the JSON object (online status)
    std::string unit_text; // the unit written (cli_unit_written_text)
};

// Carries out one unit's run: opens it, finds the package (FILE, else the
// newest one online), runs the update under the target's guard.
UnitUpdate cli_update_unit(const UpdateOptions& opt, const UnitTarget& target);

// The version servers (TREVIK_VERSION_SERVER=host:port replaces both, for
// tests and demonstrations), read one way for check-online and update.
// Returns CLI_OK, or CLI_USAGE after reporting a value of another form.
int cli_version_hosts(VersionHosts* hosts);

// The exit code of a failed run, from the step it stopped at.
int cli_update_failure_code(const UpdateOutcome& o);

// What a dry run would write, as `update --dry-run --json` gives it.
CliJson cli_update_plan_json(const UpdateOutcome& outcome);

// Several units at once: `update FILE` with more than one --unit, or --all.
// Returns the exit code: 0 when every unit succeeded, else the failure code
// of highest priority (cli_update_code_priority).
int cli_update_units(const UpdateOptions& opt);

// Orders exit codes of units for the command's own: the larger wins.
int cli_update_code_priority(int code);
