#include "update/update_run.h"

#include <cstring>
#include <filesystem>
#include <system_error>

#include "common_t73/QV_Machine.h"
#include "package/package.h"
#include "update/package_open.h"
#include "update/update_history.h"
#include "support/archive.h"
#include "support/build_settings.h"
#include "support/log.h"
#include "support/temp_dir.h"
#include "support/text.h"
#include "support/platform.h"

namespace {

constexpr const char* UPDATE_LOG_SOURCE = "update_run.cpp";

// Loads the package from one open file and hashes that same file, so the
// hash is of the bytes loaded even when the name is given another file
// during the run. Falls back to loading by name where the open file has no
// name of its own (no /proc).
Package* load_and_hash(const std::u16string& path, std::string* sha256) {
    sha256->clear();
    int fd = platform_open(wtext_to_utf8(path.c_str()), PLATFORM_READ);
    if (fd < 0)
        return package_load(path.c_str());
    std::string self = platform_open_file_path(fd);
    Package* pkg = !self.empty() ? package_load(utf8_to_wtext(self).c_str())
                                 : package_load(path.c_str());
    if (pkg)
        *sha256 = history_fd_sha256(fd);
    platform_close(fd);
    return pkg;
}

} // namespace

int update_is_program_only(const Package* pkg) {
    if (!pkg || pkg->program_count != 1)
        return 0;
    const PackageSection* others[] = {
        &pkg->boot,       &pkg->radar,          &pkg->gps,
        &pkg->voice,      &pkg->voice_b,        &pkg->tool,
        &pkg->merged_gps, &pkg->province_voice, &pkg->province_voice_b,
        &pkg->voice_c,    &pkg->voice_cb,       &pkg->gps_d,
    };
    for (const PackageSection* s : others)
        if (s->size != 0)
            return 0;
    return pkg->province_count == 0 ? 1 : 0;
}

int update_unit_has_known_client(const QV_Machine* m) {
    if (!m)
        return 0;
    // The client id runs up to a 0 byte or erased flash (two 0xFF bytes),
    // at most 255 bytes.
    size_t n = 0;
    while (n < 255 && n < CLIENT_ID_SIZE) {
        uint8_t c = m->identity[n];
        if (c == 0)
            break;
        if (c == 0xFF && n + 1 < CLIENT_ID_SIZE && m->identity[n + 1] == 0xFF)
            break;
        ++n;
    }
    return known_customer_lookup(reinterpret_cast<const char*>(m->identity), n) >= 0 ? 1 : 0;
}

std::u16string update_failure_text(const std::u16string& message, int status) {
    if (status == 0)
        return message;
    char buf[32];
    std::snprintf(buf, sizeof buf, "  %d", status);
    return message + utf8_to_wtext(buf);
}

std::u16string update_download_failure_text(const std::u16string& text, const std::string& reason) {
    return reason.empty() ? text : text + u"\n" + utf8_to_wtext(reason);
}

UpdateRun::UpdateRun(UpdateHost* host, QV_Machine* machine, UpdateSource source)
    : host_(host), machine_(machine), source_(std::move(source)) {}

void UpdateRun::fail(const std::u16string& message, int status) {
    outcome_.result = UPDATE_FAILED;
    outcome_.message = message;
    outcome_.status = status;
}

void UpdateRun::removeTemporaryFiles() {
    // The chosen package is the user's file and is never removed; the run
    // directory goes once empty.
    temp_dir_remove_on_signal(nullptr, nullptr);
    package_remove_file(download_target_);
    package_remove_file(extracted_);
    if (!run_dir_.empty())
        platform_remove(wtext_to_utf8(run_dir_.c_str()));
    temp_dir_release_run(run_claim_);
    run_claim_ = -1;
    run_dir_.clear();
}

bool UpdateRun::claimRunDirectory(const std::u16string& run_dir, const std::u16string& top) {
    if (!package_claim_run_directory(run_dir, &run_claim_))
        return false;
    run_dir_ = run_dir != top ? run_dir : std::u16string();
    return true;
}

bool UpdateRun::unpackChosen(std::u16string* package_path) {
    enter(UpdateStage::Unpack);
    host_->setProgressText(UPDATE_TEXT_DECOMPRESSING);
    OpenedPackage opened;
    bool ok = package_open(source_.package_path, run_prefix_, unpackProgress(), &opened);
    // The run removes what was unpacked with its other temporary files.
    run_dir_ = opened.run_dir;
    run_claim_ = opened.claim;
    extracted_ = opened.extracted;
    archive_entry_ = opened.entry;
    if (!ok) {
        fail(UPDATE_TEXT_OPEN_FAILED);
        outcome_.package = opened.problem;
        return false;
    }
    *package_path = opened.path;
    return true;
}

