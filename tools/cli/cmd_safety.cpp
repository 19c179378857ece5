// trevik-cli history, backups and verify, and the safety of `update` on the
// terminal: confirmation before writing, a backup of the unit's settings,
// interruption only at a report boundary, read-back and the update history.
//
//   trevik-cli history [--json]
//   trevik-cli backups [--json]
//   trevik-cli verify FILE [--national | --provinces LIST] [--unit hid|socket:PATH]
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <thread>

#include <nlohmann/json.hpp>

#include "common_t73/QV_Hid.h"
#include "common_t73/QV_Machine.h"
#include "config/config_run.h"
#include "update/failure_text.h"
#include "package/package.h"
#include "package/package_check.h"
#include "update/outcome.h"
#include "update/package_open.h"
#include "update/safe_update.h"
#include "update/unit_backup.h"
#include "update/unit_verify.h"
#include "update/update_history.h"
#include "support/build_settings.h"
#include "support/stream.h"
#include "support/text.h"
#include "tools/cli/cli.h"
#include "tools/cli/safety.h"
#include "tools/cli/unit_access.h"

namespace {

// The unit takes one 64-byte report per millisecond.
constexpr double BYTES_PER_SECOND = 64.0 * 1000.0;
// A second signal within this time stops the run.
constexpr int STOP_WINDOW_S = 5;

const char* const INTERRUPT_WARNING =
    "Stopping now leaves the unit's data incomplete: the update goes on. Send the signal again "
    "within 5 seconds to stop it anyway.";
const char* const INTERRUPT_STOPPING =
    "Stopping the update at the next report; the unit's data stays incomplete.";
const char* const READ_BACK_STOPPING =
    "Stopping the read-back at the next report; the update itself is written.";

// Watches SIGINT, SIGTERM and SIGHUP from the first write to the end of the
// run (its read-back and history line included). The signals are blocked in
// every thread and taken by this watcher, so no transfer is broken off by an
// interrupted system call: during the writes the first one only warns, a
// second within 5 seconds raises the stop flag the channel looks at between
// reports; during the read-back, which leaves nothing half-done, the first
// one raises it. Outside the run they act as usual.
class WriteSignals {
  public:
    // first is said at the first signal, which also raises asked(); second
    // when a second signal raises the stop flag.
    void start(const char* first = INTERRUPT_WARNING, const char* second = INTERRUPT_STOPPING) {
        first_text_ = first;
        second_text_ = second;
        asked_ = 0;
        stop_ = 0;
        done_ = false;
        checking_ = false;
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &set_, &saved_);
        thread_ = std::thread([this] { watch(); });
    }
    void end() {
        if (!thread_.joinable())
            return;
        done_ = true;
        thread_.join();
        pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    }
    // The writes are over: from now on one signal stops.
    void checking() { checking_ = true; }
    const volatile std::sig_atomic_t* flag() const { return &stop_; }
    const volatile std::sig_atomic_t* asked() const { return &asked_; }
    bool stopped() const { return stop_ != 0; }

  private:
    void watch() {
        bool warned = false;
        timespec first{};
        while (!done_) {
            timespec wait{0, 100 * 1000 * 1000};
            int sig = sigtimedwait(&set_, nullptr, &wait);
            if (sig <= 0)
                continue;
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (checking_) {
                if (!stop_)
                    CliProgress::printAside(std::string(READ_BACK_STOPPING) + "\n");
                stop_ = 1;
            } else if (warned && now.tv_sec - first.tv_sec <= STOP_WINDOW_S) {
                stop_ = 1;
                CliProgress::printAside(std::string(second_text_) + "\n");
            } else {
                warned = true;
                first = now;
                asked_ = 1;
                CliProgress::printAside(std::string(first_text_) + "\n");
            }
        }
    }

    volatile std::sig_atomic_t stop_ = 0;
    volatile std::sig_atomic_t asked_ = 0;
    const char* first_text_ = INTERRUPT_WARNING;
    const char* second_text_ = INTERRUPT_STOPPING;
    std::atomic<bool> done_{false};
    std::atomic<bool> checking_{false};
    sigset_t set_{};
    sigset_t saved_{};
    std::thread thread_;
};

std::string utf8(const std::u16string& s) {
    return wtext_to_utf8(s.c_str());
}

std::string seconds_text(uint64_t bytes) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "about %.0f s at 64 bytes per millisecond",
                  double(bytes) / BYTES_PER_SECOND + 0.5);
    return buf;
}

