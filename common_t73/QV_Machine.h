// The device-link object: the command channel to the attached unit and
// everything the tool knows about that unit (boot version, flash size, flash
// layout, configuration records, identity block, data dates), its flash
// writes and the progress count the window turns into its progress bar.
//
// Every function accepts null arguments and fails quietly; failures are
// return values. The object is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "package/package_format.h"
#include "support/date.h"

struct QV_HidChannel;
struct QV_HidHandle;
struct Package;
struct ProgramImage;

// The unit's flash map. Erase unit 4096 bytes, read and write unit 256.
inline constexpr uint32_t FLASH_BOOT_ADDRESS = 0x000000;
inline constexpr uint32_t FLASH_PROGRAM_HEADER_ADDRESS = 0x008000;
inline constexpr uint32_t FLASH_PROGRAM_ADDRESS = 0x009000;
inline constexpr uint32_t FLASH_PARAM_ADDRESS = 0x011000;
inline constexpr uint32_t FLASH_PARAM_ADDRESS_502 = 0x019000;
inline constexpr uint32_t FLASH_MAIN_SETTING_ADDRESS = 0x016000;
inline constexpr uint32_t FLASH_MAIN_SETTING_ADDRESS_502 = 0x01E000;
inline constexpr uint32_t FLASH_IDENTITY_ADDRESS = 0x018000;
inline constexpr uint32_t FLASH_IDENTITY_ADDRESS_502 = 0x01F000;
inline constexpr uint32_t FLASH_DATA_BASE = 0x019000;
inline constexpr uint32_t FLASH_DATA_BASE_502 = 0x021000;
inline constexpr uint32_t FLASH_SECTOR_SIZE = 4096;
inline constexpr uint32_t FLASH_PAGE_SIZE = 256;
// Units with a boot version below this do not answer the flash-size query.
inline constexpr uint32_t FLASH_SIZE_QUERY_MIN_BOOT = 1011;
inline constexpr uint32_t FLASH_SIZE_DEFAULT = 0x800000;

// Where the data lies on a unit without a main-setting record (old layout).
inline constexpr uint32_t OLD_VOICE_ADDRESS = 0x0DE000;
inline constexpr uint32_t OLD_VOICE_SIZE = 0x200000;
inline constexpr uint32_t OLD_RADAR_MUTE_ADDRESS = 0x016000;
inline constexpr uint32_t OLD_RADAR_MUTE_SIZE = 819200;
inline constexpr uint32_t OLD_GPS_ADDRESS = 0x2DE000;
inline constexpr uint32_t OLD_GPS_SIZE = 0x522000;

inline constexpr size_t MACHINE_MAIN_SETTING_SIZE = 231;
inline constexpr size_t MACHINE_SERVER_SETTINGS_SIZE = 178;
inline constexpr size_t MACHINE_PARAM_SIZE = 256;
inline constexpr size_t MACHINE_STATUS_UNITS = 256;
inline constexpr int MACHINE_INFO_LINES = 12;

// Decides whether the tool may work with the attached unit, given the
// unit's 256-byte identity block: non-zero accepts it.
using QV_AcceptFn = int (*)(void* user, const uint8_t* identity);

// Progress reports: kind 0 a count begins (value 10000, full scale); kind 1
// the position is value/10000; kind 3 the status text changed (value
// 10000). start_tick is the millisecond tick at which the count began.
using QV_ProgressFn = void (*)(void* user, struct QV_Machine* machine, int kind, uint32_t value,
                               uint32_t start_tick);

inline constexpr int PROGRESS_MODE_IDLE = 0;
inline constexpr int PROGRESS_MODE_TRANSFER = 1; // every transfer counts 0..10000 by itself
inline constexpr int PROGRESS_MODE_RUN = 2;      // one total for a whole write run

// How the unit's main-setting block was read.
inline constexpr int MAIN_SETTING_NONE = 0;    // read whole, no valid record: the old layout
inline constexpr int MAIN_SETTING_VALID = 1;   // a valid record, its server half read too
inline constexpr int MAIN_SETTING_UNREAD = -1; // a read failed: what the unit holds is unknown

struct QV_Machine {
    QV_HidChannel* channel = nullptr; // owned; null only when it could not be allocated
    int layout502 = 0;
    uint32_t boot_version = 0;
    uint32_t flash_size = 0;
    uint8_t main_setting[MACHINE_MAIN_SETTING_SIZE] = {};       // zero when the unit has none
    uint8_t server_settings[MACHINE_SERVER_SETTINGS_SIZE] = {}; // zero when the unit has none
    int main_setting_state = MAIN_SETTING_NONE;
    uint8_t param[MACHINE_PARAM_SIZE] = {};
    int param_kind = -1; // -1 unrecognised, else 1..5
    uint8_t identity[CLIENT_ID_SIZE] = {};
    QV_AcceptFn accept_fn = nullptr;
    void* accept_user = nullptr;
    char16_t status_text[MACHINE_STATUS_UNITS] = {};
    QV_ProgressFn progress_fn = nullptr;
    void* progress_user = nullptr;
    int progress_mode = PROGRESS_MODE_IDLE;
    uint32_t total = 0;
    uint32_t reported_bytes = 0;
    uint32_t done = 0;
    uint32_t reported_permyriad = 0;
    uint32_t start_tick = 0;
    // Dates of the data areas' headers; all 0 (year 0) for an area the unit
    // has not, or whose header is erased.
    DateStamp voice_date;
    DateStamp radar_mute_date;
    DateStamp gps_date;
    // Replies the unit gave during the last information read; 0 means it
    // answered none, and every field above is a stand-in, not the unit's.
    uint32_t info_answers = 0;
};

// ---- Object and device information (QV_Machine.cpp) ----

