// A backup of the unit's settings, taken before an update run writes: the
// settings as `trevik-cli settings --json` prints them, the raw records as
// read (parameter record, main-setting block, identity block, the
// server-data region the run resets) and the twelve device-information
// lines, in one folder per run named by the UTC time and the unit's
// identity, which backup.json inside spells out.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

struct QV_Machine;

inline constexpr const char* BACKUP_SETTINGS_FILE = "settings.json";
inline constexpr const char* BACKUP_PARAM_FILE = "parameter_record.bin";
inline constexpr const char* BACKUP_MAIN_SETTING_FILE = "main_setting_block.bin";
inline constexpr const char* BACKUP_IDENTITY_FILE = "identity_block.bin";
inline constexpr const char* BACKUP_SERVER_DATA_FILE = "server_data.bin";
inline constexpr const char* BACKUP_UNIT_FILE = "unit.txt";
inline constexpr const char* BACKUP_IDENTITY_JSON = "backup.json";
// The progress text while the backup reads the unit.
inline constexpr const char16_t* BACKUP_TEXT_SAVING = u"Saving the unit's settings\u2026";

// The backups folder inside a state directory; empty when there is no
// state directory.
std::string unit_backups_root(const std::string& state_dir);

// A client id as a file name: letters, digits, '.', '-' and '_' stay, every
// other byte becomes '_', at most 64 bytes; "unknown" when nothing is left.
std::string unit_backup_safe_id(const std::string& client_id);

// Which unit a backup belongs to. Units of one customer share their client
// id, so the id alone does not tell them apart: a unit with a USB serial
// number is the client id plus that serial; one without is the client id
// plus its identity block's bytes and the path it was attached at then.
struct UnitIdentity {
    std::string client_id;    // the text of the identity block
    std::string serial;       // empty when the unit has none
    std::string path;         // hid path or socket:PATH at the time
    std::string block_sha256; // of the identity block as read
    std::string key;          // file-safe; equal keys mean the same unit
};

// The identity of a unit from what it told: "<safe id>-<safe serial>"
// with a serial, else "<safe id>-<12 hex digits of SHA-256 over the block
// and the path>".
UnitIdentity unit_identity_make(const std::string& client_id, const std::string& serial,
                                const uint8_t* identity_block, size_t block_size,
                                const std::string& path);

// The identity of the attached unit (its identity block as last read, the
// path of its handle, the enumeration's serial for that path).
UnitIdentity unit_identity_of(const QV_Machine* m);

// "Unit <client id> (serial S)" or "Unit <client id> at PATH": the unit
// for the user.
std::string unit_identity_text(const UnitIdentity& id);

// The identity a backup folder records; key empty when the folder has
// none (a backup of an earlier version) or it cannot be read.
UnitIdentity unit_backup_identity(const std::string& folder);

// "20261210T130522Z-<safe id>" for a time in seconds since 1970 (UTC).
std::string unit_backup_folder_name(std::time_t utc, const std::string& client_id);

// The settings as `trevik-cli settings --json` prints them; empty when that
// command shows none (no recognised parameter record, a main setting that
// asks for a newer tool, a main-setting block that could not be read).
std::string unit_settings_json_text(const QV_Machine* m);

struct UnitBackupResult {
    std::string folder;        // the folder written; empty when none was left
    std::string error;         // empty on success
    bool has_settings = false; // a settings.json was saved
    bool no_answer = false;    // the unit is gone or did not answer the reads
    // The settings saved are the unit's defaults, not the user's (see
    // unit_backup_save), and why.
    bool holds_defaults = false;
    std::string defaults_reason;
};

// Reads the records from the attached unit and saves them in a new folder
// under root (created when missing). backup.json says "holds_defaults"
// (with "defaults_reason") when the unit cannot be holding the user's own
// settings: its parameter record is erased (it has not restarted since a
// reset), or a run reset its parameter sector since and no settings were
// written to it after (see unit_backup_note_reset). Otherwise under root (created when missing); an empty root (no state directory)
// is refused before the unit is read. server_size 0 saves no server data;
// a region outside the unit's flash is refused. On failure nothing is left
// of the folder and error says why.
UnitBackupResult unit_backup_save(QV_Machine* m, const std::string& root, uint32_t server_address,
                                  uint32_t server_size, std::time_t now);

struct UnitBackupEntry {
    std::string folder; // full path
    std::string name;   // folder name
    std::string time;   // 2026-12-10T13:05:22Z
    std::string unit;   // the identity key (the safe client id for an
                        // earlier backup without backup.json)
    int has_settings = 0;
    int holds_defaults = 0;      // the settings are the unit's defaults
    std::string defaults_reason; // why, as backup.json says
    int64_t time_ns = 0;   // when it was taken, as recorded inside
    UnitIdentity identity; // key empty for an earlier backup
};

// The backups under root, oldest first by the time recorded inside each
// (by the folder's name for earlier backups); folders of other names are
// left out.
std::vector<UnitBackupEntry> unit_backup_list(const std::string& root);

// The newest backup of the unit with this identity key (see UnitIdentity)
// that holds its own settings (one of defaults never counts); empty folder
// when there is none.
UnitBackupEntry unit_backup_newest(const std::string& root, const std::string& key);

// Whether b is the backup offered for its unit among list (as
// unit_backup_list returns it): the newest of that unit's own settings.
bool unit_backup_offered(const std::vector<UnitBackupEntry>& list, const UnitBackupEntry& b);

// What `trevik-cli backups` adds after a backup's folder: "" for most;
// "  (default settings, not the unit's own)" for one of defaults, and
// "  (the unit's own settings, from before an earlier update)" for the
// backup offered when a newer one of the same unit holds defaults.
std::string unit_backup_mark_text(const std::vector<UnitBackupEntry>& list,
                                  const UnitBackupEntry& b);

// A run is about to reset the parameter sector of the attached unit: until
// settings are written to it again, what it holds are the defaults of its
// program, and its backups say so. The note is a file "<key>.reset" in
// root. A run that ends before its erase leaves the note too: the backup
// offered then is the one before it, which holds the same settings.
// Returns "" or why the note could not be made.
std::string unit_backup_note_reset(const QV_Machine* m, const std::string& root);

// Settings were written to the attached unit: its backups hold its own
// settings again.
void unit_backup_note_settings_written(const QV_Machine* m, const std::string& root);

// What is offered back after a run whose backup is run_folder: the newest
// backup of that unit holding its own settings, and whether that is an
// older one than the run's.
struct UnitBackupOffer {
    UnitBackupEntry run;    // the run's own backup (folder empty when none)
    UnitBackupEntry backup; // the one to restore (folder empty when none)
    bool older = false;     // backup was taken before an earlier run
};
UnitBackupOffer unit_backup_offer(const std::string& root, const std::string& run_folder);

// The note after a run that reset the unit's parameter sector: the way
// back to the settings offered (see unit_backup_offer).
std::u16string unit_backup_restore_notice(const std::string& root, const std::string& run_folder);
