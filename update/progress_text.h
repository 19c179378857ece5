// Texts the window's progress bar shows for writes into the unit and for
// package downloads. Pure functions: the window sets what they return.
#pragma once

#include <cstdint>
#include <string>

// Text of a device progress report: status text, "Updated", the permyriad
// value with two decimals and a percent sign, "Time", the elapsed seconds
// and "Second" ("Updated 45.67%   Time 12 Second" for an empty status,
// 4567 and 12). status is UTF-8; never fails.
std::string progress_device_text(const std::string& status, uint32_t value, uint32_t elapsed);

// Whole seconds elapsed between two millisecond tick counts, unsigned
// (a wrapped counter still gives the forward difference).
uint32_t progress_elapsed_seconds(uint32_t now_ms, uint32_t start_ms);

// Remaining seconds of a download: (total - received), in unsigned 32-bit
// arithmetic, / 1024.0 / kbps, truncated; 0 when the quotient is not a
// finite number within the unsigned 32-bit range (a speed of 0).
uint32_t progress_remaining_seconds(uint32_t total, uint32_t received, double kbps);

// "1Hour2Minute5Second": hours and minutes only when not zero, seconds always.
std::string progress_time_text(uint32_t seconds);

// Text of a download speed report: "Updated percent", the percentage with
// two decimals, "Speed", the speed in KB/s ("%.02fKb/s  "), "Remaining time"
// and the time text. speed_x100000 is the speed in KB/s times 100000. With a
// total of 0 (no length announced) the percentage shows 0.00 and the
// remaining time 0Second.
std::string progress_download_text(uint32_t total, uint32_t received, uint32_t speed_x100000);

// Whether a progress text reads complete (it holds "100.00%"): a device
// report of 10000 or a finished download.
bool progress_text_reads_complete(const std::string& text);

// What the bar says after a run failed: "Stopped at 64.02%" for done of
// total counted (total above 0, done clamped to it); otherwise the stage it
// was in, "Stopped: Saving the unit's settings…" (last is the bar's text,
// UTF-8); empty when there is neither.
std::string progress_stopped_text(const std::string& last, uint64_t done, uint64_t total);
