#include "update/safe_update.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <system_error>

#include "common_t73/QV_HidChannel.h"
#include "common_t73/QV_Machine.h"
#include "config/records.h"
#include "package/package.h"
#include "update/read_after.h"
#include "update/unit_backup.h"
#include "update/update_history.h"
#include "support/platform.h"
#include "support/text.h"

namespace {

// The areas a plan writes, for the history, under the plan's names.
nlohmann::json plan_areas(const WritePlan& plan) {
    nlohmann::json list = nlohmann::json::array();
    for (const PlanArea& a : plan.areas)
        list.push_back({{"name", a.name}, {"address", a.address}, {"length", a.length}});
    return list;
}

std::string utf8(const std::u16string& s) {
    return wtext_to_utf8(s.c_str());
}

// The path the user gave, made absolute against the working directory (a
// URL stays as it is).
std::string absolute_source(const std::u16string& source) {
    std::string text = utf8(source);
    if (text.empty() || text.find("://") != std::string::npos)
        return text;
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(text, ec);
    return ec ? text : p.lexically_normal().string();
}

// The lines kept ready for runs that end abnormally: one slot per guard in
// its armed span, written by that guard alone. A guard points its slot at
// its own path and line before it raises armed and changes them only after
// lowering it, so a signal handler reads them whole. Runs side by side
// (several units at once) each keep their own line.
struct AbnormalSlot {
    std::atomic<const void*> owner{nullptr};
    std::atomic<bool> armed{false};
    const char* path = nullptr;
    const char* line = nullptr;
    size_t size = 0;
};
constexpr int ABNORMAL_SLOTS = 64;
AbnormalSlot abnormal_slots[ABNORMAL_SLOTS];

// Appends the slot's line if it is armed; only calls a signal handler may
// make.
bool record_slot(AbnormalSlot& slot) {
    if (!slot.armed.exchange(false))
        return false;
    return update_history_append_line(slot.path, slot.line, slot.size) == 0;
}

std::terminate_handler previous_terminate = nullptr;

void on_terminate() {
    safe_update_record_abnormal_end();
    if (previous_terminate)
        previous_terminate();
    std::abort();
}

void on_abort() {
    safe_update_record_abnormal_end();
}

} // namespace

bool safe_update_record_abnormal_end() {
    bool any = false;
    for (AbnormalSlot& slot : abnormal_slots)
        any = record_slot(slot) || any;
    return any;
}

void safe_update_install_abnormal_end_recorder() {
    previous_terminate = std::set_terminate(on_terminate);
    platform_on_abort(on_abort);
}

std::u16string safe_update_backup_failed_text(const std::string& folder, const std::string& why) {
    std::string where = folder.empty() ? "" : " in " + folder;
    return utf8_to_wtext("The unit's settings could not be saved" + where + " (" + why +
                         "); nothing was written to the unit.");
}

std::u16string safe_update_restore_notice(const std::string& folder, bool has_settings) {
    std::string text = "The unit starts its new program with its default settings.";
    if (folder.empty())
        return utf8_to_wtext(text);
    if (has_settings)
        text += " Once it has restarted, bring its settings back with: trevik-cli settings "
                "apply " +
                folder + "/" + BACKUP_SETTINGS_FILE;
    else
        // A unit without a recognised parameter record shows no settings:
        // there were none to save, only its raw records.
        text += " It showed no settings before the update, so none were saved; its raw records "
                "are kept in " +
                folder;
    return utf8_to_wtext(text);
}

SafeUpdateGuard::SafeUpdateGuard(SafeUpdateOptions options) : options_(std::move(options)) {}

SafeUpdateGuard::~SafeUpdateGuard() {
    disarmAbnormalEnd();
    if (slot_ >= 0)
        abnormal_slots[slot_].owner.store(nullptr);
}

void SafeUpdateGuard::disarmAbnormalEnd() {
    if (slot_ >= 0)
        abnormal_slots[slot_].armed.store(false);
}

bool SafeUpdateGuard::recordAbnormalEnd() {
    return slot_ >= 0 && record_slot(abnormal_slots[slot_]);
}

