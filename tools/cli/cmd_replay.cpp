// trevik-cli replay FILE: runs the command line a session file holds against
// the recorded unit, a one-line regression check.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common_t73/QV_Hid.h"
#include "support/platform.h"
#include "tools/cli/cli.h"
#include "tools/cli/session.h"

namespace {

struct ReplayOptions {
    std::string file;
    bool realtime = false;
};

// The replayed run's verdict, as its CliSession sent it.
struct RunVerdict {
    bool received = false;
    bool agrees = false;
    int events = 0;
    int exit = 0;
    int recorded_exit = 0;
    std::string text;
};

RunVerdict parse_verdict(const std::string& text) {
    RunVerdict v;
    nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    auto number = [&j](const char* key) {
        auto it = j.find(key);
        return it != j.end() && it->is_number_integer() ? int(it->get<int64_t>()) : -1;
    };
    if (!j.is_object() || !j.contains("agrees") || !j["agrees"].is_boolean() ||
        !j.contains("text") || !j["text"].is_string())
        return v;
    v.received = true;
    v.agrees = j["agrees"].get<bool>();
    v.text = j["text"].get<std::string>();
    v.events = number("events");
    v.exit = number("exit");
    v.recorded_exit = number("recorded_exit");
    return v;
}

// A private state folder, so that a replayed update leaves no history line
// or backup among the user's.
std::string make_state_dir() {
    return platform_make_unique_folder(platform_temp_root(), "trevik-replay-");
}

void remove_tree(const std::string& dir) {
    std::error_code ec;
    if (!dir.empty())
        std::filesystem::remove_all(std::filesystem::path(std::u8string(dir.begin(), dir.end())),
                                    ec);
}

// Runs this program again with args; its output goes nowhere (with -v its
// standard error stays). Returns the verdict it sent.
RunVerdict run_replayed(const std::vector<std::string>& args, const std::string& state_dir) {
    PlatformRunSelf run;
    run.args = args;
    run.keep_stderr = cli_verbosity() == CliVerbosity::Verbose;
    if (!state_dir.empty())
        run.env.push_back(std::string(platform_state_variable()) + "=" + state_dir);
    run.channel_variable = CLI_REPLAY_VERDICT_FD;
    std::string text;
    if (platform_run_self(run, &text) < 0)
        return RunVerdict();
    return parse_verdict(text);
}

// What a replay runs: the session's command line, checked and with every
// file it would write moved into the replay's private folder.
struct ReplayPlan {
    std::vector<std::string> args;  // the command line to run; empty: refused
    std::string refusal;            // why it is refused
    std::vector<std::string> moved; // notes: a host file written elsewhere
};

// The commands that only talk to the unit (and read packages, settings files
// or the version server): a replay runs these and no other.
constexpr const char* REPLAYABLE[] = {"info",   "dump",   "readout",     "settings",
                                      "update", "verify", "check-online"};
constexpr const char* REPLAYABLE_TEXT =
    "info, dump, readout, settings, update, verify or check-online";

// An option of the session's command line that a replay never passes on,
// with what it would do; null when the option may be passed.
const char* refused_option(const std::string& a) {
    std::string name = a.substr(0, a.find('='));
    if (name == "--unit")
        return "names a unit of its own";
    if (name == "--all")
        return "reaches every attached unit";
    if (name == "--record" || name == "--redact-client" || name == "--force")
        return "writes a recording of its own";
    // -h also among other single-letter flags (-qh).
    bool short_help = a.size() > 1 && a[1] != '-' && a.find('h') != std::string::npos;
    if (short_help || name == "--help" || name == "--help-all" || name == "--version")
        return "asks for the help, not the unit";
    return nullptr;
}

ReplayPlan plan_replay(CLI::App& root, const std::string& file,
                       const std::vector<std::string>& command, const std::string& private_dir) {
    ReplayPlan plan;
    size_t at = cli_command_index(root, command);
    if (at >= command.size()) {
        plan.refusal = file + ": the session holds no command line to run";
        return plan;
    }
    const std::string& name = command[at];
    if (name == "window") {
        plan.refusal =
            file + ": a session of the window; replay it with trevik --unit replay:" + file;
        return plan;
    }
    if (name == "replay") {
        plan.refusal = file + ": a session of a replay cannot be replayed";
        return plan;
    }
    if (std::find(std::begin(REPLAYABLE), std::end(REPLAYABLE), name) == std::end(REPLAYABLE)) {
        plan.refusal = file + ": the session's command \"" + name +
                       "\" is not replayed: a replay runs " + REPLAYABLE_TEXT;
        return plan;
    }
    // dump and readout write the file they name: the replay writes it in
    // its own folder, never where the session says.
    bool writes_file = name == "dump" || name == "readout";
    bool options_end = false;
    std::vector<std::string> args;
    for (size_t i = 0; i < command.size(); ++i) {
        const std::string& a = command[i];
        bool option = !options_end && a.size() > 1 && a[0] == '-';
        if (option && a == "--")
            options_end = true;
        if (option) {
            if (const char* what = refused_option(a)) {
                plan.refusal = file + ": the session's command line " + what + " (" + a +
                               "); a replay talks to the recorded unit alone and writes no "
                               "file of yours";
                return plan;
            }
        } else if (writes_file && i > at) {
            std::string instead = private_dir + platform_separator() + "output-" + std::to_string(plan.moved.size() + 1);
            plan.moved.push_back(name + " writes its file in the replay's private folder; " + a +
                                 " is left as it is");
            args.push_back(instead);
            continue;
        }
        args.push_back(a);
    }
    plan.args = std::move(args);
    return plan;
}

int run_replay(CLI::App& root, const ReplayOptions& opt) {
    // Loading the file here refuses a bad one before anything runs.
    if (!QV_Hid_selectSource("replay:" + opt.file))
        return cli_fail(CLI_USAGE, QV_Hid_sourceError());
    std::vector<std::string> command = QV_Hid_replayCommand();
    QV_Hid_selectSource("hid");
    // Without its private folder a replay would write among the user's files.
    std::string state_dir = make_state_dir();
    if (state_dir.empty())
        return cli_fail(CLI_FAILED,
                        std::string("no private folder for the replay: ") + std::strerror(errno));
    ReplayPlan plan = plan_replay(root, opt.file, command, state_dir);
    if (plan.args.empty()) {
        remove_tree(state_dir);
        return cli_fail(CLI_USAGE, plan.refusal);
    }
    for (const std::string& note : plan.moved)
        cli_note(note);

    std::vector<std::string> args = {"trevik-cli", "--unit",
                                     "replay:" + opt.file + (opt.realtime ? "?realtime" : "")};
    args.insert(args.end(), plan.args.begin(), plan.args.end());
    RunVerdict v = run_replayed(args, state_dir);
    remove_tree(state_dir);
    if (!v.received)
        return cli_fail(CLI_FAILED,
                        "the replayed command ended without saying how the replay went");
    if (!v.agrees)
        return cli_fail(CLI_TRANSFER, v.text);
    if (v.exit != v.recorded_exit)
        return cli_fail(CLI_TRANSFER, "replay differs: the unit's events agree, but the command "
                                      "ended with exit code " +
                                          std::to_string(v.exit) +
                                          " where the session ended with " +
                                          std::to_string(v.recorded_exit));
    if (cli_json())
        cli_print_json(CliJson{{"message", v.text}, {"events", v.events}});
    else
        std::printf("%s\n", v.text.c_str());
    return CLI_OK;
}

void setup_replay(CLI::App& root, int* exit_code) {
    auto opt = std::make_shared<ReplayOptions>();
    CLI::App* cmd = root.add_subcommand(
        "replay", "Run a recorded session's command line against the recorded unit and check "
                  "that the tool does what it did then");
    cmd->add_option("FILE", opt->file, "Session file (written with --record FILE)")->required();
    cmd->add_flag("--realtime", opt->realtime, "Keep the recorded pauses between the events");
    cli_add_json_flags(cmd);
    cmd->callback([&root, opt, exit_code] { *exit_code = run_replay(root, *opt); });
}

CliRegistrar registrar(setup_replay);

} // namespace
