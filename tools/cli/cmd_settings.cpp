// trevik-cli settings: the attached unit's settings as the configuration
// dialog shows them, `settings set KEY=VALUE ...`, which changes them with
// the dialog's checks and writes them the way the Setting button does, and
// `settings apply FILE`, which does the same with a settings.json.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common_t73/QV_Hid.h"
#include "common_t73/QV_HidChannel.h"
#include "common_t73/QV_Machine.h"
#include "config/config_keys.h"
#include "config/config_model.h"
#include "config/config_run.h"
#include "config/machine_unit.h"
#include "config/records.h"
#include "config/settings_json.h"
#include "update/unit_backup.h"
#include "update/update_history.h"
#include "support/platform.h"
#include "support/text.h"
#include "tools/cli/ask.h"
#include "tools/cli/cli.h"
#include "tools/cli/safety.h"
#include "tools/cli/unit_access.h"

namespace {

std::string utf8(const std::u16string& s) {
    return wtext_to_utf8(s.c_str());
}

struct SettingsOptions {
    std::string unit = "hid";
    bool yes = false;           // -y: write without asking
    bool default_radar = false; // --default-radar: the radar question's yes
    std::vector<std::string> assignments;
    std::string apply_file;  // settings apply FILE
    bool other_unit = false; // settings apply --other-unit
};

// Message boxes of the run on the terminal, shown once the run is over
// (flush): the outcome on standard output, errors on standard error.
// The run's one question, the radar module's: yes with --default-radar or
// -y, else asked on the terminal, and off one not confirmed.
class TerminalPrompter : public ConfigPrompter {
  public:
    explicit TerminalPrompter(bool yes) : yes_(yes) {}
    void message(const std::string& text, const std::string&, ConfigIcon icon) override {
        held_.emplace_back(text, icon == CONFIG_ICON_ERROR);
    }
    void flush() {
        // With --json standard output holds the one object alone.
        for (const auto& [text, error] : held_)
            std::fprintf(error || cli_json() ? stderr : stdout, "%s\n", text.c_str());
        held_.clear();
    }
    bool ask_yes_no(const std::string& text, const std::string&) override {
        if (yes_)
            return true;
        if (!cli_can_ask()) {
            std::fprintf(stderr, "%s\n(not confirmed: pass --default-radar to go on)\n",
                         text.c_str());
            return false;
        }
        return cli_ask_yes(text + " [y/N] ");
    }

  private:
    bool yes_;
    std::vector<std::pair<std::string, bool>> held_;
};

void print_view(const ConfigView& v, int radar_type) {
    auto shown = [](bool visible, const std::string& value) {
        return visible ? value : std::string("(not on this unit)");
    };
    std::printf("%s\n", utf8(v.caption).c_str());
    std::printf("kind: %d\n", v.kind);
    if (v.kind > 2 && radar_type < 0)
        std::printf("radar type: not identified by the unit\n");
    std::printf("bands:%s\n", v.bands.empty() ? " none" : "");
    for (size_t i = 0; i < v.bands.size(); ++i)
        std::printf("  band.%zu [%c] %s\n", i, v.bands[i].checked ? 'x' : ' ',
                    v.bands[i].text.c_str());
    std::printf("freq_display: %s\n",
                shown(v.freq_display_visible, v.freq_display_checked ? "on" : "off").c_str());
    std::printf("twelve_hour: %s\n",
                shown(v.twelve_hour_present, v.twelve_hour_checked ? "on" : "off").c_str());
    std::printf("time_zone: %s\n", shown(v.time_zone_visible, std::to_string(v.time_zone)).c_str());
    std::printf("day_hour: %s\n", shown(v.day_visible, std::to_string(v.day_hour)).c_str());
    std::printf("night_hour: %s\n", shown(v.night_visible, std::to_string(v.night_hour)).c_str());
    if (!v.gprs.present) {
        std::printf("gprs: (not on this unit)\n");
        return;
    }
    const GprsValues& g = v.gprs;
    const char* lock = g.row_editable ? "" : " (set by the carrier)";
    if (g.row == GPRS_UNIT_ROW)
        std::printf("carrier: the unit's own (%s)\n", utf8(g.unit_apn).c_str());
    else
        std::printf("carrier: %d %s\n", g.row, utf8(CARRIER_PRESETS[g.row].name).c_str());
    std::printf("apn: %s%s\n", utf8(g.apn).c_str(), lock);
    std::printf("user: %s%s\n", utf8(g.user).c_str(), lock);
    std::printf("password: %s%s\n", utf8(g.password).c_str(), lock);
    std::printf("unit apn: %s\n", utf8(g.unit_apn).c_str());
    const char* fixed = g.server_port_editable ? "" : " (fixed on this unit)";
    std::printf("server: %s%s\n", utf8(g.server).c_str(), fixed);
    std::printf("port: %s%s\n", utf8(g.port).c_str(), fixed);
}

const char* const SETTINGS_STOP_FIRST =
    "Stopping once the record being written is whole; the settings not written by then stay as "
    "they were. Send the signal again within 5 seconds to stop at once.";
const char* const SETTINGS_STOP_SECOND =
    "Stopping at the next report; the record being written stays incomplete.";

std::vector<std::string> keys_of(const ConfigValues& kv) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : kv)
        keys.push_back(key);
    return keys;
}

