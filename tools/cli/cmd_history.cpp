// trevik-cli history and backups: the update runs that reached a unit, and
// the backups of units' settings taken before them.
//
//   trevik-cli history [--json]
//   trevik-cli backups [--json]
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "update/unit_backup.h"
#include "update/update_history.h"
#include "support/stream.h"
#include "support/text.h"
#include "tools/cli/cli.h"
#include "tools/cli/safety.h"

namespace {

// ---- history ----

// A text field of an entry, or dash when it is missing or of another type;
// control characters shown escaped, so a name never adds a line or reaches
// the terminal as an escape sequence.
std::string text_or(const nlohmann::json& j, const char* key, const char* dash) {
    return j.is_object() && j.contains(key) && j[key].is_string()
               ? history_printable(j[key].get<std::string>())
               : dash;
}

// Which trevik-cli or trevik wrote a run: its own version, then the unit
// protocol's tool version the unit checks ("tool 1.0.0 (unit protocol
// 407)"); "?" for a part an older line does not hold.
std::string history_tool_text(const nlohmann::json& e) {
    return "tool " + text_or(e, "tool_release", "?") + " (unit protocol " +
           text_or(e, "tool_version", "?") + ")";
}

const nlohmann::json& object_or_empty(const nlohmann::json& j, const char* key) {
    static const nlohmann::json empty = nlohmann::json::object();
    return j.contains(key) && j[key].is_object() ? j[key] : empty;
}

// Prints the runs as they are read, so a long history never sits in memory
// whole; lines the tool did not write are counted and named on standard
// error.
int run_history() {
    std::string dir = trevik_state_directory();
    bool json = cli_json();
    bool pretty = json && cli_pretty();
    size_t shown = 0;
    auto print_run = [&](const nlohmann::json& e) {
        if (json) {
            std::string text =
                e.dump(pretty ? 2 : -1, ' ', false, nlohmann::json::error_handler_t::replace);
            if (pretty) {
                std::string indented;
                for (char c : text) {
                    indented.push_back(c);
                    if (c == '\n')
                        indented += "    ";
                }
                text = "    " + indented;
            }
            std::fputs(shown == 0 ? (pretty ? "\n" : "") : (pretty ? ",\n" : ","), stdout);
            std::fputs(text.c_str(), stdout);
        } else {
            const nlohmann::json& unit = object_or_empty(e, "unit");
            const nlohmann::json& after = object_or_empty(e, "after");
            std::printf("%s  %-11s  %s  %s  GPS %s -> %s  %s  %s  %s\n",
                        text_or(e, "time", "?").c_str(), text_or(e, "result", "?").c_str(),
                        text_or(unit, "client_id", "?").c_str(),
                        text_or(unit, "board", "?").c_str(), text_or(unit, "gps_date", "-").c_str(),
                        text_or(after, "gps_date", "-").c_str(), text_or(e, "package", "?").c_str(),
                        text_or(e, "text", "").c_str(), history_tool_text(e).c_str());
        }
        ++shown;
    };
    // A FIFO or a folder at the history's name is never read (a FIFO would
    // hold the listing until something writes to it).
    if (!dir.empty() && stream_path_special_kind(update_history_path(dir).c_str()))
        return cli_fail(CLI_FAILED, "The update history cannot be read: " +
                                        history_not_regular_text(update_history_path(dir)) + ".");
    if (json)
        std::fputs(pretty ? "{\n  \"ok\": true,\n  \"runs\": [" : "{\"ok\":true,\"runs\":[",
                   stdout);
    std::string refused;
    size_t skipped = dir.empty() ? 0 : update_history_each(dir, print_run, &refused);
    if (json) {
        std::printf(pretty ? "%s],\n  \"skipped_lines\": %zu\n}\n" : "%s],\"skipped_lines\":%zu}\n",
                    pretty && shown ? "\n  " : "", skipped);
    } else if (shown == 0) {
        std::printf("No update recorded yet.\n");
    }
    std::fflush(stdout);
    if (!refused.empty())
        std::fprintf(stderr, "Warning: %s.\n", refused.c_str());
    if (skipped)
        std::fprintf(stderr,
                     "%zu line%s of %s %s not a run as trevik-cli records it and %s skipped.\n",
                     skipped, skipped == 1 ? "" : "s",
                     history_printable(update_history_path(dir)).c_str(),
                     skipped == 1 ? "is" : "are", skipped == 1 ? "was" : "were");
    return CLI_OK;
}

// ---- backups ----

int run_backups() {
    std::string dir = trevik_state_directory();
    std::vector<UnitBackupEntry> list =
        dir.empty() ? std::vector<UnitBackupEntry>() : unit_backup_list(unit_backups_root(dir));
    if (cli_json()) {
        CliJson arr = CliJson::array();
        auto text_or_null = [](const std::string& t) {
            return t.empty() ? CliJson(nullptr) : CliJson(t);
        };
        for (const UnitBackupEntry& b : list) {
            bool known = !b.identity.key.empty();
            arr.push_back(
                {{"time", b.time},
                 {"unit", b.unit},
                 {"client_id", known ? CliJson(b.identity.client_id) : CliJson(nullptr)},
                 {"serial", text_or_null(b.identity.serial)},
                 {"unit_path", text_or_null(b.identity.path)},
                 {"folder", b.folder},
                 {"settings", b.has_settings ? CliJson(b.folder + "/" + BACKUP_SETTINGS_FILE)
                                             : CliJson(nullptr)},
                 {"holds_defaults", b.holds_defaults != 0},
                 {"defaults_reason", text_or_null(b.defaults_reason)},
                 {"offered", unit_backup_offered(list, b)}});
        }
        cli_print_json(CliJson{{"backups", arr}});
        return CLI_OK;
    }
    if (list.empty()) {
        std::printf("No backup yet.\n");
        return CLI_OK;
    }
    for (const UnitBackupEntry& b : list)
        std::printf("%s  %s  %s%s\n", b.time.c_str(), b.unit.c_str(), b.folder.c_str(),
                    unit_backup_mark_text(list, b).c_str());
    return CLI_OK;
}

} // namespace

void cli_setup_history(CLI::App& root, int* exit_code) {
    CLI::App* history =
        root.add_subcommand("history", "List the update runs that reached a unit, oldest first");
    cli_add_json_flags(history);
    history->callback([exit_code] { *exit_code = run_history(); });

    CLI::App* backups = root.add_subcommand(
        "backups", "List the backups of units' settings taken before updates (time, unit, folder)");
    cli_add_json_flags(backups);
    backups->callback([exit_code] { *exit_code = run_backups(); });
}
