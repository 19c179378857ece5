// trevik-cli update on several units at once: a shop's bench.
//
//   trevik-cli update FILE --unit A --unit B … [--all] [options of update]
//
// Each unit gets a thread of its own that carries out the whole run of a
// single unit (its lock, backup, plan, writes, read-back, history line), so
// a unit that fails, is unplugged or answers slowly costs only itself. What
// the units share is guarded here: the province answer (asked once), the
// stop signals (one watcher, one flag for every run) and standard error (one
// board of lines, progress_board.h). Opens go on side by side, each with its
// own reason when it fails.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <thread>

#include "common_t73/QV_Hid.h"
#include "common_t73/QV_Machine.h"
#include "update/outcome.h"
#include "update/safe_update.h"
#include "support/platform.h"
#include "support/text.h"
#include "tools/cli/ask.h"
#include "tools/cli/progress_board.h"
#include "tools/cli/unit_access.h"
#include "tools/cli/update_units.h"
#include "tools/cli/usb_hubs.h"

namespace {

using Clock = std::chrono::steady_clock;

// Width of the result column of the summary.
constexpr size_t SUMMARY_TEXT_MAX = 60;

struct BenchUnit {
    std::string source; // what --unit takes: hid:PATH or socket:PATH
    std::string open_path;
    std::string name; // source, and the USB serial where the unit has one
    std::string serial; // as enumerated when the run began; empty when none
};

// The result of one unit, for the summary and the JSON object.
struct UnitResult {
    int code = CLI_FAILED;
    std::string text;
    std::string shown; // the result column: text, or for a unit's fault never the package's words
    FailureText cause; // a failure's cause and next step, one line under its row
    double seconds = 0;
    std::string backup;
    CliJson object;
};

std::string shell_quoted(const std::string& s) {
    bool plain =
        !s.empty() && s.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTU"
                                          "VWXYZ0123456789-_./:,=+@%") == std::string::npos;
    if (plain)
        return s;
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// A file-name-safe form of the unit's source, for its run directory.
std::u16string run_prefix(const BenchUnit& u) {
    std::string s;
    for (char c : u.source)
        s += (std::isalnum(static_cast<unsigned char>(c)) || c == '-') ? c : '_';
    return utf8_to_wtext(s + "-");
}

class SharedProvinces {
  public:
    explicit SharedProvinces(Board* board) : board_(board) {}
    int answer(int* mode, int flags[PROVINCE_COUNT], std::string* refusal,
               const std::function<int(int*, int*)>& own) {
        std::lock_guard<std::mutex> guard(lock_);
        if (!answered_) {
            // The question takes the board's place meanwhile.
            board_->hold(true);
            result_ = own(&mode_, flags_);
            if (result_ != 0)
                refusal_ = *refusal;
            answered_ = true;
            board_->hold(false);
        }
        *mode = mode_;
        for (int i = 0; i < PROVINCE_COUNT; ++i)
            flags[i] = flags_[i];
        if (result_ != 0)
            *refusal = refusal_;
        return result_;
    }

