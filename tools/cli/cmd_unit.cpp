// trevik-cli info / dump / readout: the attached unit's device information
// and the two service read-outs.
#include <cstdio>
#include <string>

#include "common_t73/QV_Hid.h"
#include "common_t73/QV_Machine.h"
#include "common_t73/QV_Service.h"
#include "support/text.h"
#include "tools/cli/cli.h"
#include "tools/cli/unit_access.h"

namespace {

// Opens the first unit of the selected source, reporting why not.
int open_unit(CliProgress* progress, QV_Machine** out) {
    *out = nullptr;
    QV_Machine* m = QV_Machine_create(nullptr, nullptr, cli_device_progress, progress);
    if (!m)
        return cli_fail(CLI_FAILED, "out of memory");
    int code = cli_attach_unit(m);
    if (code != CLI_OK) {
        QV_Machine_release(m);
        return code;
    }
    *out = m;
    return CLI_OK;
}

int print_outcome(const QV_ServiceOutcome& o) {
    if (o.ok) {
        if (o.status)
            cli_note(o.status);
        if (cli_json())
            cli_print_json(CliJson{{"message", o.message}});
        else
            std::printf("%s\n", o.message);
        return CLI_OK;
    }
    std::string text = o.status ? std::string(o.status) + "\n" + o.message : o.message;
    return cli_fail(CLI_FAILED, text);
}

// The texts stay those the window shows, but what they show of a unit that
// answered none of the information reads is not the unit's: a script must
// not take it for a success.
// With --json the failure is the one object printed.
int unit_silent() {
    return cli_fail(CLI_TRANSFER, "The unit answered none of the information reads.");
}

struct UnitOptions {
    std::string unit = "hid";
    std::string file;
};

void add_unit_option(CLI::App* cmd, UnitOptions* opts) {
    cli_add_unit_option(cmd, &opts->unit);
    cli_add_json_flags(cmd);
}

int run_info(const UnitOptions& o) {
    if (int code = cli_select_unit(o.unit); code != CLI_OK)
        return code;
    CliProgress progress;
    QV_Machine* m = nullptr;
    if (int code = open_unit(&progress, &m); code != CLI_OK)
        return code;
    bool answered = m->info_answers != 0;
    if (cli_json()) {
        if (answered)
            cli_print_json(cli_unit_json(m));
    } else {
        // The unit's texts are in its code page; the terminal gets its own.
        std::string text = cli_ansi_text(QV_Machine_infoText(m));
        std::fwrite(text.data(), 1, text.size(), stdout);
    }
    QV_Machine_release(m);
    return answered ? CLI_OK : unit_silent();
}

int run_service(const UnitOptions& o, bool readout) {
    if (int code = cli_select_unit(o.unit); code != CLI_OK)
        return code;
    CliProgress progress;
    QV_Machine* m = nullptr;
    if (int code = open_unit(&progress, &m); code != CLI_OK)
        return code;
    std::u16string path = utf8_to_wtext(o.file);
    QV_ServiceOutcome outcome =
        readout ? QV_Service_readServerData(m, path.c_str()) : QV_Service_dumpInfo(m, path.c_str());
    progress.finish();
    bool answered = m->info_answers != 0;
    QV_Machine_release(m);
    if (!answered && outcome.ok && cli_json())
        return unit_silent();
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
