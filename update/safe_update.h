// The work around an update run's writes that keeps a unit safe: a backup
// of its settings before anything is written, a read-back check after the
// writes when asked, and one line in the update history for every run that
// reached the unit. The window and trevik-cli hand one to their UpdateRun.
#pragma once

#include <csignal>
#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "update/write_plan.h"
#include "update/unit_verify.h"
#include "update/update_run.h"

struct SafeUpdateOptions {
    std::string state_dir; // where backups and history live
    bool backup = true;
    bool verify = false;
    std::string tool_version; // the unit protocol's tool version (407)
    std::string tool_release; // the program's own version (1.0.0); "" leaves it out
};

// The failure message of a run whose backup could not be saved.
std::u16string safe_update_backup_failed_text(const std::string& folder, const std::string& why);

// The note after a run that erased the unit's parameter sector; folder is
// the backup (empty when none was taken), has_settings whether it holds a
// settings.json to apply.
std::u16string safe_update_restore_notice(const std::string& folder, bool has_settings);

// The failure of a run that ended on an unexpected error (no memory left):
// what the run and its history line say.
inline constexpr const char16_t* SAFE_UPDATE_TEXT_BROKEN =
    u"The update ended on an internal error; the unit's data may be incomplete.";

// While a guarded run may be writing, the history line of a run that ends
// abnormally is kept ready, one for each run in that span (runs at once on
// several units each keep their own). This appends each of them (once); it
// makes only the calls a signal handler may make. Returns whether a line
// was written.
bool safe_update_record_abnormal_end();

// Has the process record that line before it ends on std::terminate (an
// exception nobody caught) or abort(). Called once at start by programs.
void safe_update_install_abnormal_end_recorder();

class SafeUpdateGuard : public UpdateGuard {
  public:
    explicit SafeUpdateGuard(SafeUpdateOptions options);
    ~SafeUpdateGuard() override;
    SafeUpdateGuard(const SafeUpdateGuard&) = delete;
    SafeUpdateGuard& operator=(const SafeUpdateGuard&) = delete;

    std::u16string beforeWrite(const UpdateWriteStep& step) override;
    void afterWrite(const UpdateWriteStep& step, UpdateOutcome* outcome) override;

    // A flag raised from outside (a signal handler) to stop the run; it is
    // put on the unit's channel for the writes and recorded in the history.
    void setStopFlag(const volatile std::sig_atomic_t* flag) { stop_ = flag; }
    // Called for each area as soon as the read-back checked it.
    void setVerifyReport(void (*fn)(void* user, const VerifyResult& r), void* user) {
        verify_fn_ = fn;
        verify_user_ = user;
    }

    // The plan the run carries out (the run's own, taken in beforeWrite;
    // planned() is false for a program-only package or a plan the run will
    // refuse).
    bool planned() const { return planned_ != 0; }
    const WritePlan& writePlan() const { return plan_; }

    const std::string& backupFolder() const { return backup_folder_; }
    const std::vector<VerifyResult>& verifyResults() const { return verify_results_; }
    // Whether the read-back was stopped from outside before it finished
    // (the writes were complete; the check is not).
    bool verifyStopped() const { return verify_stopped_; }
    // Things that went wrong without costing the update (history not
    // written), one text each.
    const std::vector<std::string>& warnings() const { return warnings_; }
    // The history line of the last run (empty before one ended).
    const nlohmann::json& lastEntry() const { return entry_; }

  protected:
    // Asked once the plan is known and before the backup reads the unit:
    // an empty text goes on; otherwise the run ends with that text, nothing
    // written and nothing recorded.
    virtual std::u16string confirm(const UpdateWriteStep& step) {
        (void)step;
        return u"";
    }
    // Called when the writes are over and the read-back begins: a stop
    // from now on ends only the check.
    virtual void readBackBegins() {}

  private:
    void finishRun(const UpdateWriteStep& step, UpdateOutcome* outcome);
    // The history line as far as it is known before the writes.
    nlohmann::json startEntry(const UpdateWriteStep& step) const;
    void armAbnormalEnd(const UpdateWriteStep& step);
    void disarmAbnormalEnd();
    // Appends this guard's own kept line, if armed.
    bool recordAbnormalEnd();

    bool declined_ = false;
    SafeUpdateOptions options_;
    const volatile std::sig_atomic_t* stop_ = nullptr;
    void (*verify_fn_)(void*, const VerifyResult&) = nullptr;
    void* verify_user_ = nullptr;
    std::chrono::steady_clock::time_point start_;
    std::string started_at_;
    nlohmann::json before_;
    int planned_ = 0;
    WritePlan plan_;
    std::string backup_folder_;
    bool backup_has_settings_ = false;
    std::vector<VerifyResult> verify_results_;
    bool verify_stopped_ = false;
    std::vector<std::string> warnings_;
    nlohmann::json entry_;
    // This guard's slot for its abnormal-end line (-1: none yet), and the
    // line and file the slot points at.
    int slot_ = -1;
    std::string abnormal_path_;
    std::string abnormal_line_;
};