PackageUnpackProgress UpdateRun::unpackProgress() {
    return [this](int kind, uint32_t value) {
        if (kind == 1)
            host_->setProgressRange(value);
        else if (kind == 2)
            host_->setProgressPos(value);
    };
}

bool UpdateRun::unpack(const std::u16string& archive, std::u16string* package_path) {
    enter(UpdateStage::Unpack);
    host_->setProgressText(UPDATE_TEXT_DECOMPRESSING);
    if (!package_unpack(archive, extracted_, run_dir_, unpackProgress(), &archive_entry_,
                        &outcome_.package)) {
        fail(UPDATE_TEXT_OPEN_FAILED);
        return false;
    }
    *package_path = extracted_;
    return true;
}

void UpdateRun::planOnly(const WritePlan& plan) {
    enter(UpdateStage::Plan);
    outcome_.planned = 1;
    outcome_.program_only = plan.program_only;
    if (plan.program_only && plan.result != PLAN_OK) {
        fail(UPDATE_TEXT_FAILED);
        return;
    }
    outcome_.plan_text = write_plan_text(machine_, plan);
    outcome_.write_plan = plan;
    write_plan_forget_data(&outcome_.write_plan);
    if (plan.result == PLAN_OK)
        outcome_.result = UPDATE_SUCCEEDED;
    else
        failPlan(plan.result);
}

void UpdateRun::failPlan(int result) {
    switch (result) {
    case PLAN_TOO_LARGE:
        fail(UPDATE_TEXT_TOO_LARGE, result);
        break;
    case PLAN_NO_VOICE:
        fail(UPDATE_TEXT_NO_SOUND, result);
        break;
    case PLAN_NO_GPS:
    case PLAN_SETTING_FAILED:
        fail(UPDATE_TEXT_OPEN_FAILED, result);
        break;
    case PLAN_NO_PROGRAM:
        // Found before any write; the text is the one the program write
        // would have ended the run with.
        fail(UPDATE_TEXT_FAILED, WRITE_PROGRAM_FAILED);
        break;
    default:
        // Not a result the check gives; never let it pass for success.
        fail(UPDATE_TEXT_FAILED, result);
        break;
    }
}

void UpdateRun::writeIntoUnit(Package* pkg, const WritePlan& plan) {
    enter(UpdateStage::Plan);
    if (plan.program_only) {
        // A program alone goes in with its own progress; the main setting
        // and the data regions stay as they are. One the unit cannot take
        // whole is refused before its header is written.
        if (plan.result != PLAN_OK) {
            fail(UPDATE_TEXT_FAILED);
            return;
        }
        enter(UpdateStage::Write);
        if (!QV_Machine_writeProgram(machine_, pkg, 1))
            fail(UPDATE_TEXT_FAILED);
        else
            outcome_.result = UPDATE_SUCCEEDED;
        return;
    }
    // The plan computed once for this run is the one written.
    QV_WritePlan written_plan = plan.plan;
    int result = QV_Machine_carryOutPlan(machine_, &written_plan, &plan.actions, plan.result);
    if (result != PLAN_OK) {
        failPlan(result);
        return;
    }
    enter(UpdateStage::Write);
    int written = QV_Machine_write(machine_, pkg, &written_plan);
    if (written != 0)
        fail(UPDATE_TEXT_FAILED, written);
    else
        outcome_.result = UPDATE_SUCCEEDED;
}

