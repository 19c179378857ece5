// What the device link's own files share: the headers of the command
// exchange, the configuration records, the package and the scramblers, and
// the log source name.
#pragma once

#include "common_t73/QV_Cmd.h"
#include "config/records.h"
#include "package/scramble.h"

#include "common_t73/QV_Machine.h"
#include "common_t73/QV_PackageView.h"
#include "package/package.h"
#include "support/log.h"

// Source name of the device link's log lines.
inline constexpr const char* QV_LOG_SOURCE = "..\\common_t73\\QV_Machine";

// Millisecond tick for progress counts.
uint32_t QV_tickNow();

// Byte sum of length bytes of data as they read after unscrambling from a
// fresh decoder state. Works through a small scratch area, so no copy of the
// data is made. The data itself is not changed.
uint32_t QV_unscrambledSum(const void* data, uint32_t length);
