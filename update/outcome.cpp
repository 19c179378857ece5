#include "update/outcome.h"

#include "online/VersionCheck.h"
#include "online/messages.h"
#include "update/safe_update.h"
#include "support/text.h"

RunExit update_run_exit(const UpdateOutcome& o) {
    if (o.result == UPDATE_SUCCEEDED)
        return RunExit::Done;
    if (o.result == UPDATE_ABANDONED)
        return RunExit::Usage;
    switch (o.stage) {
    case UpdateStage::Unpack:
    case UpdateStage::Load:
        return RunExit::BadPackage;
    case UpdateStage::Plan:
        // The main-setting block is the one write the check makes itself.
        return o.status == PLAN_SETTING_FAILED ? RunExit::Transfer : RunExit::Failed;
    case UpdateStage::Write:
        return RunExit::Transfer;
    default:
        return RunExit::Failed;
    }
}

RunExit update_guarded_exit(const UpdateOutcome& o, const UpdateGuard* guard, RunExit base,
                            std::string* why) {
    why->clear();
    const auto* g = dynamic_cast<const SafeUpdateGuard*>(guard);
    if (g && g->verifyStopped()) {
        *why = RUN_TEXT_READ_BACK_STOPPED;
        return RunExit::Interrupted;
    }
    if (o.interrupted) {
        *why = RUN_TEXT_STOPPED;
        return RunExit::Interrupted;
    }
    if (base == RunExit::Done && !o.unconfirmed.empty()) {
        *why = wtext_to_utf8(o.unconfirmed.c_str());
        return RunExit::Transfer;
    }
    // A difference the read-back found ends the run as verify ends.
    if (base != RunExit::Done && g && !g->verifyResults().empty())
        return RunExit::VerifyMismatch;
    return base;
}

bool update_download_cause_known(const UpdateOutcome& o) {
    return o.result == UPDATE_FAILED && o.stage == UpdateStage::Download &&
           o.message.rfind(VERSION_TEXT_PACKAGE_FAILED, 0) == 0 &&
           !o.download_cause.reason.empty();
}

std::u16string update_failure_shown_text(const UpdateOutcome& o) {
    if (o.result == UPDATE_SUCCEEDED)
        return u"";
    return update_download_cause_known(o) ? std::u16string(VERSION_TEXT_PACKAGE_FAILED)
                                          : o.box_text;
}

FailureText update_failure_cause(const UpdateOutcome& o, const UpdateGuard* guard) {
    if (update_download_cause_known(o))
        return o.download_cause;
    const auto* g = dynamic_cast<const SafeUpdateGuard*>(guard);
    return failure_text_outcome(o, g ? g->backupFolder() : std::string());
}