UpdateOutcome UpdateRun::run() {
    outcome_ = UpdateOutcome();
    download_target_.clear();
    extracted_.clear();
    archive_entry_.clear();
    if (!host_) {
        fail(UPDATE_TEXT_OPEN_FAILED);
        return outcome_;
    }
    host_->enableButtons(false);

    Package* pkg = nullptr;
    std::u16string package_path;
    std::string package_sha256;
    bool go_on = true;
    if (!machine_) {
        fail(UPDATE_TEXT_OPEN_FAILED);
        go_on = false;
    } else if (!source_.package_path.empty()) {
        package_path = source_.package_path;
        // A chosen zip archive is unpacked the way a downloaded one is;
        // the archive itself is the user's and stays.
        if (package_file_is_archive(package_path))
            go_on = unpackChosen(&package_path);
    } else if (!source_.list_form && !source_.download_url.empty()) {
        go_on = obtainFromDownload(&package_path);
    } else {
        fail(UPDATE_TEXT_OPEN_FAILED);
        go_on = false;
    }

    if (go_on) {
        enter(UpdateStage::Load);
        pkg = load_and_hash(package_path, &package_sha256);
        if (!pkg || !package_is_for_customer(pkg, TOOL_CUSTOMER_NAME, UPDATE_CUSTOMER_NAME_COMPARE)) {
            fail(UPDATE_TEXT_OPEN_FAILED);
            outcome_.package =
                package_check(package_path.c_str(), TOOL_CUSTOMER_NAME, UPDATE_CUSTOMER_NAME_COMPARE);
            go_on = false;
        }
    }

    int province_mode = 0;
    int flags[PROVINCE_COUNT] = {};
    if (go_on && pkg->province_count > 0) {
        int held[PROVINCE_COUNT];
        package_provinces_held(pkg, held);
        host_->provincesHeld(held);
        int mode = 0;
        if (host_->askProvince(&mode, flags) != 0) {
            // Declined: end quietly, as if nothing had been asked for.
            removeTemporaryFiles();
            package_free(pkg);
            host_->enableButtons(true);
            outcome_.result = UPDATE_ABANDONED;
            host_->runEnded();
            return outcome_;
        }
        enter(UpdateStage::Provinces);
        // Provinces the package holds nothing for would be written as an
        // empty GPS area and reported as done.
        if (mode && !package_holds_any_province(pkg, flags)) {
            fail(UPDATE_TEXT_PROVINCE_NOT_HELD);
            go_on = false;
        } else if (mode && !package_merge_provinces(pkg, flags)) {
            fail(UPDATE_TEXT_OPEN_FAILED);
            go_on = false;
        }
        province_mode = mode ? 1 : 0;
    }

    // A host that began closing while the package was fetched or the
    // province question was open gets no flash write started behind it:
    // it may end the process before a write could finish.
    if (go_on && !dry_run_ && host_->isClosing()) {
        fail(UPDATE_TEXT_FAILED);
        go_on = false;
    }

    // The plan, once: the guard, the writes and the dry run all read it.
    WritePlan plan;
    if (go_on)
        plan = write_plan_compute(machine_, pkg, province_mode);

    UpdateWriteStep step;
    bool guarded = go_on && !dry_run_ && guard_;
    try {
        if (guarded) {
            step.host = host_;
            step.machine = machine_;
            step.pkg = pkg;
            step.package_path = package_path;
            step.source =
                !source_.package_path.empty() ? source_.package_path : source_.download_url;
            step.archive_entry = archive_entry_;
            step.package_sha256 = package_sha256;
            step.has_province_table = pkg->province_count > 0 ? 1 : 0;
            step.province_mode = province_mode;
            for (int i = 0; i < PROVINCE_COUNT; ++i)
                step.province_flags[i] = flags[i];
            step.program_only = plan.program_only;
            step.plan = &plan;
            enter(UpdateStage::Guard);
            std::u16string refusal = guard_->beforeWrite(step);
            if (!refusal.empty()) {
                fail(refusal);
                go_on = false;
            }
        }

        if (go_on) {
            if (!dry_run_)
                host_->setProgressText(UPDATE_TEXT_UPDATING);
            if (dry_run_)
                planOnly(plan);
            else
                writeIntoUnit(pkg, plan);
        }
    } catch (const std::exception& e) {
        // A failure thrown on the way (memory, a host's own fault) ends the
        // run as a failure; the guard still records it below.
        log_error(UPDATE_LOG_SOURCE, __LINE__, "UpdateRun::run", "%s", e.what());
        fail(UPDATE_TEXT_FAILED);
    } catch (...) {
        fail(UPDATE_TEXT_FAILED);
    }
    if (guarded) {
        try {
            guard_->afterWrite(step, &outcome_);
        } catch (...) {
            fail(UPDATE_TEXT_FAILED);
        }
    }

    // A section the plan found missing may be one the file lost.
    if (outcome_.result == UPDATE_FAILED && outcome_.stage == UpdateStage::Plan && pkg &&
        outcome_.status != PLAN_TOO_LARGE && outcome_.status != PLAN_SETTING_FAILED) {
        PackageCheck check = package_check(package_path.c_str(), nullptr, 0);
        if (check.problem == PackageProblem::Damaged)
            outcome_.package = check;
    }

    package_free(pkg);
    removeTemporaryFiles();
    if (outcome_.result == UPDATE_SUCCEEDED) {
        outcome_.message.clear();
        outcome_.status = 0;
        if (!dry_run_) {
            outcome_.box_text = UPDATE_TEXT_SUCCESS;
            host_->showMessage(UPDATE_TEXT_SUCCESS, UPDATE_CAPTION, UpdateIcon::Information);
        }
        if (host_->isConnected())
            host_->enableButtons(true);
    } else {
        outcome_.box_text = update_failure_text(outcome_.message, outcome_.status);
        if (!host_->isClosing()) {
            host_->setProgressText(u"");
            host_->enableButtons(true);
            host_->showMessage(outcome_.box_text, u"", UpdateIcon::Error);
        }
    }
    host_->runEnded();
    return outcome_;
}

int update_worker(Thread* thread, void* argument) {
    (void)thread;
    if (argument)
        static_cast<UpdateRun*>(argument)->run();
    return 0;
}
