// How a transfer of the download component ended: from what the transfer
// saw (libcurl's result, the answer, what was written, why it stopped) to
// its end message, the libcurl code that names the failure and the
// component's own words for it. A plain function over plain records.
#pragma once

#include <cstdint>
#include <string>

// What a transfer saw by the time libcurl returned.
struct TransferFacts {
    int curl_result = 0;                // what the transfer call returned
    int aborted = -1;                   // the result of a noticed abort (0 or 6), else -1
    bool abort_requested = false;       // the abort flag, as the transfer ended
    bool good = false;                  // the final answer was 200 or 206
    long response_code = 0;             // the last answer's status, 0 when none came
    long bad_status = 0;                // a final status other than 200/206
    const char* not_package = nullptr;  // what came instead of the file
    bool refuse_web_pages = false;      // the download was of a package
    int file_error = 0;                 // errno of a failed write into the target
    uint64_t max_size = 0;              // the target's bound
    bool range_refused = false;         // a 206 that is not the rest asked for
    bool range_short = false;           // a 206 whose body is not its range
    int64_t range_length = -1;          // a 206: the bytes its range claims
    uint64_t received = 0;              // body bytes written
    bool length_known = false;          // the answer announced its length
    uint64_t content_length = 0;        // that length
    bool stalled = false;               // nothing came for the stall time
    bool too_slow = false;              // below the low speed for its whole time
    int low_speed_bytes_per_second = 0; // that low speed
    int low_speed_ms = 0;               // over this time
};

// What the component does at the end.
struct TransferEnd {
    bool failed = false;   // a failure (the target is deleted unless kept), else finished
    int result = 0;        // the UWM_DOWNLOAD_FINISHED result
    intptr_t detail = 0;   // its detail
    int curl_code = 0;     // the libcurl code of this kind of failure; 0 when none
    std::string why;       // the component's own words; empty: libcurl's message
    bool cut_part = false; // the target goes back to what it held before
    long last_status = -1; // the status to report now; -1: the one already taken
};

// Judges how a transfer ended, in this order: a noticed abort, what is not
// the file, a failed write or the bound passed, a refused range, a body
// that is not its range, the low speed, a stall, a bad status, libcurl's
// own failure, an unmet challenge or unfollowed redirect, a body short of
// its announced length; else finished (aborted when the flag is set).
TransferEnd download_judge_end(const TransferFacts& f);