// What the run will write, for the question before it.
std::string plan_summary(const QV_Machine* m, const SafeUpdateGuard& g) {
    std::string out;
    const WritePlan& wp = g.writePlan();
    if (!g.planned()) {
        out += std::string(AREA_PROGRAM) + "      address 0x009000 length " +
               std::to_string(wp.program_only ? wp.program_size : 0) + "\n";
        out += std::string(AREA_BOOT) + "         kept\n";
    } else {
        const QV_WritePlan& p = wp.plan;
        out = write_plan_text(m, wp);
        out += std::string(AREA_BOOT) + "         " +
               (p.write_boot && p.boot_length ? "rewritten" : "kept") + "\n";
        out += std::string(AREA_PROGRAM) + "      " +
               (p.write_program && p.program_length ? "rewritten" : "kept") + "\n";
    }
    uint64_t bytes = write_plan_bytes(wp);
    out += "writes       " + std::to_string(bytes) + " bytes, " + seconds_text(bytes) + "\n";
    return out;
}

class CliGuard : public SafeUpdateGuard {
  public:
    // With shared_stop the signals are watched for several runs at once
    // (cli_stop_signals_begin) and this guard only reads the flag.
    CliGuard(SafeUpdateOptions o, bool yes, CliProgress* progress,
             const volatile std::sig_atomic_t* shared_stop = nullptr)
        : SafeUpdateGuard(std::move(o)), yes_(yes), progress_(progress),
          shared_(shared_stop != nullptr) {
        setStopFlag(shared_ ? shared_stop : signals_.flag());
        // With --json the areas go into the one object at the end.
        if (!cli_json())
            setVerifyReport(
                [](void*, const VerifyResult& r) {
                    std::printf("%s\n", verify_line(r).c_str());
                    std::fflush(stdout);
                },
                nullptr);
    }
    std::u16string beforeWrite(const UpdateWriteStep& step) override {
        std::u16string refusal = SafeUpdateGuard::beforeWrite(step);
        if (refusal.empty() && !shared_)
            signals_.start();
        return refusal;
    }
    void afterWrite(const UpdateWriteStep& step, UpdateOutcome* outcome) override {
        SafeUpdateGuard::afterWrite(step, outcome);
        signals_.end();
    }

  protected:
    void readBackBegins() override { signals_.checking(); }
    std::u16string confirm(const UpdateWriteStep& step) override {
        if (yes_ || !isatty(STDIN_FILENO))
            return u"";
        if (progress_)
            progress_->finish();
        std::fflush(stdout);
        std::fprintf(stderr, "\n%s", plan_summary(step.machine, *this).c_str());
        std::fprintf(stderr, "Write this into the unit? [y/N] ");
        std::string answer;
        if (std::getline(std::cin, answer) && (answer == "y" || answer == "Y" || answer == "yes"))
            return u"";
        return u"Not written: the update was not confirmed.";
    }

  private:
    bool yes_;
    CliProgress* progress_;
    bool shared_;
    WriteSignals signals_;
};

WriteSignals shared_signals;

// ---- history ----

// A text field of an entry, or dash when it is missing or of another type;
// control characters shown escaped, so a name never adds a line or reaches
// the terminal as an escape sequence.
std::string text_or(const nlohmann::json& j, const char* key, const char* dash) {
    return j.is_object() && j.contains(key) && j[key].is_string()
               ? history_printable(j[key].get<std::string>())
               : dash;
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
            std::printf("%s  %-11s  %s  %s  GPS %s -> %s  %s  %s\n",
                        text_or(e, "time", "?").c_str(), text_or(e, "result", "?").c_str(),
                        text_or(unit, "client_id", "?").c_str(),
                        text_or(unit, "board", "?").c_str(), text_or(unit, "gps_date", "-").c_str(),
                        text_or(after, "gps_date", "-").c_str(), text_or(e, "package", "?").c_str(),
                        text_or(e, "text", "").c_str());
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
                                             : CliJson(nullptr)}});
        }
        cli_print_json(CliJson{{"backups", arr}});
        return CLI_OK;
    }
    if (list.empty()) {
        std::printf("No backup yet.\n");
        return CLI_OK;
    }
    for (const UnitBackupEntry& b : list)
        std::printf("%s  %s  %s\n", b.time.c_str(), b.unit.c_str(), b.folder.c_str());
    return CLI_OK;
}

// ---- verify ----

struct VerifyOptions {
    std::string file;
    bool national = false;
    std::string provinces;
    std::string unit = "hid";
};

