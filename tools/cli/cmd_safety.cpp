// The safety of `update` on the terminal: confirmation before writing, a
// backup of the unit's settings, interruption only at a report boundary,
// read-back and the update history; and the registration of history,
// backups (cmd_history.cpp) and verify (cmd_verify.cpp).
#include <unistd.h>

#include <atomic>
#include <chrono>
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
#include "support/platform.h"
#include "tools/cli/ask.h"
#include "tools/cli/cli.h"
#include "tools/cli/safety.h"
#include "tools/cli/unit_access.h"
#include "trevik_version.h"

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
        watch_ = platform_stop_watch_begin();
        thread_ = std::thread([this] { watch(); });
    }
    void end() {
        if (!thread_.joinable())
            return;
        done_ = true;
        thread_.join();
        platform_stop_watch_end(watch_);
        watch_ = nullptr;
    }
    // The writes are over: from now on one signal stops.
    void checking() { checking_ = true; }
    const volatile std::sig_atomic_t* flag() const { return &stop_; }
    const volatile std::sig_atomic_t* asked() const { return &asked_; }
    bool stopped() const { return stop_ != 0; }

  private:
    void watch() {
        bool warned = false;
        int64_t first = 0;
        while (!done_) {
            if (platform_stop_watch_wait(watch_, 100) == 0)
                continue;
            // Whole seconds of the steady clock, as the window is counted.
            int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count();
            if (checking_) {
                if (!stop_)
                    CliProgress::printAside(std::string(READ_BACK_STOPPING) + "\n");
                stop_ = 1;
            } else if (warned && now - first <= STOP_WINDOW_S) {
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
    PlatformStopWatch* watch_ = nullptr;
    std::thread thread_;
};

std::string utf8(const std::u16string& s) {
    return wtext_to_utf8(s.c_str());
}

std::string seconds_text(uint64_t bytes) {
    return cli_seconds_text(bytes);
}

// What the run will write, for the question before it.
std::string plan_summary(const QV_Machine* m, const SafeUpdateGuard& g) {
    std::string out = "unit         " + cli_unit_written_text(m) + "\n";
    const WritePlan& wp = g.writePlan();
    if (!g.planned()) {
        out += std::string(AREA_PROGRAM) + "      address 0x009000 length " +
               std::to_string(wp.program_only ? wp.program_size : 0) + "\n";
        out += std::string(AREA_BOOT) + "         kept\n";
        out += write_plan_notes(wp);
    } else {
        const QV_WritePlan& p = wp.plan;
        out += write_plan_text(m, wp);
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
        if (yes_ || !cli_can_ask())
            return u"";
        if (progress_)
            progress_->finish();
        if (cli_ask_yes("\n" + plan_summary(step.machine, *this) +
                        "Write this into the unit? [y/N] "))
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

// The commands in the order --help lists them: history, backups, verify.
void setup(CLI::App& root, int* exit_code) {
    cli_setup_history(root, exit_code);
    cli_setup_verify(root, exit_code);
}

CliRegistrar registrar(setup);

} // namespace

std::string cli_seconds_text(uint64_t bytes) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "about %.0f s at 64 bytes per millisecond",
                  double(bytes) / BYTES_PER_SECOND + 0.5);
    return buf;
}

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
    o.tool_release = TREVIK_VERSION;
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
