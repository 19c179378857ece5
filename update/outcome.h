// How an update run ended, said once for both front ends: the kind of end
// (the terminal's exit code maps 1:1 from it), the failure's own text as
// shown, and under it the cause and the next step. The window and
// trevik-cli both take them from here, so they never say different things.
#pragma once

#include <string>

#include "update/failure_text.h"
#include "update/update_run.h"

class UpdateGuard;

// The kinds of end a run has.
enum class RunExit {
    Done,
    Failed,         // the operation failed
    Usage,          // the province question was declined (off a terminal: not answerable)
    BadPackage,     // the package could not be unpacked or loaded
    Transfer,       // the unit refused or broke off a write, or could not confirm it
    Interrupted,    // stopped from outside
    VerifyMismatch, // the read-back found a difference (ends as a failure)
};

// The texts of a run stopped from outside: during its writes, during its
// read-back (the writes are complete).
inline constexpr const char* RUN_TEXT_STOPPED =
    "The update was stopped; the unit's data is incomplete.";
inline constexpr const char* RUN_TEXT_READ_BACK_STOPPED =
    "The read-back was stopped: the update is written, its check did not finish.";

// The end of the run itself, from the step it stopped at: Done for a
// success, Usage for a declined province question.
RunExit update_run_exit(const UpdateOutcome& outcome);

// The end once the guard's work around the writes is counted: a stop from
// outside (Interrupted, *why the stop's text), writes the unit could not
// confirm (Transfer, *why the outcome's reason), a failure after a
// read-back (VerifyMismatch); otherwise base. guard may be null; why is
// cleared first.
RunExit update_guarded_exit(const UpdateOutcome& outcome, const UpdateGuard* guard, RunExit base,
                            std::string* why);

// Whether a failed download's own answer (an HTTP status, the transfer's
// words) is known and stands in for the run's generic download failure.
bool update_download_cause_known(const UpdateOutcome& outcome);

// The failure's own text as shown: the box text, or for a failed package
// download whose answer is known, the download's text alone (the answer
// goes into the cause). Empty for a success.
std::u16string update_failure_shown_text(const UpdateOutcome& outcome);

// The cause and next step under it: the download's answer where known,
// else from the step the run stopped at (failure_text_outcome), with the
// guard's backup folder (guard may be null).
FailureText update_failure_cause(const UpdateOutcome& outcome, const UpdateGuard* guard);