// Whether a setting is kept in the server settings of the main-setting
// block rather than in the parameter record (kind 3 keeps all there).
bool in_main_setting_block(const std::string& key, int kind) {
    std::string k = config_key_canonical(key);
    return kind != 3 && (k == "carrier" || k == "apn" || k == "user" || k == "password" ||
                         k == "server" || k == "port");
}

// A run a signal ended: what each record got, named with its settings, on
// standard error and in the failure object (exit 8).
int report_stop(const ConfigWrites& w, int kind, const std::vector<std::string>& keys) {
    std::vector<std::string> param_keys, block_keys;
    for (const std::string& k : keys)
        (in_main_setting_block(k, kind) ? block_keys : param_keys).push_back(k);
    // Records written, broken off (the unit may hold them incomplete), not
    // begun.
    std::vector<std::string> parts[3], applied, not_written;
    auto record = [&](int state, const char* name, const std::vector<std::string>& ks) {
        std::string text = name;
        for (size_t i = 0; i < ks.size(); ++i)
            text += (i ? ", " : " (") + ks[i];
        text += ks.empty() ? "" : ")";
        parts[state == 1 ? 0 : state == 0 ? 1 : 2].push_back(text);
        std::vector<std::string>& to = state == 1 ? applied : not_written;
        to.insert(to.end(), ks.begin(), ks.end());
    };
    record(w.param, "the parameter record", param_keys);
    if (w.block_due)
        record(w.block, "the main-setting block", block_keys);
    std::string text = "The settings were stopped";
    if (w.param < 0) {
        text += " before anything was written.";
    } else {
        const char* const heads[3] = {"written: ", "broken off (the unit may hold it incomplete): ",
                                      "not written: "};
        std::string sep = ": ";
        for (int i = 0; i < 3; ++i)
            for (size_t j = 0; j < parts[i].size(); ++j) {
                text += (j ? std::string(", ") : sep + heads[i]) + parts[i][j];
                sep = "; ";
            }
        text += ".";
    }
    return cli_fail_with(CLI_INTERRUPTED, text,
                         CliJson{{"written", w.param == 1 || w.block == 1},
                                 {"applied", applied},
                                 {"not_written", not_written}});
}

// Opens the first unit of the chosen source, or says why not.
int open_unit(QV_Machine** out) {
    *out = nullptr;
    QV_Machine* m = QV_Machine_create(nullptr, nullptr, nullptr, nullptr);
    if (!m)
        return cli_fail(CLI_FAILED, "out of memory");
    if (int code = cli_attach_unit(m); code != CLI_OK) {
        QV_Machine_release(m);
        return code;
    }
    *out = m;
    return CLI_OK;
}

