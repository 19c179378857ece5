// The unit's report transport: finds the unit, opens it and moves single
// 65-byte reports (report id 0 in byte 0, 64 payload bytes) each way with a
// 1000 ms limit.
//
// The operations run over one of four transports, chosen by the unit source:
//   "hid"          real units through hidapi (the default);
//   "socket:PATH"  a unit emulator on a Unix-domain stream socket;
//   "tcp:HOST:PORT" the same emulator on a TCP port (loopback), where
//                  Unix-domain sockets are not to be had;
//   "replay:FILE"  a recorded session, answered strictly in order;
//   emulated       an in-process report transport handed in by tests.
// A recording (QV_Hid_startRecording) wraps whichever transport is opened.
// Everything above (the command exchange) sees only QV_Hid_open, QV_Hid_close,
// QV_Hid_readReport and QV_Hid_writeReport.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

inline constexpr uint16_t UNIT_VENDOR_ID = 0x0416;
inline constexpr uint16_t UNIT_PRODUCT_ID = 0xB500;
inline constexpr int REPORT_SIZE = 65;
// Longest wait for one report, in each direction.
inline constexpr int REPORT_TIMEOUT_MS = 1000;

// On a "socket:PATH" or "tcp:HOST:PORT" unit the emulator answers every report the host writes
// with this one byte as soon as the unit has taken the report; the host's
// write completes only then, as a write to the unit's USB endpoint does.
// Between the unit's own reports it is never mistaken for one: those begin
// with report id 0.
inline constexpr uint8_t SOCKET_REPORT_TAKEN = 0x06;

// One report transport under an open handle. Implementations move whole
// 65-byte reports; byte 0 of every report is the report id 0.
class QV_ReportTransport {
  public:
    virtual ~QV_ReportTransport() = default;
    // Sends one report; returns the bytes written (65), or 0 on failure or
    // when it could not be written within timeoutMs.
    virtual int writeReport(const uint8_t* report, int timeoutMs) = 0;
    // Receives one report into report (65 bytes); returns the bytes received
    // (65 for a whole report, fewer for a short one), or 0 when none arrived
    // within timeoutMs or the unit is gone. Nothing lands in report later.
    virtual int readReport(uint8_t* report, int timeoutMs) = 0;
    // Drops input left over from an abandoned transfer.
    virtual void discardInput() {}
};

// Open unit; created by QV_Hid_open, released by QV_Hid_close.
struct QV_HidHandle;

// Why the last QV_Hid_open returned none.
enum QV_HidOpenError {
    QV_HID_OPEN_OK = 0,
    QV_HID_OPEN_FAILED = 1,
    // The unit is there but this user may not open it (no udev rule).
    QV_HID_OPEN_DENIED = 2,
    // Another program holds the unit's lock; nothing was sent to the unit.
    QV_HID_OPEN_BUSY = 3,
    // The unit's lock could not be taken (QV_Hid_lockFailedText says why);
    // the unit was not opened.
    QV_HID_OPEN_LOCK_FAILED = 4,
};

// Called by QV_Hid_findUnit for each unit path; returns 0 to end the walk.
using QV_HidAttachFn = int (*)(void* owner, const char16_t* path);

// True when the lower-cased path contains "vid_0416&pid_b500". False for
// null. The caller's path is not changed.
bool QV_Hid_isUnitPath(const char16_t* path);

// Walks the present units of the selected source and calls attach with owner
// and each unit's path (valid only during the call) until attach returns 0.
// Does nothing with a null attach function or when no unit is present.
void QV_Hid_findUnit(void* owner, QV_HidAttachFn attach);

// Opens a path handed out by QV_Hid_findUnit ("socket:PATH", an emulated
// unit's path, or a hidapi device path). Returns none on failure and then
// QV_Hid_lastOpenError tells why; nothing is left open. The handle holds the
// unit's lock (the device node's, or PATH.lock beside a socket) until
// QV_Hid_close; a unit locked by another program is not opened.
QV_HidHandle* QV_Hid_open(const char16_t* path);

// Wraps a transport in a handle (tests: an in-process emulated unit).
// Returns none for a null transport.
QV_HidHandle* QV_Hid_openTransport(std::unique_ptr<QV_ReportTransport> transport);

// The path the handle was opened with (UTF-8); empty for none or a
// wrapped transport.
std::string QV_Hid_handlePath(const QV_HidHandle* handle);

// The USB serial number the enumeration lists for a unit's device path;
// empty for a socket or emulated unit, a unit without one, or one no
// longer listed.
std::string QV_Hid_serialOf(const std::string& path);

// Closes the unit and frees the handle. Accepts none.
void QV_Hid_close(QV_HidHandle* handle);

// Reads one report into buffer (65 bytes). Returns 1 when a report arrived
// within 1000 ms, else 0 (also for a missing handle or buffer). count, when
// given, receives the bytes transferred (65 for a whole report), 0 on failure.
int QV_Hid_readReport(QV_HidHandle* handle, uint8_t* buffer, int* count);

