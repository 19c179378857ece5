// The line trevik-cli and the window show under a failure's own text: what
// went wrong in words, and what the user does next. Plain code, no Qt: both
// programs take the same words from here. Texts are UTF-8.
#pragma once

#include <string>

#include "package/package_check.h"

struct UpdateOutcome;

struct FailureText {
    std::string reason; // the cause, one sentence; empty when nothing more is known
    std::string hint;   // the next step, one sentence; may be empty
};

// The one line printed under the system's own text: the cause, then the
// next step. Empty when both are empty.
std::string failure_text_line(const FailureText& f);

// An update run that ended with status (the N of "Update Failed!  N");
// backup_dir is the folder the unit's data was saved in before the run,
// empty when none.
FailureText failure_text_update(int status, const std::string& backup_dir);

// The cause and next step of a package that could not be opened.
FailureText failure_text_package(const PackageCheck& check);

// A download that failed with the transfer's own message (the library's
// words for the error, e.g. "Couldn't connect to server"); empty when the
// transfer gave none.
FailureText failure_text_download(const std::string& message);

// The same from how the download component ended a transfer (its result
// and detail) and its own message: an HTTP status is named; otherwise the
// message, and without one nothing is known (both texts empty).
FailureText failure_text_download_result(int result, long detail, const std::string& message);

// The cause and next step of a failed update run, from its outcome: the
// step it stopped at, its status and what it found. backup_dir as above.
FailureText failure_text_outcome(const UpdateOutcome& outcome, const std::string& backup_dir);