int run_verify(const VerifyOptions& o) {
    if (int code = cli_refuse_special_package(o.file); code != CLI_OK)
        return code;
    if (int code = cli_select_unit(o.unit); code != CLI_OK)
        return code;
    // A zip archive is opened the way update and inspect open it.
    OpenedPackage opened;
    if (!package_open(utf8_to_wtext(o.file),
                      utf8_to_wtext("verify-" + std::to_string(getpid()) + "-"), nullptr,
                      &opened))
        return cli_fail(CLI_BAD_PACKAGE, utf8(UPDATE_TEXT_OPEN_FAILED),
                        failure_text_package(opened.problem));
    Package* pkg = package_load(opened.path.c_str());
    if (!pkg || !package_is_for_customer(pkg, TOOL_CUSTOMER_NAME, 12)) {
        package_free(pkg);
        PackageCheck why = package_check(opened.path.c_str(), TOOL_CUSTOMER_NAME, 12);
        package_close(&opened);
        return cli_fail(CLI_BAD_PACKAGE, utf8(UPDATE_TEXT_OPEN_FAILED), failure_text_package(why));
    }
    // The package is in memory: what was unpacked goes at once.
    package_close(&opened);
    int province_mode = 0;
    if (pkg->province_count > 0) {
        int flags[UPDATE_PROVINCE_COUNT] = {};
        if (!o.national && o.provinces.empty()) {
            package_free(pkg);
            return cli_fail(CLI_USAGE, "This package carries the database per province: name what "
                                       "was written with --national or --provinces LIST.");
        }
        if (!o.national) {
            std::string why = parse_province_list(o.provinces, flags);
            if (!why.empty() || !package_merge_provinces(pkg, flags)) {
                package_free(pkg);
                return cli_fail(CLI_USAGE, why.empty() ? utf8(UPDATE_TEXT_OPEN_FAILED) : why);
            }
            province_mode = 1;
        }
    }
    CliProgress progress;
    QV_Machine* m = QV_Machine_create(nullptr, nullptr, cli_device_progress, &progress);
    if (!m) {
        package_free(pkg);
        return cli_fail(CLI_FAILED, "out of memory");
    }
    if (int code = cli_attach_unit(m); code != CLI_OK) {
        QV_Machine_release(m);
        package_free(pkg);
        return code;
    }
    std::vector<VerifyArea> areas = verify_areas(m, pkg, write_plan_compute(m, pkg, province_mode));
    if (areas.empty()) {
        QV_Machine_release(m);
        package_free(pkg);
        return cli_fail(CLI_FAILED,
                        "This package puts nothing on this unit that could be checked.");
    }
    cli_note("Reading back " + std::to_string(verify_total_bytes(areas)) + " bytes, " +
             seconds_text(verify_total_bytes(areas)) + ".");
    std::vector<VerifyResult> results = verify_read_back(m, areas, nullptr, nullptr);
    progress.finish();
    bool all = results.size() == areas.size();
    CliJson list = CliJson::array();
    for (const VerifyResult& r : results) {
        if (cli_json())
            list.push_back(verify_json(r));
        else
            std::printf("%s\n", verify_line(r).c_str());
        all = all && r.ok;
    }
    QV_Machine_release(m);
    package_free(pkg);
    if (all) {
        if (cli_json())
            cli_print_json(CliJson{{"areas", list}});
        return CLI_OK;
    }
    std::string why = results.size() == areas.size()
                          ? "The unit does not hold what the package puts there."
                          : "The read-back broke off.";
    // The areas checked belong with the failure.
    return cli_fail_with(CLI_VERIFY_MISMATCH, why, CliJson{{"areas", list}});
}

void setup(CLI::App& root, int* exit_code) {
    CLI::App* history =
        root.add_subcommand("history", "List the update runs that reached a unit, oldest first");
    cli_add_json_flags(history);
    history->callback([exit_code] { *exit_code = run_history(); });

    CLI::App* backups = root.add_subcommand(
        "backups", "List the backups of units' settings taken before updates (time, unit, folder)");
    cli_add_json_flags(backups);
    backups->callback([exit_code] { *exit_code = run_backups(); });

    auto vo = std::make_shared<VerifyOptions>();
    CLI::App* verify = root.add_subcommand(
        "verify",
        "Read back every area a package puts on the unit and compare it with what the unit must "
        "hold. Reading costs what writing costs: 64 bytes a report, about 1 s per 64 KB");
    verify->add_option("FILE", vo->file, "Update package (.dqv) that was written")->required();
    CLI::Option* national =
        verify->add_flag("--national", vo->national, "The national condensed package was written");
    CLI::Option* provinces = verify->add_option("--provinces", vo->provinces,
                                                "These provinces were written (names or numbers "
                                                "0-33, comma-separated)");
    national->excludes(provinces);
    cli_add_unit_option(verify, &vo->unit);
    cli_add_json_flags(verify);
    verify->callback([exit_code, vo] { *exit_code = run_verify(*vo); });
}

CliRegistrar registrar(setup);

} // namespace

int cli_refuse_special_package(const std::string& path) {
    const char* kind = stream_path_special_kind(path.c_str());
    if (!kind)
        return CLI_OK;
    return cli_fail(CLI_BAD_PACKAGE, utf8(UPDATE_TEXT_OPEN_FAILED),
                    FailureText{path + " is " + kind + ", not a regular file.",
                                "Name the package file itself."});
}