int run_settings(const SettingsOptions& o, bool set, bool apply = false) {
    ConfigValues kv;
    // settings apply: the file's settings, each taken on its own so that
    // one the unit cannot take is named and the others still go in.
    int file_kind = 0;
    std::vector<std::string> wrong_type;
    std::string apply_file = o.apply_file;
    if (apply) {
        std::string text, why;
        if (int code = config_settings_read_file(o.apply_file, &text, &why, &apply_file))
            return cli_fail(code == 2 ? CLI_USAGE : CLI_FAILED, why);
        ConfigSettingsFile f = config_settings_from_json_text(text);
        if (!f.ok)
            return cli_fail(
                CLI_USAGE, apply_file + ": no settings of a unit (as settings --json prints them)");
        // A text the unit's code page cannot hold would be stored with '?'
        // in its place, one longer than its field cut short: the file is
        // refused before anything is written.
        if (std::string e = config_values_refusal(f.kind, f.values); !e.empty())
            return cli_fail(CLI_FAILED, e + "; nothing of " + apply_file + " was applied");
        file_kind = f.kind;
        kv = std::move(f.values);
        wrong_type = std::move(f.wrong_type);
        set = true;
    }
    for (const std::string& a : o.assignments) {
        size_t eq = a.find('=');
        std::string key = a.substr(0, eq);
        if (eq == std::string::npos || config_key_canonical(key).empty())
            return cli_fail(CLI_USAGE,
                            "\"" + a +
                                "\" is not KEY=VALUE with a known key (band.N, carrier, apn, user, "
                                "password, server, port, time_zone, day_hour, night_hour, "
                                "freq_display, twelve_hour)");
        kv.emplace_back(key, a.substr(eq + 1));
    }
    if (set && !apply && kv.empty())
        return cli_fail(CLI_USAGE, "settings set needs at least one KEY=VALUE");
    if (int code = cli_select_unit(o.unit); code != CLI_OK)
        return code;
    if (set || apply)
        if (int code = cli_refuse_unnamed_unit(o.unit))
            return code;
    QV_Machine* m = nullptr;
    if (int code = open_unit(&m); code != CLI_OK)
        return code;
    MachineConfigUnit unit(m);
    TerminalPrompter prompter(o.yes || o.default_radar);
    int result = CLI_OK;

    if (!set) {
        ConfigRunResult check = config_run_precheck(unit);
        if (check == CONFIG_RUN_NOT_INITIALISED || check == CONFIG_RUN_UPGRADE_TOOL) {
            QV_Machine_release(m);
            return cli_fail(CLI_FAILED, check == CONFIG_RUN_NOT_INITIALISED ? CONFIG_NOT_INITIALISED
                                                                            : CONFIG_UPGRADE_TOOL);
        }
        if (check == CONFIG_RUN_READ_FAILED) {
            // Without the block the GPRS settings and the caption would be
            // shown wrong.
            QV_Machine_release(m);
            return cli_fail(CLI_TRANSFER, "the unit's main-setting block could not be read");
        }
        ConfigView v = config_view_load(u"Setting", int(m->boot_version), m->param_kind, m->param,
                                        m->main_setting, m->server_settings);
        int radar_type = param_radar_type(m->param, m->param_kind);
        if (cli_json())
            cli_print_json(config_settings_json(v, int(m->boot_version), radar_type));
        else
            print_view(v, radar_type);
        QV_Machine_release(m);
        return CLI_OK;
    }

    // A backup names the unit it was taken from: units of one customer
    // share their client id, and one unit's APN and user do not belong on
    // another.
    if (apply) {
        size_t slash = apply_file.rfind('/');
        UnitIdentity from = unit_backup_identity(
            slash == std::string::npos ? "." : apply_file.substr(0, slash ? slash : 1));
        UnitIdentity here = unit_identity_of(m);
        if (!from.key.empty() && from.key != here.key && !o.other_unit) {
            std::string text = apply_file + " is a backup of " + unit_identity_text(from) +
                               ", the attached unit is " + unit_identity_text(here);
            // Only --other-unit says yes to this one: -y, which asks
            // nothing, leaves the backup unapplied.
            if (o.yes || !cli_can_ask() || !cli_ask_yes(text + ". Apply it anyway? [y/N] ")) {
                QV_Machine_release(m);
                return cli_fail(CLI_FAILED, text + ": nothing applied (--other-unit applies it)");
            }
        }
    }
    if (apply && file_kind != m->param_kind) {
        std::string why = apply_file + " holds the settings of a kind " +
                          std::to_string(file_kind) +
                          " parameter record, this unit's record is of kind " +
                          std::to_string(m->param_kind) + ": nothing applied";
        QV_Machine_release(m);
        return cli_fail(CLI_FAILED, why);
    }
    std::string refusal;
    std::vector<std::string> not_applied, applied;
    ConfigEditor editor = [&](const ConfigEditArgs& a) {
        ConfigView v = config_view_load(a.title_prefix, a.boot_version, a.kind, a.param,
                                        a.main_setting, a.server_settings);
        // Only what is given changes: the GPRS fields stay as the unit has
        // them unless a GPRS key is given.
        ConfigInput in = config_input_unchanged(v);
        if (apply) {
            not_applied = wrong_type;
            for (std::string& why : config_apply_each(v, in, kv, &applied))
                not_applied.push_back(std::move(why));
        } else {
            refusal = config_set_values(v, in, kv);
        }
        if (!refusal.empty())
            return 2;
        ConfigOkResult ok = config_apply(v, in, a.param, a.server_settings);
        if (!ok.accepted) {
            refusal = ok.message;
            return 2;
        }
        return 1;
    };
    // A signal ends the run between whole records (a second one at once,
    // as update's writes stop); what was written is said.
    const volatile std::sig_atomic_t* asked = nullptr;
    const volatile std::sig_atomic_t* stop =
        cli_stop_signals_begin(SETTINGS_STOP_FIRST, SETTINGS_STOP_SECOND, &asked);
    if (m->channel)
        m->channel->stop = stop;
    const int kind = m->param_kind;
    ConfigWrites writes;
    ConfigRunResult r = config_run(unit, prompter, editor, asked, &writes);
    if (m->channel)
        m->channel->stop = nullptr;
    // The unit holds settings of the user's again: its next backup is no
    // backup of defaults.
    if (writes.param == 1)
        unit_backup_note_settings_written(m, unit_backups_root(trevik_state_directory()));
    cli_stop_signals_end();
    prompter.flush();
    for (const std::string& why : not_applied)
        std::fprintf(stderr, "not applied: %s\n", why.c_str());
    if (r == CONFIG_RUN_STOPPED) {
        result = report_stop(writes, kind, apply ? applied : keys_of(kv));
        QV_Machine_release(m);
        return result;
    }
    std::string why = refusal;
    if (r == CONFIG_RUN_UNIT_GONE)
        why += (why.empty() ? "" : "\n") + std::string(CONFIG_NO_HARDWARE);
    if (r == CONFIG_RUN_UNIT_GONE || r == CONFIG_RUN_WRITE_FAILED || r == CONFIG_RUN_READ_FAILED)
        result = cli_fail(CLI_TRANSFER, why);
    else if (r != CONFIG_RUN_SUCCESS)
        result = cli_fail(CLI_FAILED, why);
    else {
        if (!refusal.empty())
            std::fprintf(stderr, "%s\n", refusal.c_str());
        // A file applied in part is not what was asked for; the object
        // says what the unit now holds from it.
        if (!not_applied.empty()) {
            std::string why = "Not every setting of " + apply_file + " was applied";
            if (!cli_json()) {
                result = cli_fail(CLI_FAILED, why);
            } else {
                CliProgress::printAside(why + "\n");
                cli_print_json(
                    CliJson{{"ok", false},
                            {"error", {{"code", CLI_FAILED}, {"text", why}}},
                            {"written", refusal.empty()},
                            {"applied", refusal.empty() ? applied : std::vector<std::string>()},
                            {"not_applied", not_applied}});
                result = CLI_FAILED;
            }
        } else if (refusal.empty() && cli_json()) {
            cli_print_json(CliJson{{"written", true}});
        }
    }
    QV_Machine_release(m);
    return result;
}