  private:
    Board* board_;
    std::mutex lock_;
    bool answered_ = false;
    int result_ = 0;
    int mode_ = 0;
    int flags_[PROVINCE_COUNT] = {};
    std::string refusal_;
};

// Opens go on side by side: each worker's open reports its own error
// (kept per thread).
int open_unit(const BenchUnit& unit, QV_Machine* m, std::string* text) {
    QV_HidHandle* handle = QV_Hid_open(utf8_to_wtext(unit.open_path).c_str());
    if (!handle)
        return cli_unit_missing(text);
    if (!QV_Machine_attach(m, handle)) {
        *text = CLI_NO_HARDWARE;
        return CLI_NO_UNIT;
    }
    return CLI_OK;
}

std::string seconds_text(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f s", s);
    return buf;
}

// One unit's whole run on its own thread.
UnitResult update_one(const UpdateOptions& opt, const BenchUnit& unit, size_t index, Board* board,
                      SharedProvinces* provinces, const volatile std::sig_atomic_t* stop) {
    Clock::time_point start = Clock::now();
    auto aside = [&unit](const std::string& line) {
        CliProgress::printAside(unit.name + ": " + line + "\n");
    };
    CliProgress progress(
        [board, index](const std::string& line, bool whole) { board->line(index, line, whole); },
        board->terminal());
    UnitTarget target;
    target.progress = &progress;
    target.attach = [&unit](QV_Machine* m, std::string* text) { return open_unit(unit, m, text); };
    target.note = aside;
    target.guard = [&] {
        std::unique_ptr<UpdateGuard> guard = cli_safety_guard_shared(opt.safety, &progress, stop);
        if (auto* g = dynamic_cast<SafeUpdateGuard*>(guard.get()))
            g->setVerifyReport(
                [](void* user, const VerifyResult& r) {
                    (*static_cast<decltype(aside)*>(user))(verify_line(r));
                },
                &aside);
        return guard;
    };
    target.provinces = [provinces](int* mode, int flags[PROVINCE_COUNT], std::string* refusal,
                                   const std::function<int(int*, int*)>& own) {
        return provinces->answer(mode, flags, refusal, own);
    };
    target.run_prefix = run_prefix(unit);
    UnitUpdate u = cli_update_unit(opt, target);

    // The exit code and texts as the single unit's run gives them.
    UnitResult r;
    const UpdateOutcome& o = u.outcome;
    std::string why;
    FailureText cause;
    bool ran = u.code == CLI_OK && o.result != UPDATE_ABANDONED;
    if (u.code != CLI_OK) {
        r.code = u.code;
        r.text = u.text;
        cause = cli_unit_failure_why(r.code, r.text);
    } else if (o.result == UPDATE_ABANDONED) {
        r.code = CLI_USAGE;
        r.text = u.refusal;
    } else if (o.result != UPDATE_SUCCEEDED) {
        r.code = cli_safety_code(u.guard.get(), o, cli_update_failure_code(o), &why);
        r.text = wtext_to_utf8(u.box.c_str()) + (why.empty() ? "" : "\n" + why);
        cause = update_failure_cause(o, u.guard.get());
        if (r.code == CLI_INTERRUPTED) {
            // The user stopped it: the status of the write broken off is no
            // refusal of the unit's.
            r.text = why;
            cause = FailureText();
        }
    } else {
        r.code = cli_safety_code(u.guard.get(), o, CLI_OK, &why);
        r.text = opt.dry_run ? "planned" : wtext_to_utf8(u.box.c_str());
        if (r.code != CLI_OK)
            r.text = why; // written, but not confirmed or its check stopped
    }
    r.cause = cause;
    r.shown = r.text;
    // The run's texts keep the system's words; the table never lets a
    // unit's fault read as a bad package.
    if (r.code != CLI_OK && r.code != CLI_BAD_PACKAGE &&
        r.text.rfind(wtext_to_utf8(UPDATE_TEXT_OPEN_FAILED), 0) == 0)
        r.shown = wtext_to_utf8(UPDATE_TEXT_FAILED);
    auto* guard = dynamic_cast<SafeUpdateGuard*>(u.guard.get());
    if (guard) {
        r.backup = guard->backupFolder();
        for (const std::string& w : guard->warnings())
            aside("Warning: " + w);
    }
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();

    // The single unit's object, with the unit's name first.
    CliJson& j = r.object;
    j["unit"] = unit.name;
    j["ok"] = r.code == CLI_OK;
    if (r.code != CLI_OK)
        j["error"] = {{"code", r.code}, {"text", r.text}};
    if (r.code != CLI_OK && !cause.reason.empty()) {
        j["error"]["reason"] = cause.reason;
        j["error"]["hint"] = cause.hint;
    }
    if (ran && o.result == UPDATE_SUCCEEDED) {
        if (u.report.is_object())
            j.update(u.report);
        j["dry_run"] = opt.dry_run;
        if (opt.dry_run)
            j.update(cli_update_plan_json(o));
        else
            j["message"] = wtext_to_utf8(u.box.c_str());
    }
    if (!o.notice.empty())
        j["notice"] = wtext_to_utf8(o.notice.c_str());
    if (ran)
        cli_safety_add_json(u.guard.get(), &j);
    j["backup"] = r.backup.empty() ? CliJson(nullptr) : CliJson(r.backup);
    j["seconds"] = double(int64_t(r.seconds * 1000.0 + 0.5)) / 1000.0;

    std::string row = r.code == CLI_OK ? r.text : "failed (" + std::to_string(r.code) + ")";
    if (r.code == CLI_INTERRUPTED)
        row = "stopped by the user (" + std::to_string(r.code) + ")";
    else if (r.code != CLI_OK && !cause.reason.empty())
        row += ": " + cause.reason;
    // The board's last row of the unit: its outcome.
    board->setRow(index, row.substr(0, row.find('\n')) + "  " + seconds_text(r.seconds));
    if (!board->terminal())
        aside(row.substr(0, row.find('\n')));
    return r;
}

// The units the command names: each --unit, and with --all every attached
// HID unit. Returns CLI_OK or the exit code after reporting.
int collect_units(const UpdateOptions& opt, std::vector<BenchUnit>* units) {
    std::vector<QV_HidUnitInfo> attached = QV_Hid_enumerate();
    // Units by what they resolve to, with the spelling that named each.
    std::map<std::string, std::string> seen;
    auto add = [&](BenchUnit u) {
        if (seen.emplace(cli_unit_identity(u.source), u.source).second)
            units->push_back(std::move(u));
    };
    auto serial_of = [&attached](const std::string& path) {
        for (const QV_HidUnitInfo& a : attached)
            if (a.path == path)
                return a.serial;
        return std::string();
    };
    for (const std::string& given : opt.units) {
        int code = CLI_OK;
        std::string why;
        std::string source = cli_resolve_serial(given, &code, &why);
        if (source.empty())
            return cli_fail(code, why);
        BenchUnit u;
        u.source = source;
        if (source.rfind("socket:", 0) == 0 && source.size() > 7) {
            u.open_path = source;
            u.name = source;
        } else if (source.rfind("hid:", 0) == 0 && source.size() > 4) {
            u.open_path = source.substr(4);
            u.serial = serial_of(u.open_path);
            u.name = u.serial.empty() ? source : source + " " + u.serial;
        } else if (source == "hid" && opt.all) {
            continue; // every HID unit is taken anyway
        } else {
            return cli_fail(CLI_USAGE, "With several units, name each one: --unit hid:/dev/hidrawN "
                                       "or --unit socket:PATH (or --all), not \"" +
                                           source + "\"");
        }
        // One unit run twice at once would hold itself up: name it once.
        if (auto twice = seen.find(cli_unit_identity(source)); twice != seen.end())
            return cli_fail(CLI_USAGE, "--unit " + twice->second + " and --unit " + source +
                                           " name the same unit; name each unit once");
        add(u);
    }
    if (opt.all) {
        for (const QV_HidUnitInfo& a : attached) {
            BenchUnit u;
            u.source = "hid:" + a.path;
            u.open_path = a.path;
            u.serial = a.serial;
            u.name = a.serial.empty() ? u.source : u.source + " " + a.serial;
            add(u);
        }
    }
    if (units->empty())
        return cli_fail(CLI_NO_UNIT, CLI_NO_HARDWARE);
    std::vector<std::string> hid_paths;
    for (const BenchUnit& u : *units)
        if (u.source.rfind("hid:", 0) == 0)
            hid_paths.push_back(u.open_path);
    for (const std::string& w : usb_single_tt_warnings(hid_paths))
        cli_note("Warning: " + w);
    return CLI_OK;
}

// The question before anything is written, once for every unit.
bool confirm_all(const UpdateOptions& opt, const std::vector<BenchUnit>& units) {
    if (opt.safety.yes || opt.dry_run || cli_json() || !cli_can_ask())
        return true;
    std::string question =
        "\n" + opt.file + " will be written into " + std::to_string(units.size()) + " units:\n";
    for (const BenchUnit& u : units)
        question += "  " + u.name + "\n";
    return cli_ask_yes(question + "Write it into every one of them? [y/N] ");
}

// The command that runs the same update again on the units given.
std::string retry_command(const UpdateOptions& opt, const std::vector<const BenchUnit*>& units) {
    std::string cmd = "trevik-cli update " + shell_quoted(opt.file);
    if (opt.national)
        cmd += " --national";
    if (!opt.provinces.empty())
        cmd += " --provinces " + shell_quoted(opt.provinces);
    if (opt.dry_run)
        cmd += " --dry-run";
    if (opt.safety.no_backup)
        cmd += " --no-backup";
    if (opt.safety.verify)
        cmd += " --verify";
    if (opt.safety.yes)
        cmd += " -y";
    // A replug renumbers the nodes; the serial stays.
    for (const BenchUnit* u : units)
        cmd += " --unit " + shell_quoted(u->serial.empty() ? u->source : "serial:" + u->serial);
    return cmd;
}

void print_summary(const std::vector<BenchUnit>& units, const std::vector<UnitResult>& results) {
    size_t name_w = 4, text_w = 6;
    std::vector<std::string> texts;
    for (size_t i = 0; i < units.size(); ++i) {
        // The first line, and not all of a long one: the JSON object has it whole.
        const std::string& t = results[i].shown;
        std::string first = t.substr(0, t.find('\n'));
        first.erase(0, first.find_first_not_of(" "));
        if (first.size() > SUMMARY_TEXT_MAX) {
            size_t cut = SUMMARY_TEXT_MAX - 3;
            while (cut > 0 && (static_cast<unsigned char>(first[cut]) & 0xC0) == 0x80)
                --cut; // not inside a character
            first = first.substr(0, cut) + "...";
        }
        texts.push_back(first);
        name_w = std::max(name_w, units[i].name.size());
        text_w = std::max(text_w, texts.back().size());
    }
    std::printf("%-*s  %-*s  %-6s  %8s  %s\n", int(name_w), "unit", int(text_w), "result", "status",
                "time", "backup");
    for (size_t i = 0; i < units.size(); ++i) {
        const UnitResult& r = results[i];
        std::string status = r.code == CLI_OK ? "ok" : "exit " + std::to_string(r.code);
        std::printf("%-*s  %-*s  %-6s  %8s  %s\n", int(name_w), units[i].name.c_str(), int(text_w),
                    texts[i].c_str(), status.c_str(), seconds_text(r.seconds).c_str(),
                    r.backup.empty() ? "-" : r.backup.c_str());
        // A failure's cause under its row, whole: the column holds only a start.
        std::string why = failure_text_line(r.cause);
        if (r.code != CLI_OK && !why.empty())
            std::printf("%*s%s\n", int(name_w + 2), "", why.c_str());
    }
}

} // namespace

