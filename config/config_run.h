// The configuration run of the Setting button: checks that a configurable
// unit is attached, hands copies of its records to an editor (the dialog,
// or the command line's KEY=VALUE changes), and writes them back when the
// editor confirms. Plain C++: the unit and the message boxes come in
// through small interfaces, so the window, trevik-cli and tests share it.
#pragma once

#include <csignal>
#include <cstdint>
#include <functional>
#include <string>

// The tool's version; a unit whose main setting asks for a newer tool is
// not configured.
inline constexpr int CONFIG_TOOL_VERSION = 407;

inline constexpr const char* CONFIG_CAPTION = "Update Tool";
inline constexpr const char* CONFIG_TITLE_PREFIX = "Setting";
inline constexpr const char* CONFIG_NO_HARDWARE = "   No hardware connected!";
inline constexpr const char* CONFIG_NOT_INITIALISED =
    "Please start the machine to initialization parameter!!!!!";
inline constexpr const char* CONFIG_UPGRADE_TOOL = "Please upgrade the current update tool!";
inline constexpr const char* CONFIG_RADAR_QUESTION =
    "Can not identify the radar type,will use the "
    "default configuration, are you sure continue?";
inline constexpr const char* CONFIG_SUCCESS = "Configuration success!";
inline constexpr const char* CONFIG_FAILED = "Configuration failed!";

inline constexpr int CONFIG_MAIN_SETTING_NONE = 0;
inline constexpr int CONFIG_MAIN_SETTING_VALID = 1;
inline constexpr int CONFIG_MAIN_SETTING_UNREAD = -1;

enum ConfigIcon { CONFIG_ICON_ERROR, CONFIG_ICON_INFORMATION, CONFIG_ICON_QUESTION };

// Message boxes of the run. Texts and captions are UTF-8; an empty caption
// means none of its own.
class ConfigPrompter {
  public:
    virtual ~ConfigPrompter() = default;
    virtual void message(const std::string& text, const std::string& caption, ConfigIcon icon) = 0;
    // true only for Yes.
    virtual bool ask_yes_no(const std::string& text, const std::string& caption) = 0;
};

// The attached unit as the run sees it (the device link's state and
// writes).
class ConfigUnit {
  public:
    virtual ~ConfigUnit() = default;
    virtual bool connected() = 0;
    virtual int kind() = 0;
    virtual int boot_version() = 0;
    virtual const uint8_t* param() = 0;           // 256 bytes
    virtual const uint8_t* main_setting() = 0;    // 231 bytes
    virtual const uint8_t* server_settings() = 0; // 178 bytes
    // The client id the unit reports (its identity text).
    virtual std::u16string client_id() = 0;
    // How the main-setting block was read: CONFIG_MAIN_SETTING_VALID,
    // CONFIG_MAIN_SETTING_NONE (the unit has none) or
    // CONFIG_MAIN_SETTING_UNREAD (a read failed).
    virtual int main_setting_state() = 0;
    // Reads the unit's information again, sending nothing else. false when
    // the read was refused or the unit is gone.
    virtual bool reread() = 0;
    // Each returns 1 written, 0 failed.
    virtual int write_param(const uint8_t* record) = 0;
    virtual int write_main_setting(const uint8_t* ms, const uint8_t* ss) = 0;
    // Reads the unit's information again; then sends the finishing command
    // if the unit is still attached.
    virtual void reread_and_finish() = 0;
};

// What the editor gets: the title prefix, the unit's boot version and
// record kind, the main-setting record (read only) and the two copies it
// edits in place.
struct ConfigEditArgs {
    std::u16string title_prefix;
    int boot_version = 0;
    int kind = -1;
    const uint8_t* main_setting = nullptr;
    uint8_t* param = nullptr;           // 256-byte copy
    uint8_t* server_settings = nullptr; // 178-byte copy
};
// Returns 1 when confirmed, anything else cancels.
using ConfigEditor = std::function<int(const ConfigEditArgs&)>;

enum ConfigRunResult {
    CONFIG_RUN_NO_HARDWARE,
    CONFIG_RUN_NOT_INITIALISED,
    CONFIG_RUN_UPGRADE_TOOL,
    CONFIG_RUN_RADAR_DECLINED,
    CONFIG_RUN_CANCELLED,
    CONFIG_RUN_UNIT_GONE,
    CONFIG_RUN_WRITE_FAILED,
    CONFIG_RUN_SUCCESS,
    CONFIG_RUN_READ_FAILED,  // the unit's main-setting block could not be read
    CONFIG_RUN_UNIT_CHANGED, // another unit (or other records) by the time of writing
    CONFIG_RUN_STOPPED,      // stopped from outside at a record boundary (or in a write)
};

// What a run wrote, record by record: -1 not begun, 0 failed or broken off
// (the unit may hold it incomplete), 1 written.
struct ConfigWrites {
    int param = -1;
    int block = -1; // stays -1 on a unit without a main-setting block
    bool block_due = false; // the unit has a main-setting block to write
};

// The checks before the editor opens, without messages: the result the run
// would stop with, CONFIG_RUN_RADAR_DECLINED when it must ask about the
// radar type first, CONFIG_RUN_SUCCESS when it may go on at once.
ConfigRunResult config_run_precheck(ConfigUnit& unit);

// The whole run. Every refusal shows its message; a unit whose main-setting
// block could not be read gets "Configuration failed!" before the editor
// opens. A confirmed edit reads the unit again and writes only to the unit
// it was opened for (same client id, record kind and main-setting record;
// "Configuration failed!" otherwise): the parameter record, then, when the
// unit has one, the main-setting block with the edited server settings. It
// then re-reads the unit and says "Configuration success!" only when the
// writes succeeded ("Configuration failed!" otherwise).
//
// stop, when given, is a flag raised from outside (a signal) to end the run
// at the next record boundary: it is read before the first write and
// between the two, and a run it ended says nothing and returns
// CONFIG_RUN_STOPPED (a record begun is written whole unless the unit's
// channel was stopped too). A run whose every write was done succeeds even
// when stop was raised meanwhile. writes, when given, receives what was
// written.
ConfigRunResult config_run(ConfigUnit& unit, ConfigPrompter& prompter, const ConfigEditor& editor,
                           const volatile std::sig_atomic_t* stop = nullptr,
                           ConfigWrites* writes = nullptr);