std::u16string SafeUpdateGuard::beforeWrite(const UpdateWriteStep& step) {
    start_ = std::chrono::steady_clock::now();
    started_at_ = history_time_now();
    before_ = history_unit_state(step.machine);
    backup_folder_.clear();
    backup_has_settings_ = false;
    verify_results_.clear();
    verify_stopped_ = false;
    warnings_.clear();
    entry_ = nullptr;
    // The plan the run is about to carry out: it names the server-data
    // region the run resets and the areas to check afterwards. A plan that
    // fails is refused by the run itself before anything is written.
    plan_ = step.plan ? *step.plan
                      : write_plan_compute(step.machine, step.pkg, step.province_mode);
    planned_ = !plan_.program_only && plan_.result == PLAN_OK ? 1 : 0;
    declined_ = false;
    std::u16string refusal = confirm(step);
    if (!refusal.empty()) {
        declined_ = true;
        return refusal;
    }

    if (options_.backup) {
        if (step.host)
            step.host->setProgressText(BACKUP_TEXT_SAVING);
        uint32_t server_address = planned_ ? plan_.actions.server_address : 0;
        uint32_t server_size = planned_ ? plan_.actions.server_size : 0;
        std::string root = unit_backups_root(options_.state_dir);
        UnitBackupResult b =
            unit_backup_save(step.machine, root, server_address, server_size, std::time(nullptr));
        if (!b.error.empty()) {
            std::u16string text = safe_update_backup_failed_text(b.folder, b.error);
            UpdateOutcome refused;
            refused.stage = UpdateStage::Guard;
            refused.message = text;
            refused.box_text = text;
            // A unit that answered nothing is a run that could not begin
            // its writes, the status the history keeps for that.
            if (b.no_answer)
                refused.status = -1;
            afterWrite(step, &refused);
            return text;
        }
        backup_folder_ = b.folder;
        backup_has_settings_ = b.has_settings;
    }
    // From here on the unit may hold its program's defaults; a state
    // directory that cannot take the note cannot take the history either,
    // which says so.
    if (planned_ && plan_.plan.reset_parameters)
        unit_backup_note_reset(step.machine, unit_backups_root(options_.state_dir));
    if (stop_ && step.machine && step.machine->channel)
        step.machine->channel->stop = stop_;
    armAbnormalEnd(step);
    return u"";
}

nlohmann::json SafeUpdateGuard::startEntry(const UpdateWriteStep& step) const {
    nlohmann::json e;
    e["time"] = started_at_;
    e["tool_version"] = options_.tool_version;
    if (!options_.tool_release.empty())
        e["tool_release"] = options_.tool_release;
    e["unit"] = before_;
    e["after"] = nullptr;
    e["package"] = absolute_source(step.source.empty() ? step.package_path : step.source);
    if (!step.archive_entry.empty())
        e["package_entry"] = utf8(step.archive_entry);
    e["package_sha256"] =
        step.package_sha256.empty() ? nlohmann::json(nullptr) : nlohmann::json(step.package_sha256);
    if (!step.has_province_table) {
        e["provinces"] = nullptr;
    } else if (!step.province_mode) {
        e["provinces"] = "national";
    } else {
        nlohmann::json names = nlohmann::json::array();
        for (int i = 0; i < PROVINCE_COUNT; ++i)
            if (step.province_flags[i]) {
                char16_t wide[32] = {};
                ansi_to_wtext(wide, 32, PROVINCE_NAMES[i], -1);
                names.push_back(wtext_to_utf8(wide));
            }
        e["provinces"] = names;
    }
    e["areas"] = plan_areas(plan_);
    return e;
}

void SafeUpdateGuard::armAbnormalEnd(const UpdateWriteStep& step) {
    disarmAbnormalEnd();
    if (!make_private_directory(options_.state_dir).empty())
        return; // no history to keep it in
    if (slot_ < 0) {
        // A slot of this guard's own for as long as it lives; with every
        // slot taken (more runs at once than there are), no line is kept.
        for (int i = 0; i < ABNORMAL_SLOTS && slot_ < 0; ++i) {
            const void* none = nullptr;
            if (abnormal_slots[i].owner.compare_exchange_strong(none, this))
                slot_ = i;
        }
        if (slot_ < 0)
            return;
    }
    nlohmann::json e = startEntry(step);
    e["result"] = "failed";
    e["text"] = utf8(SAFE_UPDATE_TEXT_BROKEN);
    e["status"] = 0;
    e["backup"] = backup_folder_.empty() ? nlohmann::json(nullptr) : nlohmann::json(backup_folder_);
    abnormal_path_ = update_history_path(options_.state_dir);
    abnormal_line_ = update_history_line(e);
    AbnormalSlot& slot = abnormal_slots[slot_];
    slot.path = abnormal_path_.c_str();
    slot.line = abnormal_line_.data();
    slot.size = abnormal_line_.size();
    slot.armed.store(true);
}

void SafeUpdateGuard::afterWrite(const UpdateWriteStep& step, UpdateOutcome* outcome) {
    if (!entry_.is_null() || declined_)
        return; // already recorded (a refused backup), or never begun
    try {
        finishRun(step, outcome);
    } catch (...) {
        // The run's own line could not be made: the one kept ready for an
        // abnormal end stands in for it.
        if (step.machine && step.machine->channel)
            step.machine->channel->stop = nullptr;
        outcome->result = UPDATE_FAILED;
        outcome->message = SAFE_UPDATE_TEXT_BROKEN;
        outcome->status = 0;
        bool recorded = recordAbnormalEnd();
        try {
            if (!recorded)
                warnings_.push_back("The update history could not be written.");
        } catch (...) {
        }
    }
    disarmAbnormalEnd();
}

