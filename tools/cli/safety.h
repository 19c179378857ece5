// What `trevik-cli update` uses of the safety commands (cmd_safety.cpp):
// the options, the guard around the run's writes and its end.
#pragma once

#include <csignal>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "update/outcome.h"
#include "update/unit_verify.h"
#include "update/update_run.h"
#include "tools/cli/cli.h"

class CliProgress;

struct CliSafetyOptions {
    bool no_backup = false;
    bool verify = false;
    bool yes = false;
};

// Adds --no-backup, --verify and -y/--yes to the update command.
void cli_safety_add_options(CLI::App* update, CliSafetyOptions* options);

// The guard for one update run on the terminal: confirmation, backup,
// interruption, read-back and history. The question before writing ends
// progress's line first.
std::unique_ptr<UpdateGuard> cli_safety_guard(const CliSafetyOptions& options,
                                              CliProgress* progress);

// The guard of one run among several at once: no question (the caller asked
// once for all), and the stop flag stop of cli_stop_signals_begin instead
// of a signal watcher of its own.
std::unique_ptr<UpdateGuard> cli_safety_guard_shared(const CliSafetyOptions& options,
                                                     CliProgress* progress,
                                                     const volatile std::sig_atomic_t* stop);

// The two-signal stop for several runs at once: from begin to end SIGINT,
// SIGTERM and SIGHUP are blocked and watched by one thread (call begin
// before starting the runs' threads, which inherit the block); the first
// warns, a second within 5 seconds raises the returned flag, which every
// run's channel reads between reports.
const volatile std::sig_atomic_t* cli_stop_signals_begin();
void cli_stop_signals_end();
// The same stop for a command that ends at boundaries of its own (settings
// writes record by record): the first signal says first_text and raises
// *asked, which the command reads at its next boundary; a second within 5
// seconds says second_text and raises the returned flag. Ended by
// cli_stop_signals_end.
const volatile std::sig_atomic_t* cli_stop_signals_begin(const char* first_text,
                                                         const char* second_text,
                                                         const volatile std::sig_atomic_t** asked);

// After the run: prints the guard's warnings and the end-of-run note on
// standard error, and returns the exit code with the text that goes with it
// in *why ("" when the run's own text says it all): CLI_INTERRUPTED for a
// run stopped during its writes (CLI_STOPPED_TEXT) or its read-back,
// CLI_TRANSFER for writes the unit could not confirm afterwards,
// CLI_VERIFY_MISMATCH for a failed read-back, else code.
int cli_safety_finish(UpdateGuard* guard, const UpdateOutcome& outcome, int code, std::string* why);

// The exit code and *why of cli_safety_finish, printing nothing (runs on
// several units show the guard's warnings and notes their own way).
int cli_safety_code(UpdateGuard* guard, const UpdateOutcome& outcome, int code, std::string* why);

// What the guard adds to update's JSON object: the areas read back with
// --verify ("areas", as verify gives them, and "verified": true, false, or
// null when the read-back was stopped) and "warnings" (the history not
// written).
void cli_safety_add_json(UpdateGuard* guard, CliJson* report);

// Refuses a package path that names something other than a regular file
// (a FIFO, a device, a folder) before anything opens it: reading one may
// never end. Returns CLI_OK, or CLI_BAD_PACKAGE after saying what the path is.
int cli_refuse_special_package(const std::string& path);

// One area read back, as verify's JSON gives it.
CliJson verify_json(const VerifyResult& r);

// The read-back's duration at the unit's pace, for a note before it.
std::string cli_seconds_text(uint64_t bytes);

// The subcommands history and backups (cmd_history.cpp), and verify
// (cmd_verify.cpp), added to root in that order.
void cli_setup_history(CLI::App& root, int* exit_code);
void cli_setup_verify(CLI::App& root, int* exit_code);

// The exit code of a read-back that found the unit holding something else,
// for verify and update --verify alike.
inline constexpr int CLI_VERIFY_MISMATCH = CLI_FAILED;

inline constexpr const char* CLI_STOPPED_TEXT = RUN_TEXT_STOPPED;

// The exit code of a run's end (update/outcome.h), 1:1, and back.
int cli_exit_code(RunExit e);
RunExit cli_run_exit(int code);

// The text for a unit the acceptance rule refused.
inline constexpr const char* CLI_OTHER_CUSTOMER_UNIT =
    "This unit belongs to another customer: its client id stays as it is";

// Parses a comma-separated list of province names or indexes 0..33 into
// flags. Returns "" or the reason the list is refused.
std::string parse_province_list(const std::string& list, int flags[PROVINCE_COUNT]);
