// trevik-cli: the same system as the window, for scripts and terminals.
//
// Each command lives in its own file in this folder and registers itself
// with a static CliRegistrar; main() builds the command line from them.
// Exit codes: 0 success, 1 failure, 2 bad usage.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdio>
#include <unistd.h>

inline constexpr int CLI_OK = 0;
inline constexpr int CLI_FAILED = 1;
inline constexpr int CLI_USAGE = 2;

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
