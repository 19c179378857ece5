// The command channel: one per device-link object, holding the open unit and
// the single report buffer every command and data report passes through.
#pragma once

#include <csignal>
#include <cstdint>

#include "common_t73/QV_Hid.h"

// Called during read and write transfers:
//   phase 0 (start): count 0, total = transfer length in bytes;
//   phase 1 (after each data report): count = bytes of this report,
//            total = bytes moved so far;
//   phase 2 (end, once the command frame went out): read: count = the reply's
//            value word on success else 0, total = length; write: count and
//            total = bytes moved.
using QV_TransferHook = void (*)(void* user, int32_t phase, int32_t count, int32_t total);

// Zero-filled at creation; a channel without a handle means no unit.
struct QV_HidChannel {
    uint8_t report[REPORT_SIZE]; // byte 0 is the report id
    QV_TransferHook hook;
    void* hookUser;
    QV_HidHandle* handle;
    uint32_t bootVersion; // decides whether reply status words are checked
    uint32_t answered;    // replies accepted (valid, status 0) since the channel was made
    // Set by whoever may stop a write run from outside (a signal handler):
    // once it points at a non-zero value, no further report is sent, so the
    // run ends at the next report boundary with a failed transfer.
    const volatile std::sig_atomic_t* stop;
};

// 1 when the channel's stop flag is raised.
inline int QV_HidChannel_stopped(const QV_HidChannel* channel) {
    return channel && channel->stop && *channel->stop ? 1 : 0;
}
