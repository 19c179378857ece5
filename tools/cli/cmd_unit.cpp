// trevik-cli info / dump / readout: the attached unit's device information
// and the two service read-outs.
#include <chrono>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "common_t73/QV_Hid.h"
#include "common_t73/QV_Machine.h"
#include "common_t73/QV_Service.h"
#include "support/text.h"
#include "tools/cli/cli.h"

namespace {


struct ProgressState {
    bool terminal = false;
    bool drawn = false;
};

// The window's progress text, redrawn in place on a terminal.
void on_progress(void* user, QV_Machine* m, int kind, uint32_t value, uint32_t start_tick) {
    auto* state = static_cast<ProgressState*>(user);
    if (!state->terminal || kind == 0)
        return;
    using namespace std::chrono;
    uint32_t now =
        uint32_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
    std::string status = wtext_to_utf8(m->status_text);
    std::fprintf(stderr, "\r%s%s %.02f%%   %s %d %s", status.c_str(), "Updated", value / 100.0,
                 "Time", int((now - start_tick) / 1000), "Second");
    state->drawn = true;
}

void end_progress_line(ProgressState& state) {
    if (state.drawn)
        std::fputc('\n', stderr);
    state.drawn = false;
}

// Opens the first unit of the chosen source. Prints why not and returns
// null when there is none.
QV_Machine* open_unit(ProgressState* progress) {
    QV_Machine* m = QV_Machine_create(nullptr, nullptr, on_progress, progress);
    if (!m) {
        std::fprintf(stderr, "out of memory\n");
        return nullptr;
    }
    int attached;
    {
        LogToStderr redirect;
        attached = QV_Machine_attachFirstUnit(m);
    }
    if (!attached) {
        if (QV_Hid_lastOpenError() == QV_HID_OPEN_BUSY)
            std::fprintf(stderr, "%s\n", QV_Hid_inUseText().c_str());
        else if (QV_Hid_lastOpenError() == QV_HID_OPEN_DENIED)
            std::fprintf(stderr, "%s\n", QV_Hid_permissionText());
        else
            std::fprintf(stderr, "%s\n", SERVICE_NO_HARDWARE);
        QV_Machine_release(m);
        return nullptr;
    }
    return m;
}

// Sets the unit source; false (after a message) for an unknown one.
bool select_unit(const std::string& unit) {
    if (QV_Hid_selectSource(unit))
        return true;
    std::fprintf(stderr, "--unit must be hid or socket:PATH, not \"%s\"\n", unit.c_str());
    return false;
}

int print_outcome(const QV_ServiceOutcome& o) {
    if (o.status)
        std::fprintf(stderr, "%s\n", o.status);
    std::fprintf(o.ok ? stdout : stderr, "%s\n", o.message);
    return o.ok ? CLI_OK : CLI_FAILED;
}

// The texts stay those the window shows, but what they show of a unit that
// answered none of the information reads is not the unit's: a script must
// not take it for a success.
int unit_silent() {
    std::fprintf(stderr, "The unit answered none of the information reads.\n");
    return CLI_TRANSFER;
}

struct UnitOptions {
    std::string unit = "hid";
    std::string file;
};

void add_unit_option(CLI::App* cmd, UnitOptions* opts) {
    cmd->add_option("--unit", opts->unit, "Where the unit is: hid (default) or socket:PATH")
        ->capture_default_str();
}

int run_info(const UnitOptions& o) {
    if (!select_unit(o.unit))
        return CLI_USAGE;
    ProgressState progress;
    QV_Machine* m = open_unit(&progress);
    if (!m)
        return cli_open_failure_code();
    std::string text = QV_Machine_infoText(m);
    std::fwrite(text.data(), 1, text.size(), stdout);
    bool answered = m->info_answers != 0;
    QV_Machine_release(m);
    return answered ? CLI_OK : unit_silent();
}

int run_service(const UnitOptions& o, bool readout) {
    if (!select_unit(o.unit))
        return CLI_USAGE;
    ProgressState progress;
    progress.terminal = ::isatty(STDERR_FILENO) != 0;
    QV_Machine* m = open_unit(&progress);
    if (!m)
        return cli_open_failure_code();
    std::u16string path = utf8_to_wtext(o.file);
    QV_ServiceOutcome outcome;
    {
        LogToStderr redirect;
        outcome = readout ? QV_Service_readServerData(m, path.c_str())
                          : QV_Service_dumpInfo(m, path.c_str());
    }
    end_progress_line(progress);
    bool answered = m->info_answers != 0;
    QV_Machine_release(m);
    int code = print_outcome(outcome);
    return answered || code != CLI_OK ? code : unit_silent();
}

void setup(CLI::App& root, int* exit_code) {
    static UnitOptions info_opts, dump_opts, readout_opts;

    CLI::App* info = root.add_subcommand(
        "info", "Print the attached unit's device information (the twelve lines of the dump)");
    add_unit_option(info, &info_opts);
    info->callback([exit_code] { *exit_code = run_info(info_opts); });

    CLI::App* dump =
        root.add_subcommand("dump", "Save the attached unit's device information as text");
    dump->add_option("FILE", dump_opts.file, "Text file to write")->required();
    add_unit_option(dump, &dump_opts);
    dump->callback([exit_code] { *exit_code = run_service(dump_opts, false); });

    CLI::App* readout =
        root.add_subcommand("readout", "Read the unit's server-data region into a file");
    readout->add_option("FILE", readout_opts.file, "Binary file to write")->required();
    add_unit_option(readout, &readout_opts);
    readout->callback([exit_code] { *exit_code = run_service(readout_opts, true); });
}

const CliRegistrar registrar(setup);

} // namespace
