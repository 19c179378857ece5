#include "tools/cli/session.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "common_t73/QV_Hid.h"
#include "support/platform.h"
#include "tools/cli/cli.h"
#include "trevik_version.h"

namespace {

// A GPRS user name or password given to "settings set" is hidden like the
// unit's own: a placeholder of the same length writes the same redacted
// record when the session is replayed.
std::string hide_gprs_secret(const std::string& arg) {
    for (const char* key : {"user=", "password="}) {
        size_t n = std::strlen(key);
        if (arg.compare(0, n, key) == 0)
            return key + std::string(arg.size() - n, 'x');
    }
    return arg;
}

// What a replay runs again: the command line without the argument list's
// program name and without --unit, which the replay chooses.
std::vector<std::string> replayable_command(const std::vector<std::string>& args) {
    std::vector<std::string> out;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--")
            out.insert(out.end(), args.begin() + long(i), args.end());
        if (args[i] == "--")
            break;
        if (args[i] == "--unit" && i + 1 < args.size()) {
            ++i;
            continue;
        }
        if (args[i].rfind("--unit=", 0) == 0)
            continue;
        out.push_back(hide_gprs_secret(args[i]));
    }
    return out;
}

// The warning of a recording that could not be written whole; empty when
// none runs or every line went in.
std::string recording_warning() {
    std::string error = QV_Hid_recordingError();
    return error.empty() ? error : "The session recording could not be written: " + error;
}

void send_verdict(const QV_HidReplayVerdict& v, int exit_code) {
    const char* fd_text = std::getenv(CLI_REPLAY_VERDICT_FD);
    if (!fd_text || !v.active)
        return;
    int fd = platform_side_channel(fd_text);
    if (fd < 0)
        return;
    nlohmann::json j = {{"agrees", v.agrees},
                        {"events", v.events},
                        {"text", v.text},
                        {"recorded_exit", v.recordedExit},
                        {"exit", exit_code}};
    std::string line = j.dump() + "\n";
    if (FILE* out = platform_fdopen(fd, "wb")) {
        std::fwrite(line.data(), 1, line.size(), out);
        std::fclose(out);
    }
}

} // namespace

CliSession::CliSession(int argc, char** argv) {
    std::string record;
    bool recording = false; // --record was given, even with an empty name
    bool redact_client = false;
    bool force = false;
    bool options_end = false;
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        if (i > 0 && !options_end) {
            if (a == "--") {
                options_end = true;
            } else if (a == "--record") {
                if (i + 1 >= argc) {
                    std::fprintf(stderr, "--record needs a FILE\n");
                    status_ = CLI_USAGE;
                    break;
                }
                record = argv[++i];
                recording = true;
                continue;
            } else if (a.rfind("--record=", 0) == 0) {
                record = a.substr(9);
                recording = true;
                continue;
            } else if (a == "--redact-client") {
                redact_client = true;
                continue;
            } else if (a == "--force") {
                force = true;
                continue;
            }
        }
        args_.push_back(a);
    }
    for (std::string& a : args_)
        pointers_.push_back(a.data());
    pointers_.push_back(nullptr);
    if (status_ != CLI_OK)
        return;
    if (recording && record.empty()) {
        std::fprintf(stderr, "--record needs a FILE name, not an empty one\n");
        status_ = CLI_USAGE;
        return;
    }
    if (redact_client && !recording) {
        std::fprintf(stderr, "--redact-client goes with --record FILE\n");
        status_ = CLI_USAGE;
        return;
    }
    if (force && !recording) {
        std::fprintf(stderr, "--force goes with --record FILE\n");
        status_ = CLI_USAGE;
        return;
    }
    if (!recording)
        return;
    QV_HidRecordOptions options;
    options.tool = std::string("trevik-cli ") + TREVIK_VERSION;
    options.command = replayable_command(args_);
    options.redactClient = redact_client;
    options.overwrite = force;
    options.existsHint = "--force overwrites it, or give a new name";
    std::string error;
    if (!QV_Hid_startRecording(record, options, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        status_ = CLI_USAGE;
        return;
    }
    // The command's JSON object carries a failed recording among its warnings.
    cli_set_json_warnings([] {
        std::string lost = recording_warning();
        return lost.empty() ? std::vector<std::string>() : std::vector<std::string>{lost};
    });
}

CliSession::~CliSession() {
    if (!ended_)
        QV_Hid_stopRecording(CLI_USAGE);
}

int CliSession::end(int exit_code) {
    ended_ = true;
    QV_Hid_stopRecording(exit_code);
    // A recording that lost lines is said, whatever the command's result;
    // it does not change that result.
    if (std::string lost = recording_warning(); !lost.empty())
        std::fprintf(stderr, "Warning: %s\n", lost.c_str());
    QV_HidReplayVerdict v = QV_Hid_finishReplay();
    send_verdict(v, exit_code);
    if (v.active && !v.agrees) {
        std::fprintf(stderr, "%s\n", v.text.c_str());
        return CLI_TRANSFER;
    }
    return exit_code;
}

namespace {

// The session's options, taken out before the command line is parsed, are
// listed in --help with the others.
void describe_session_options(CLI::App& root, int*) {
    static std::string record;
    static bool redact_client = false;
    static bool force = false;
    root.add_option("--record", record,
                    "Record what passes between the tool and the unit into FILE (before or "
                    "after the command; trevik-cli replay FILE checks it again)")
        ->type_name("FILE");
    root.add_flag("--redact-client", redact_client,
                  "With --record: also hide the unit's own part of the client id");
    root.add_flag("--force", force,
                  "With --record: replace FILE when it exists (a recording is never "
                  "overwritten otherwise)");
}

const CliRegistrar registrar(describe_session_options);

} // namespace