void setup(CLI::App& root, int* exit_code) {
    static SettingsOptions opts;
    // What set and apply share: -y as update has it, the radar module's
    // answer by its own name, and --json, which they print too.
    auto add_write_options = [](CLI::App* cmd) {
        cmd->add_flag("-y,--yes", opts.yes,
                      "Write without asking first on a terminal (--default-radar included; a "
                      "backup of another unit still needs --other-unit)");
        cmd->add_flag("--default-radar", opts.default_radar,
                      "Write with the default radar configuration when the unit cannot identify "
                      "its radar module, without asking");
        cli_add_json_flags(cmd);
    };
    CLI::App* settings = root.add_subcommand(
        "settings", "Print the attached unit's settings as the configuration dialog shows them");
    cli_add_unit_option(settings, &opts.unit);
    cli_add_json_flags(settings);
    CLI::App* set = settings->add_subcommand(
        "set", "Change settings with the dialog's checks and write them to the unit");
    set->add_option("ASSIGNMENTS", opts.assignments,
                    "KEY=VALUE: band.N=1|0, freq_display=1|0, twelve_hour=1|0, "
                    "time_zone=-12..13, day_hour=3..10, night_hour=15..23, carrier=ROW|NAME, "
                    "apn=, user=, password=, server=, port=1..65535")
        ->required();
    cli_add_unit_option(set, &opts.unit);
    add_write_options(set);
    CLI::App* apply = settings->add_subcommand(
        "apply", "Apply a settings.json (from a backup or from settings --json) with the checks "
                 "and writes of set; names each setting it could not apply (exit 1)");
    apply
        ->add_option("FILE", opts.apply_file,
                     "settings.json, or a backup folder as `trevik-cli backups` prints it")
        ->required();
    cli_add_unit_option(apply, &opts.unit);
    add_write_options(apply);
    apply->add_flag("--other-unit", opts.other_unit,
                    "Apply a backup that was taken from another unit (same client id, another "
                    "serial or place)");
    // The keys once, in the help of settings and of set (and so in the
    // man page), from the table the checks use.
    std::string footer = config_keys_help() + "\n" + CLI_EXIT_CODES_TEXT;
    settings->footer(footer);
    set->footer(footer);
    settings->callback([exit_code, set, apply] {
        *exit_code = run_settings(opts, set->parsed(), apply->parsed());
    });
}

const CliRegistrar registrar(setup);

} // namespace
