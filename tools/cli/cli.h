// trevik-cli: the same system as the window, for scripts and terminals.
//
// Each command lives in its own file in this folder and registers itself
// with a static CliRegistrar; main() builds the command line from them.
// Exit codes: see below; they are a contract with scripts.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdio>
#include <unistd.h>

#include "common_t73/QV_Hid.h"

inline constexpr int CLI_OK = 0;              // done
inline constexpr int CLI_FAILED = 1;          // the operation failed (its text says why)
inline constexpr int CLI_USAGE = 2;           // bad usage
inline constexpr int CLI_NO_UNIT = 3;         // no unit found
inline constexpr int CLI_NO_ACCESS = 4;       // the unit exists but cannot be opened
inline constexpr int CLI_BAD_PACKAGE = 5;     // package unreadable or another customer's
inline constexpr int CLI_TRANSFER = 6;        // the unit refused or broke off a transfer
inline constexpr int CLI_NOTHING_TO_DO = 7;   // nothing to do
inline constexpr int CLI_INTERRUPTED = 8;     // interrupted by a signal
inline constexpr int CLI_UNIT_IN_USE = 9;     // the unit is in use by another program

// The exit code of a command whose unit could not be opened: CLI_UNIT_IN_USE
// when another program holds it, else CLI_FAILED.
inline int cli_open_failure_code() {
    return QV_Hid_lastOpenError() == QV_HID_OPEN_BUSY ? CLI_UNIT_IN_USE : CLI_FAILED;
}

// Adds one subcommand to root. The subcommand's callback stores its exit
// code in *exit_code.
using CliSetup = void (*)(CLI::App& root, int* exit_code);

struct CliRegistrar {
    explicit CliRegistrar(CliSetup setup);
};

// The device link logs on standard output; while a command uses the unit,
// its lines go to standard error so standard output carries only what the
// command prints.
class LogToStderr {
  public:
    LogToStderr() {
        std::fflush(stdout);
        saved_ = ::dup(STDOUT_FILENO);
        if (saved_ >= 0)
            ::dup2(STDERR_FILENO, STDOUT_FILENO);
    }
    ~LogToStderr() {
        std::fflush(stdout);
        if (saved_ >= 0) {
            ::dup2(saved_, STDOUT_FILENO);
            ::close(saved_);
        }
    }
    LogToStderr(const LogToStderr&) = delete;
    LogToStderr& operator=(const LogToStderr&) = delete;

  private:
    int saved_ = -1;
};
