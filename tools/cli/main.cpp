#include "package/safe_update.h"
#include "tools/cli/cli.h"
#include "trevik_version.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

namespace {
std::vector<CliSetup>& registry() {
    static std::vector<CliSetup> setups;
    return setups;
}

// "trevik-cli --unit socket:PATH update ..." reads as well as "trevik-cli
// update --unit socket:PATH ...": a --unit given before the command name
// moves behind it when that command takes one.
std::vector<std::string> unit_option_after_command(CLI::App& app, int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::vector<std::string> moved;
    size_t i = 0;
    while (i < args.size() && args[i].size() > 1 && args[i][0] == '-') {
        if (args[i] == "--unit" && i + 1 < args.size()) {
            moved.insert(moved.end(), {args[i], args[i + 1]});
            args.erase(args.begin() + i, args.begin() + i + 2);
        } else if (args[i].rfind("--unit=", 0) == 0) {
            moved.push_back(args[i]);
            args.erase(args.begin() + i);
        } else {
            ++i;
        }
    }
    if (moved.empty())
        return {};
    CLI::App* command = nullptr;
    try {
        if (i < args.size())
            command = app.get_subcommand(args[i]);
    } catch (const CLI::OptionNotFound&) {
        command = nullptr;
    }
    if (!command || !command->get_option_no_throw("--unit"))
        return {};
    args.insert(args.begin() + i + 1, moved.begin(), moved.end());
    return args;
}
} // namespace

CliRegistrar::CliRegistrar(CliSetup setup) {
    registry().push_back(setup);
}

namespace {
bool asks_for_json(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--json") == 0)
            return true;
    return false;
}
} // namespace

int main(int argc, char** argv) {
    // A reader that goes away (| head, a pager quit early) only ends the
    // output: a run in the middle of its writes goes on to its end and its
    // history line. Writes to a closed pipe fail quietly instead.
    std::signal(SIGPIPE, SIG_IGN);
    // A run ended by an uncaught failure still leaves its history line.
    safe_update_install_abnormal_end_recorder();
    CLI::App app{"Trevik: updates and configures the GPS speed-camera unit"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("trevik-cli ") + TREVIK_VERSION);
    // -q and -v read as well after the command name as before it.
    app.fallthrough();
    app.footer(CLI_EXIT_CODES_TEXT);
    cli_add_verbosity_flags(app);
    cli_install_log_sink();
    int exit_code = CLI_OK;
    for (CliSetup setup : registry())
        setup(app, &exit_code);
    std::vector<std::string> reordered = unit_option_after_command(app, argc, argv);
    try {
        if (reordered.empty()) {
            app.parse(argc, argv);
        } else {
            // CLI11 takes a vector in reverse order.
            std::vector<std::string> reversed(reordered.rbegin(), reordered.rend());
            app.parse(reversed);
        }
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        if (asks_for_json(argc, argv))
            std::printf("%s\n", cli_failure_json(CLI_USAGE, e.what()).c_str());
        return CLI_USAGE;
    } catch (const std::exception& e) {
        // A failure no command expected (no memory left): said, recorded
        // when a run was under way, never an abort.
        safe_update_record_abnormal_end();
        return cli_fail(CLI_FAILED, std::string("trevik-cli: ") + e.what());
    }
    return exit_code;
}
