// Recording and replay at the report-transport seam. The session file's
// format, its codecs, the redaction and the write runs each have their own
// header, included here. Internal to the device link; the rest of the
// system uses QV_Hid.h.
#pragma once

#include <memory>
#include <string>

#include "common_t73/QV_Hid.h"
#include "common_t73/QV_SessionFile.h"
#include "common_t73/QV_SessionFramer.h"
#include "common_t73/QV_SessionRedact.h"

// Wraps transport so that what passes it is recorded into the open
// recording (QV_Hid_startRecording). path is what QV_Hid_open was given.
std::unique_ptr<QV_ReportTransport>
QV_HidSession_record(std::unique_ptr<QV_ReportTransport> transport, const std::string& path);
bool QV_HidSession_recording();

// The replay source: loads FILE (and "?realtime"). Returns 1, or 0 with
// error set.
int QV_HidReplay_select(const std::string& file, std::string* error);
void QV_HidReplay_unselect();
// True when the loaded session opens the unit at all.
bool QV_HidReplay_hasUnit();
// The transport of the next recorded open; none when the session does not
// open the unit here (the replay then has failed).
std::unique_ptr<QV_ReportTransport> QV_HidReplay_open();