// Writes one report from buffer (65 bytes). Returns 1 when it was written
// within 1000 ms, else 0; count as for QV_Hid_readReport.
int QV_Hid_writeReport(QV_HidHandle* handle, const uint8_t* buffer, int* count);

// Drops input that arrived after an abandoned transfer, so a late reply is
// never taken for the answer to the next command. Accepts none.
void QV_Hid_discardInput(QV_HidHandle* handle);

// Code 1..5 of the device-interface class whose 16-byte GUID (in its
// in-memory byte order) equals guid: USB device, volume, disk, HID, network
// adapter. 2 when no class matches or guid is null.
int QV_Hid_classOfGuid(const uint8_t* guid);

// Chooses where units are looked for: "hid" (every unit, the first one
// used), "hid:PATH" (only the unit at that device path, such as
// /dev/hidraw3), "socket:PATH", "tcp:HOST:PORT" or "replay:FILE" (a recorded
// session, loaded now; "replay:FILE?realtime" keeps its pauses). Returns 1, or 0 for any
// other text or a session file that cannot be used (the source is then left
// as it was; QV_Hid_sourceError says why).
int QV_Hid_selectSource(const std::string& text);

// Why the last QV_Hid_selectSource returned 0 for a "replay:" source, such
// as "s.jsonl: line 7: not a JSON object"; empty otherwise.
std::string QV_Hid_sourceError();

// What a recording's header names besides the unit.
struct QV_HidRecordOptions {
    std::string tool;                 // "trevik-cli 1.0.0"
    std::vector<std::string> command; // the command line, or {"window"}
    bool redactClient = false;        // hide the unit's own part of the client id too
    bool overwrite = false;           // an existing recording (a regular file) may be replaced
    std::string existsHint;           // said after "PATH already exists" ("--force …")
};

// Records every unit opened from now on into a session file at path (one
// JSON object a line: a header, then the unit's events). The GPRS user name
// and password are always replaced. The file is created 0600 (it holds the
// unit's APN, server and serial), without waiting on anything. Returns 1, or
// 0 with error set when path is empty, names something other than a regular
// file (a FIFO, a device, a folder: named in the error), exists already and
// overwrite is not set, cannot be created, or a recording already runs.
int QV_Hid_startRecording(const std::string& path, const QV_HidRecordOptions& options,
                          std::string* error);

// Ends the recording with the tool's exit code. Does nothing when none runs.
void QV_Hid_stopRecording(int exitCode);

// Why the recording (running or last stopped) lost what it should hold:
// "PATH: No space left on device" for the first write that failed, after
// which nothing more is written to it. Empty while every write succeeded.
std::string QV_Hid_recordingError();

// How a "replay:" source went.
struct QV_HidReplayVerdict {
    bool active = false; // a replay source is selected
    bool agrees = false;
    int events = 0;
    int recordedExit = 0; // the exit code the session ended with
    std::string text;     // "replay agrees (N events)" or the first difference
};

// The command line the selected replay source's session was recorded with
// (without --unit); empty when none is selected.
std::vector<std::string> QV_Hid_replayCommand();

// Ends a replay: events the tool left unused are a difference too. Not
// active when no replay source is selected.
QV_HidReplayVerdict QV_Hid_finishReplay();

// One unit as the HID enumeration lists it. Strings are UTF-8, empty when
// the unit does not report them.
struct QV_HidUnitInfo {
    std::string path;
    std::string serial;
    std::string product;
};

// The units the HID enumeration lists now, in its order; every unit, whatever
// source is selected.
std::vector<QV_HidUnitInfo> QV_Hid_enumerate();

// Tests: replaces the HID enumeration by a list of their own; a null
// function restores the real one.
void QV_Hid_setEnumerator(std::function<std::vector<QV_HidUnitInfo>()> enumerate);

// Tests: QV_Hid_findUnit reports one unit whose open calls factory. A null
// factory, or QV_Hid_selectSource, ends this.
void QV_Hid_selectEmulated(std::function<std::unique_ptr<QV_ReportTransport>()> factory);

// The selected source as text: "hid", "hid:PATH", "socket:PATH", "tcp:HOST:PORT",
// "replay:FILE" or "emulated".
std::string QV_Hid_sourceText();

// Why the last QV_Hid_open on the calling thread failed; QV_HID_OPEN_OK
// after a successful one. Opens on other threads do not change it.
QV_HidOpenError QV_Hid_lastOpenError();

// After QV_HID_OPEN_BUSY (this thread's open): "The unit is in use by another program", with the
// holder's process id in parentheses when it could be learnt.
std::string QV_Hid_inUseText();

// After QV_HID_OPEN_LOCK_FAILED: the lock file and why it could not be
// taken; *permission (when given) is true when the reason is a permission
// the user lacks.
std::string QV_Hid_lockFailedText(bool* permission = nullptr);

// What to tell the user when a unit is present but may not be opened: names
// the udev rule that grants access.
const char* QV_Hid_permissionText();

// Name of the udev rule file shipped for the unit.
inline constexpr const char* UNIT_UDEV_RULE = "70-trevik-unit.rules";