int cli_update_code_priority(int code) {
    // A stop by the user first, then a unit left half-written, then what
    // stopped a run before it wrote anything; nothing to do last.
    static const int order[] = {CLI_INTERRUPTED, CLI_TRANSFER,  CLI_FAILED,
                                CLI_BAD_PACKAGE, CLI_NO_ACCESS, CLI_UNIT_IN_USE,
                                CLI_NO_UNIT,     CLI_USAGE,     CLI_NOTHING_TO_DO};
    const int n = int(sizeof order / sizeof order[0]);
    for (int i = 0; i < n; ++i)
        if (order[i] == code)
            return n - i;
    return code == CLI_OK ? 0 : 1;
}

int cli_update_units(const UpdateOptions& opt) {
    if (opt.file.empty())
        return cli_fail(CLI_USAGE, "Several units at once need a package FILE.");
    std::vector<BenchUnit> units;
    if (int code = collect_units(opt, &units); code != CLI_OK)
        return code;
    if (!confirm_all(opt, units))
        return cli_fail(CLI_FAILED, "Not written: the update was not confirmed.");

    bool terminal = platform_is_terminal(2) && cli_verbosity() != CliVerbosity::Quiet;
    std::vector<std::string> names;
    for (const BenchUnit& u : units)
        names.push_back(u.name);
    Board board(names, terminal);
    SharedProvinces provinces(&board);
    CliProgress::setBoard([&board](bool before) { board.aside(before); });
    // Blocked here, the stop signals stay blocked in every worker.
    const volatile std::sig_atomic_t* stop = cli_stop_signals_begin();
    std::vector<UnitResult> results(units.size());
    std::vector<std::thread> workers;
    for (size_t i = 0; i < units.size(); ++i)
        workers.emplace_back(
            [&, i] { results[i] = update_one(opt, units[i], i, &board, &provinces, stop); });
    for (std::thread& w : workers)
        w.join();
    cli_stop_signals_end();
    CliProgress::setBoard(nullptr);
    board.close();

    int code = CLI_OK;
    std::vector<const BenchUnit*> failed;
    for (size_t i = 0; i < units.size(); ++i) {
        if (results[i].code == CLI_OK)
            continue;
        failed.push_back(&units[i]);
        if (cli_update_code_priority(results[i].code) > cli_update_code_priority(code))
            code = results[i].code;
    }
    std::string retry = failed.empty() ? "" : retry_command(opt, failed);
    if (cli_json()) {
        CliJson out;
        out["ok"] = code == CLI_OK;
        if (code != CLI_OK)
            out["error"] = {{"code", code},
                            {"text", std::to_string(failed.size()) + " of " +
                                         std::to_string(units.size()) + " units failed"}};
        CliJson list = CliJson::array();
        for (const UnitResult& r : results)
            list.push_back(r.object);
        out["units"] = list;
        out["retry"] = failed.empty() ? CliJson(nullptr) : CliJson(retry);
        cli_print_json(out);
        return code;
    }
    print_summary(units, results);
    if (!failed.empty())
        std::printf("Retry the failed units: %s\n", retry.c_str());
    std::fflush(stdout);
    for (const UnitResult& r : results)
        if (r.object.contains("notice")) {
            // The way back, once for all: the folders are in the table.
            cli_note("The units updated start their new program with their default settings. Once "
                     "one has restarted, bring its settings back with: trevik-cli settings apply "
                     "BACKUP/settings.json (its backup folder above).");
            break;
        }
    return code;
}