CliJson verify_json(const VerifyResult& r) {
    CliJson j{{"area", r.name}, {"address", r.address}, {"length", r.length}};
    j["result"] = r.stopped ? "stopped" : r.read_failed ? "read failed" : r.ok ? "ok" : "differs";
    j["first_difference"] =
        !r.ok && !r.read_failed && !r.stopped ? CliJson(r.first_difference) : CliJson(nullptr);
    return j;
}

void cli_safety_add_options(CLI::App* update, CliSafetyOptions* o) {
    update->add_flag("--no-backup", o->no_backup,
                     "Do not save the unit's settings before writing (saving reads about 1 s)");
    update->add_flag("--verify", o->verify,
                     "Read every written area back and compare it; reading costs what writing "
                     "costs (64 bytes a report)");
    update->add_flag("-y,--yes", o->yes, "Write without asking first on a terminal");
}

namespace {

SafeUpdateOptions safe_options(const CliSafetyOptions& options) {
    SafeUpdateOptions o;
    o.state_dir = trevik_state_directory();
    o.backup = !options.no_backup;
    o.verify = options.verify;
    o.tool_version = std::to_string(CONFIG_TOOL_VERSION);
    return o;
}

} // namespace

std::unique_ptr<UpdateGuard> cli_safety_guard(const CliSafetyOptions& options,
                                              CliProgress* progress) {
    return std::make_unique<CliGuard>(safe_options(options), options.yes, progress);
}

std::unique_ptr<UpdateGuard> cli_safety_guard_shared(const CliSafetyOptions& options,
                                                     CliProgress* progress,
                                                     const volatile std::sig_atomic_t* stop) {
    return std::make_unique<CliGuard>(safe_options(options), true, progress, stop);
}

const volatile std::sig_atomic_t* cli_stop_signals_begin() {
    shared_signals.start();
    return shared_signals.flag();
}

const volatile std::sig_atomic_t* cli_stop_signals_begin(const char* first_text,
                                                         const char* second_text,
                                                         const volatile std::sig_atomic_t** asked) {
    shared_signals.start(first_text, second_text);
    *asked = shared_signals.asked();
    return shared_signals.flag();
}

void cli_stop_signals_end() {
    shared_signals.end();
}

int cli_safety_finish(UpdateGuard* guard, const UpdateOutcome& outcome, int code,
                      std::string* why) {
    why->clear();
    auto* g = dynamic_cast<SafeUpdateGuard*>(guard);
    if (g)
        for (const std::string& w : g->warnings())
            std::fprintf(stderr, "Warning: %s\n", w.c_str());
    // A result for the user, not a log line: -q keeps it. Standard output
    // carries the result alone (the JSON report holds the note too).
    if (!outcome.notice.empty())
        CliProgress::printAside(utf8(outcome.notice) + "\n");
    return cli_safety_code(guard, outcome, code, why);
}

int cli_safety_code(UpdateGuard* guard, const UpdateOutcome& outcome, int code, std::string* why) {
    return cli_exit_code(update_guarded_exit(outcome, guard, cli_run_exit(code), why));
}

int cli_exit_code(RunExit e) {
    switch (e) {
    case RunExit::Done:
        return CLI_OK;
    case RunExit::Usage:
        return CLI_USAGE;
    case RunExit::BadPackage:
        return CLI_BAD_PACKAGE;
    case RunExit::Transfer:
        return CLI_TRANSFER;
    case RunExit::Interrupted:
        return CLI_INTERRUPTED;
    case RunExit::VerifyMismatch:
        return CLI_VERIFY_MISMATCH;
    case RunExit::Failed:
        break;
    }
    return CLI_FAILED;
}

RunExit cli_run_exit(int code) {
    switch (code) {
    case CLI_OK:
        return RunExit::Done;
    case CLI_USAGE:
        return RunExit::Usage;
    case CLI_BAD_PACKAGE:
        return RunExit::BadPackage;
    case CLI_TRANSFER:
        return RunExit::Transfer;
    case CLI_INTERRUPTED:
        return RunExit::Interrupted;
    default:
        return RunExit::Failed;
    }
}

void cli_safety_add_json(UpdateGuard* guard, CliJson* report) {
    auto* g = dynamic_cast<SafeUpdateGuard*>(guard);
    if (!g)
        return;
    if (!g->verifyResults().empty() || g->verifyStopped()) {
        CliJson areas = CliJson::array();
        bool all = true;
        for (const VerifyResult& r : g->verifyResults()) {
            areas.push_back(verify_json(r));
            all = all && r.ok;
        }
        (*report)["verified"] = g->verifyStopped() ? CliJson(nullptr) : CliJson(all);
        (*report)["areas"] = areas;
    }
    if (!g->warnings().empty())
        (*report)["warnings"] = g->warnings();
}
