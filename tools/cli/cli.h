// trevik-cli: the same system as the window, for scripts and terminals.
//
// Each command lives in its own file in this folder and registers itself
// with a static CliRegistrar; main() builds the command line from them.
// Exit codes: see below; they are a contract with scripts, listed in
// --help (CLI_EXIT_CODES_TEXT) and the README.
#pragma once

#include <CLI/CLI.hpp>

#include "tools/cli/output.h"

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

// The exit codes as --help lists them.
inline constexpr const char* CLI_EXIT_CODES_TEXT =
    "Exit codes:\n"
    "  0  done\n"
    "  1  the operation failed (its text says why)\n"
    "  2  bad usage\n"
    "  3  no unit found\n"
    "  4  the unit exists but cannot be opened (permission: install the udev rule)\n"
    "  5  the package is unreadable or belongs to another customer\n"
    "  6  the unit refused or broke off a transfer\n"
    "  7  nothing to do\n"
    "  8  interrupted\n"
    "  9  the unit is in use by another program\n";

// Adds one subcommand to root. The subcommand's callback stores its exit
// code in *exit_code.
using CliSetup = void (*)(CLI::App& root, int* exit_code);

// Where the command's name stands in args (the arguments after the
// program's name, the session's options taken out): after the options
// before it and the value of each that takes one. args.size() when none.
size_t cli_command_index(CLI::App& app, const std::vector<std::string>& args);

struct CliRegistrar {
    explicit CliRegistrar(CliSetup setup);
};