// A new machine with its channel, the channel's transfer hook set to the
// machine's progress hook. Null only when the machine itself cannot be
// allocated; without a channel every operation fails.
QV_Machine* QV_Machine_create(QV_AcceptFn accept_fn, void* accept_user, QV_ProgressFn progress_fn,
                              void* progress_user);

// Closes the unit's handle, frees the channel and the machine. Null is
// ignored.
void QV_Machine_release(QV_Machine* m);

// Puts an opened unit into the channel, closing the one held before (null
// just drops it). Returns 1, or 0 without a machine or channel (the handle
// is then closed).
int QV_Machine_attach(QV_Machine* m, QV_HidHandle* handle);

// Attaches the first unit of the selected source (QV_Hid_selectSource):
// closes the current one, opens the unit and, when that worked, reads its
// information. Returns 1 when a unit is attached; 0 when none was found or
// it could not be opened (QV_Hid_lastOpenError then says why).
int QV_Machine_attachFirstUnit(QV_Machine* m);

// 1 when the channel holds an open unit.
int QV_Machine_isConnected(const QV_Machine* m);

// Reads length bytes at address (a multiple of 256) into dst, the transfer
// rounded up to whole pages. Returns 1, or 0 on any failure with dst
// unchanged.
int QV_Machine_readBlock(QV_Machine* m, uint32_t address, void* dst, uint32_t length, int mode);

// Reads the attached unit's information into the machine. Returns 1; 0
// without a machine or channel, or when the acceptance function refused the
// unit (it is then sent the refusal command). Single read failures do not
// fail it: what could not be read counts as absent.
int QV_Machine_getDeveiceInfo(QV_Machine* m);

// Length of the client id in an identity block: up to a 0 byte, erased
// flash (0xFF 0xFF), 255 bytes or limit bytes.
size_t QV_Machine_clientLength(const uint8_t* identity, size_t limit);

// The client id (text of the identity block up to a 0 byte or erased flash)
// as UTF-16 in the zero-filled dst of capacity units. Nothing happens on
// null arguments or capacity 0.
void QV_Machine_clientText(const QV_Machine* m, char16_t* dst, size_t capacity);

// "有" when the main-setting record is valid and its update-tool region is
// not empty, "无" when it is empty, "错" when the record is not valid.
void QV_Machine_updateToolText(const QV_Machine* m, char16_t* dst, size_t capacity);

// The twelve device-information lines, each ending in "\n", in the ANSI
// code page. Empty for null.
std::string QV_Machine_infoText(const QV_Machine* m);

// Writes the twelve lines to path (created or truncated). Returns 1, or 0
// when the file cannot be opened or written.
int QV_Machine_dumpInfo(const QV_Machine* m, const char16_t* path);

// ---- Progress (QV_Machine_write.cpp) ----

// The channel's transfer hook; user is the machine. Mode 1 counts each
// transfer by itself, mode 2 adds every data report to the run's count, mode
// 0 ignores it. Null is ignored, as by every progress function below.
void QV_Machine_progressHook(void* user, int phase, int count, int total);
// Starts a count of total bytes and reports kind 0.
void QV_Machine_progressBegin(QV_Machine* m, uint32_t total);
// Adds bytes; reports kind 1 with the new position only when more than 4096
// bytes came since the last step and the position changed.
void QV_Machine_progressAdd(QV_Machine* m, uint32_t bytes);
// Completes the count and reports kind 1 with 10000.
void QV_Machine_progressEnd(QV_Machine* m);
// Replaces the status text (at most 255 units) and reports kind 3.
void QV_Machine_setStatusText(QV_Machine* m, const char16_t* text);
// Permyriad position of done bytes out of total; a total of 0 counts as
// complete (10000).
uint32_t QV_Machine_progressPosition(uint32_t done, uint32_t total);

// ---- Flash writes (QV_Machine_write.cpp) ----

// Writes length bytes at address (a multiple of 256) in one write command,
// padded with 0xFF to whole pages. With unscramble set the unit is told the
// unpadded length and the checksum covers the unscrambled bytes. Returns 1,
// or 0 on a misaligned address, a missing unit, no memory or a failed
// transfer.
int QV_Machine_writeBlock(QV_Machine* m, uint32_t address, const void* data, uint32_t length,
                          int unscramble, int mode);

// Writes the package's boot image at 0. Returns 1, or 0 on failure.
int QV_Machine_writeBoot(QV_Machine* m, const Package* pkg);

// Writes the program entry for the unit's board name with its header page.
// own_progress makes each transfer count by itself. Returns 1, or 0 when no
// entry fits or a write fails.
int QV_Machine_writeProgram(QV_Machine* m, const Package* pkg, int own_progress);

// The program entry for board_id (4 bytes): the only one when there is
// exactly one, else the first with that board id. Null when none.
const ProgramImage* QV_Machine_findProgramEntry(const Package* pkg, const uint8_t* board_id);

// Carries out a completed write plan. Returns 0, or the code of the first
// failed area: -2 boot, -3 program, -4 voice, -5 radar mute, -6 update
// tool, -7 GPS; -1 for a null machine, package or plan.
struct QV_WritePlan;
int QV_Machine_write(QV_Machine* m, const Package* pkg, const QV_WritePlan* plan);

// Stores record (256 bytes; null keeps the machine's) with its checksum for
// the machine's parameter kind and writes it. Returns 1, or 0 on an unknown
// kind or a failed write.
int QV_Machine_writeParam(QV_Machine* m, const uint8_t* record);

// Writes the 512-byte main-setting block at the address of target_layout502.
// Null records mean the machine's own. Returns 1, or 0 on failure.
int QV_Machine_writeMainSetting(QV_Machine* m, const uint8_t* main_setting,
                                const uint8_t* server_settings, int target_layout502);
