#include "support/platform.h"
#include "update/safe_update.h"
#include "tools/cli/cli.h"
#include "tools/cli/session.h"
#include "trevik_version.h"

#include <algorithm>
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

// The long options of every command that take a value ("--unit"), so that
// a value given before the command name is not taken for the command.
std::vector<std::string> value_options(CLI::App& app) {
    std::vector<std::string> names;
    for (CLI::App* cmd : app.get_subcommands({}))
        for (const CLI::Option* opt : cmd->get_options())
            if (!opt->get_positional() && opt->get_expected_min() > 0)
                for (const std::string& n : opt->get_lnames())
                    names.push_back("--" + n);
    return names;
}

bool is_root_option(CLI::App& app, const std::string& arg) {
    std::string name = arg.substr(0, arg.find('='));
    const CLI::Option* opt = app.get_option_no_throw(name);
    return opt != nullptr || name == "--version";
}

// What stands before the command name: options, and the value of each
// option that takes one.
struct CommandLine {
    std::vector<std::string> args;
    size_t command = 0; // index of the command name; args.size() when none
};

CommandLine find_command(CLI::App& app, int argc, char** argv) {
    CommandLine line;
    line.args.assign(argv + 1, argv + argc);
    line.command = cli_command_index(app, line.args);
    return line;
}

// "trevik-cli --json --unit socket:PATH info" reads as well as "trevik-cli
// info --json --unit socket:PATH": an option of the command given before
// its name moves behind it (-q and -v belong to every command already).
// Returns the arguments to parse, or an empty list when nothing moved.
std::vector<std::string> options_after_command(CLI::App& app, const CommandLine& line) {
    if (line.command >= line.args.size())
        return {};
    CLI::App* command = nullptr;
    try {
        command = app.get_subcommand(line.args[line.command]);
    } catch (const CLI::OptionNotFound&) {
        return {};
    }
    std::vector<std::string> valued = value_options(app);
    std::vector<std::string> kept, moved;
    for (size_t i = 0; i < line.command; ++i) {
        const std::string& a = line.args[i];
        bool takes_value = std::find(valued.begin(), valued.end(), a) != valued.end();
        std::string name = a.substr(0, a.find('='));
        bool ours = !is_root_option(app, a) && command->get_option_no_throw(name) != nullptr;
        std::vector<std::string>& to = ours ? moved : kept;
        to.push_back(a);
        if (takes_value && i + 1 < line.command)
            to.push_back(line.args[++i]);
    }
    if (moved.empty())
        return {};
    std::vector<std::string> args = kept;
    args.push_back(line.args[line.command]);
    args.insert(args.end(), moved.begin(), moved.end());
    args.insert(args.end(), line.args.begin() + long(line.command) + 1, line.args.end());
    return args;
}
} // namespace

size_t cli_command_index(CLI::App& app, const std::vector<std::string>& args) {
    std::vector<std::string> valued = value_options(app);
    size_t i = 0;
    while (i < args.size() && args[i].size() > 1 && args[i][0] == '-') {
        bool takes_value = std::find(valued.begin(), valued.end(), args[i]) != valued.end();
        i += takes_value ? 2 : 1;
    }
    return i < args.size() ? i : args.size();
}

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
    // A file-size limit (ulimit -f) the same: a write past it fails as a
    // full disk does, and the run ends at its boundary with what it can record.
    platform_ignore_broken_pipes();
    // What is printed is the same bytes on every system (no CR before LF).
    platform_binary_stream(stdout);
    platform_binary_stream(stderr);
    // A run ended by an uncaught failure still leaves its history line.
    safe_update_install_abnormal_end_recorder();
    // --record and --redact-client belong to the session, wherever they stand.
    CliSession session(argc, argv);
    if (session.status() != CLI_OK)
        return session.status();
    argc = session.argc();
    argv = session.argv();
    CLI::App app{"Trevik: updates and configures the GPS speed-camera unit"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("trevik-cli ") + TREVIK_VERSION);
    // -q and -v read as well after the command name as before it.
    app.fallthrough();
    // "/path" is a file on every system, never a Windows-style option (the
    // commands inherit this).
    app.allow_windows_style_options(false);
    app.footer(CLI_EXIT_CODES_TEXT);
    cli_add_verbosity_flags(app);
    cli_install_log_sink();
    int exit_code = CLI_OK;
    for (CliSetup setup : registry())
        setup(app, &exit_code);
    CommandLine line = find_command(app, argc, argv);
    // A name that is no command is named in the error, whatever follows it.
    if (line.command < line.args.size()) {
        const std::string& name = line.args[line.command];
        bool known = false;
        for (CLI::App* cmd : app.get_subcommands({}))
            known = known || cmd->check_name(name);
        if (!known) {
            std::string text = "unknown command \"" + name + "\"; trevik-cli --help lists them";
            std::fprintf(stderr, "%s\n", text.c_str());
            if (asks_for_json(argc, argv))
                std::printf("%s\n", cli_failure_json(CLI_USAGE, text).c_str());
            return CLI_USAGE;
        }
    }
    std::vector<std::string> reordered = options_after_command(app, line);
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
        return session.end(cli_fail(CLI_FAILED, std::string("trevik-cli: ") + e.what()));
    }
    return session.end(exit_code);
}