void SafeUpdateGuard::finishRun(const UpdateWriteStep& step, UpdateOutcome* outcome) {
    QV_Machine* m = step.machine;
    if (m && m->channel)
        m->channel->stop = nullptr;
    bool interrupted = stop_ && *stop_;
    if (interrupted)
        outcome->interrupted = 1;
    bool wrote = outcome->result == UPDATE_SUCCEEDED;

    // What the unit showed when the run read it after the writes: a full
    // run reads the unit's information once it has reset the parameter
    // sector, so the unit must answer and hold no parameter record.
    bool full = wrote && !step.program_only && planned_;
    bool read_after = full && QV_Machine_isConnected(m) &&
                      m->main_setting_state != MAIN_SETTING_UNREAD &&
                      run_end_read_whole(before_, plan_.plan, m);
    nlohmann::json param_reset = nullptr;
    if (read_after && plan_.plan.reset_parameters)
        param_reset = verify_parameter_reset_took(
            m->param, uint32_t(MACHINE_PARAM_SIZE),
            rec_u32(plan_.actions.main_setting + MS_OFF_PROGRAM_VERSION),
            plan_.actions.write_main_setting != 0, nullptr);
    if (full && !read_after)
        outcome->unconfirmed =
            u"The unit could not be read after the update: that its parameter record was reset "
            u"is not confirmed. Once it answers again, check it with trevik-cli verify.";
    else if (full && param_reset == false)
        outcome->unconfirmed = u"The unit still holds its old parameter record after the "
                               u"update: the parameter reset did not take.";

    if (wrote && options_.verify && !interrupted) {
        std::vector<VerifyArea> areas = verify_areas(m, step.pkg, plan_);
        // A stop during the read-back ends the check only: the writes are
        // complete.
        readBackBegins();
        if (stop_ && m && m->channel)
            m->channel->stop = stop_;
        verify_results_ = verify_read_back(m, areas, verify_fn_, verify_user_);
        if (m && m->channel)
            m->channel->stop = nullptr;
        bool all = verify_results_.size() == areas.size();
        for (const VerifyResult& r : verify_results_)
            all = all && r.ok;
        if (stop_ && *stop_ && !all) {
            verify_stopped_ = true;
            outcome->interrupted = 1;
        } else if (!all) {
            bool broke = !verify_results_.empty() && verify_results_.back().read_failed;
            outcome->result = UPDATE_FAILED;
            outcome->message = broke ? u"The read-back broke off: the unit did not answer."
                                     : u"The unit does not hold what was written.";
            outcome->status = 0;
        }
    }
    bool ok = outcome->result == UPDATE_SUCCEEDED;
    if (ok && planned_ && plan_.plan.reset_parameters)
        outcome->notice =
            unit_backup_restore_notice(unit_backups_root(options_.state_dir), backup_folder_);

    nlohmann::json e = startEntry(step);
    // A unit that could not be read after the run has no state to record.
    e["after"] = full && !read_after ? nlohmann::json(nullptr) : history_unit_state(m);
    if (full)
        e["confirmed"] = {
            {"writes", true}, {"unit_read_after", read_after}, {"parameter_reset", param_reset}};
    e["result"] = interrupted                     ? "interrupted"
                  : !ok                           ? "failed"
                  : !outcome->unconfirmed.empty() ? "unconfirmed"
                                                  : "succeeded";
    // The guard's own refusal is a sentence of its own, no device step's text.
    std::u16string text = ok ? std::u16string(UPDATE_TEXT_SUCCESS)
                          : outcome->stage == UpdateStage::Guard
                              ? outcome->message
                              : update_failure_text(outcome->message, outcome->status);
    e["text"] = utf8(text);
    if (!outcome->unconfirmed.empty())
        e["note"] = utf8(outcome->unconfirmed);
    e["status"] = outcome->status;
    if (verify_stopped_) {
        e["verified"] = nullptr;
        e["verify_finished"] = false;
    } else if (!verify_results_.empty()) {
        bool all = true;
        for (const VerifyResult& r : verify_results_)
            all = all && r.ok;
        e["verified"] = all;
    }
    e["duration_s"] =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    e["backup"] = backup_folder_.empty() ? nlohmann::json(nullptr) : nlohmann::json(backup_folder_);
    entry_ = e;
    std::string why = update_history_append(options_.state_dir, e);
    disarmAbnormalEnd();
    if (!why.empty())
        warnings_.push_back("The update history could not be written: " + why);
}
