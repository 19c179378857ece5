#include "update/progress_text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

std::string progress_device_text(const std::string& status, uint32_t value, uint32_t elapsed) {
    char buf[128];
    snprintf(buf, sizeof buf, "%s %.02f%%   %s %d %s", "Updated", value / 100.0, "Time",
             static_cast<int>(elapsed), "Second");
    return status + buf;
}

uint32_t progress_elapsed_seconds(uint32_t now_ms, uint32_t start_ms) {
    return (now_ms - start_ms) / 1000u;
}

uint32_t progress_remaining_seconds(uint32_t total, uint32_t received, double kbps) {
    uint32_t left = total - received;
    double r = (left / 1024.0) / kbps;
    if (!std::isfinite(r) || r < 0.0 || r >= 4294967296.0)
        return 0;
    return static_cast<uint32_t>(r);
}

std::string progress_time_text(uint32_t r) {
    std::string text;
    char buf[32];
    if (r / 3600 > 0) {
        snprintf(buf, sizeof buf, "%d", static_cast<int>(r / 3600));
        text += buf;
        text += "Hour";
    }
    if ((r % 3600) / 60 > 0) {
        snprintf(buf, sizeof buf, "%d", static_cast<int>((r % 3600) / 60));
        text += buf;
        text += "Minute";
    }
    snprintf(buf, sizeof buf, "%d", static_cast<int>(r % 60));
    text += buf;
    text += "Second";
    return text;
}

std::string progress_download_text(uint32_t total, uint32_t received, uint32_t speed_x100000) {
    double v = speed_x100000 / 100000.0;
    // Without an announced length nothing is known to remain.
    uint32_t r = total ? progress_remaining_seconds(total, received, v) : 0;
    double percent = total ? static_cast<double>(received) / total * 100.0 : 0.0;
    char buf[96];
    std::string text = "Updated percent";
    snprintf(buf, sizeof buf, "%.02f%% ", percent);
    text += buf;
    text += "Speed";
    snprintf(buf, sizeof buf, "%.02fKb/s  ", v);
    text += buf;
    text += "Remaining time";
    text += progress_time_text(r);
    return text;
}

bool progress_text_reads_complete(const std::string& text) {
    return text.find("100.00%") != std::string::npos;
}

std::string progress_stopped_text(const std::string& last, uint64_t done, uint64_t total) {
    if (total > 0) {
        char buf[48];
        // Truncated to the hundredth, like the figures the run showed.
        uint64_t permyriad = std::min(done, total) * 10000 / total;
        snprintf(buf, sizeof buf, "Stopped at %d.%02d%%", static_cast<int>(permyriad / 100),
                 static_cast<int>(permyriad % 100));
        return buf;
    }
    return last.empty() ? std::string() : "Stopped: " + last;
}
