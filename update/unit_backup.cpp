#include "update/unit_backup.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include <nlohmann/json.hpp>

#include "common_t73/QV_Hid.h"
#include "common_t73/QV_HidChannel.h"
#include "common_t73/QV_Machine.h"
#include "config/config_model.h"
#include "config/config_run.h"
#include "config/machine_unit.h"
#include "config/records.h"
#include "config/settings_json.h"
#include "update/update_history.h"
#include "support/platform.h"
#include "support/sha256.h"
#include "support/text.h"

namespace {

// The server-data region of a unit is a few sectors; anything far larger is
// a broken record, not a region to hold in memory.
constexpr uint32_t SERVER_DATA_LIMIT = 16u << 20;

std::string write_file(const std::string& path, const void* data, size_t n) {
    int fd = platform_open(path, PLATFORM_WRITE | PLATFORM_CREATE | PLATFORM_EXCLUSIVE |
                                     PLATFORM_NO_LINK);
    if (fd < 0)
        return path + ": " + std::strerror(errno);
    const auto* p = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < n) {
        long w = platform_write(fd, p + done, n - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            std::string why = w < 0 ? std::strerror(errno) : "short write";
            platform_close(fd);
            return path + ": " + why;
        }
        done += size_t(w);
    }
    if (platform_fsync(fd) != 0 || platform_close(fd) != 0)
        return path + ": " + std::strerror(errno);
    return "";
}

std::string client_id_of(const QV_Machine* m) {
    char16_t client[CLIENT_ID_SIZE + 1] = {};
    QV_Machine_clientText(m, client, CLIENT_ID_SIZE + 1);
    return wtext_to_utf8(client);
}

int64_t realtime_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A file of a backup, whole, when it is a small regular file.
std::string read_small_file(const std::string& path) {
    int fd = platform_open(path, PLATFORM_READ | PLATFORM_NO_LINK | PLATFORM_NO_WAIT);
    if (fd < 0)
        return "";
    int64_t size = 0;
    std::string out;
    if (platform_fd_kind(fd, &size) == PLATFORM_PATH_FILE && size <= 64 * 1024) {
        out.resize(size_t(size));
        long n = platform_pread(fd, out.data(), out.size(), 0);
        out.resize(n > 0 ? size_t(n) : 0);
    }
    platform_close(fd);
    return out;
}

bool is_digits(const std::string& s, size_t from, size_t n) {
    if (s.size() < from + n)
        return false;
    for (size_t i = from; i < from + n; ++i)
        if (s[i] < '0' || s[i] > '9')
            return false;
    return true;
}

// Where a run notes that it reset the parameter sector of the unit with
// this key.
std::string reset_note_path(const std::string& root, const std::string& key) {
    return root + "/" + key + ".reset";
}

// The time a noted reset of the unit was made; empty when none is noted.
std::string reset_note_time(const std::string& root, const std::string& key) {
    nlohmann::json j = nlohmann::json::parse(read_small_file(reset_note_path(root, key)), nullptr,
                                             false);
    if (!j.is_object())
        return "";
    return j.contains("time") && j["time"].is_string() ? j["time"].get<std::string>()
                                                        : std::string("an unknown time");
}

} // namespace

std::string unit_backups_root(const std::string& state_dir) {
    // No state directory, no backups: never a folder at the file system's
    // root.
    return state_dir.empty() ? std::string() : state_dir + "/backups";
}

std::string unit_backup_safe_id(const std::string& client_id) {
    std::string out;
    for (char c : client_id) {
        if (out.size() >= 64)
            break;
        bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '-' || c == '_';
        out.push_back(keep ? c : '_');
    }
    // Blanks around the id and a name of dots say nothing.
    size_t b = out.find_first_not_of('_');
    size_t e = out.find_last_not_of('_');
    out = b == std::string::npos ? std::string() : out.substr(b, e - b + 1);
    if (out.find_first_not_of('.') == std::string::npos)
        out.clear();
    return out.empty() ? "unknown" : out;
}

UnitIdentity unit_identity_make(const std::string& client_id, const std::string& serial,
                                const uint8_t* identity_block, size_t block_size,
                                const std::string& path) {
    static const uint8_t none = 0;
    if (!identity_block) {
        identity_block = &none;
        block_size = 0;
    }
    UnitIdentity id;
    id.client_id = client_id;
    id.serial = serial;
    id.path = path;
    id.block_sha256 = sha256_hex(identity_block, block_size);
    if (!serial.empty()) {
        id.key = unit_backup_safe_id(client_id) + "-" + unit_backup_safe_id(serial);
    } else {
        // The block's bytes beyond the client id and the place the unit hung
        // at are all that set apart units of one customer without serials.
        std::string bytes(reinterpret_cast<const char*>(identity_block), block_size);
        bytes.push_back('\0');
        bytes += path;
        id.key = unit_backup_safe_id(client_id) + "-" +
                 sha256_hex(bytes.data(), bytes.size()).substr(0, 12);
    }
    return id;
}

UnitIdentity unit_identity_of(const QV_Machine* m) {
    std::string path = m && m->channel ? QV_Hid_handlePath(m->channel->handle) : std::string();
    return unit_identity_make(m ? client_id_of(m) : std::string(), QV_Hid_serialOf(path),
                              m ? m->identity : nullptr, m ? sizeof m->identity : 0, path);
}

std::string unit_identity_text(const UnitIdentity& id) {
    std::string text = "unit \"" + id.client_id + "\"";
    if (!id.serial.empty())
        return text + " (serial " + id.serial + ")";
    if (!id.path.empty())
        text += " at " + id.path;
    return text + " (identity " + id.key + ")";
}

UnitIdentity unit_backup_identity(const std::string& folder) {
    UnitIdentity id;
    nlohmann::json j =
        nlohmann::json::parse(read_small_file(folder + "/" + BACKUP_IDENTITY_JSON), nullptr, false);
    if (!j.is_object())
        return id;
    auto text = [&](const char* k) {
        return j.contains(k) && j[k].is_string() ? j[k].get<std::string>() : std::string();
    };
    id.client_id = text("client_id");
    id.serial = text("serial");
    id.path = text("unit_path");
    id.block_sha256 = text("identity_sha256");
    id.key = text("key");
    // A key that could name another folder is no key.
    if (id.key != unit_backup_safe_id(id.key))
        id.key.clear();
    return id;
}

std::string unit_backup_folder_name(std::time_t utc, const std::string& client_id) {
    std::tm tm{};
    platform_utc_time(utc, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%dT%H%M%SZ", &tm);
    return std::string(buf) + "-" + unit_backup_safe_id(client_id);
}

std::string unit_settings_json_text(const QV_Machine* m) {
    if (!m)
        return "";
    // The checks `settings --json` makes before it shows anything.
    MachineConfigUnit unit(const_cast<QV_Machine*>(m));
    ConfigRunResult check = config_run_precheck(unit);
    if (check != CONFIG_RUN_SUCCESS && check != CONFIG_RUN_RADAR_DECLINED)
        return "";
    ConfigView v = config_view_load(u"Setting", int(m->boot_version), m->param_kind, m->param,
                                    m->main_setting, m->server_settings);
    return config_settings_json_text(v, int(m->boot_version),
                                     param_radar_type(m->param, m->param_kind));
}

UnitBackupResult unit_backup_save(QV_Machine* m, const std::string& root, uint32_t server_address,
                                  uint32_t server_size, std::time_t now) {
    UnitBackupResult r;
    if (root.empty()) {
        r.error = make_private_directory("");
        return r;
    }
    UnitIdentity unit = unit_identity_of(m);
    int64_t taken_ns = realtime_ns();
    // The key is file-safe already: the time, then the key. The result names
    // it only once it is made.
    std::string folder =
        root + "/" + unit_backup_folder_name(now, "").substr(0, 16) + "-" + unit.key;
    if (!QV_Machine_isConnected(m)) {
        r.error = "the unit is not connected";
        r.no_answer = true;
        return r;
    }
    // Everything is read before anything is saved: a unit that cannot be
    // read leaves no half backup behind.
    int layout502 = m->layout502 ? 1 : 0;
    uint8_t param[MACHINE_PARAM_SIZE];
    uint8_t block[512];
    uint8_t identity[CLIENT_ID_SIZE];
    uint32_t flash = m->flash_size ? m->flash_size : FLASH_SIZE_DEFAULT;
    if (server_size > SERVER_DATA_LIMIT || uint64_t(server_address) + server_size > flash ||
        server_address % FLASH_PAGE_SIZE != 0) {
        r.error = "the unit's server-data region lies outside its flash";
        return r;
    }
    std::vector<uint8_t> server(server_size);
    if (!QV_Machine_readBlock(m, layout502 ? FLASH_PARAM_ADDRESS_502 : FLASH_PARAM_ADDRESS, param,
                              sizeof param, 0) ||
        !QV_Machine_readBlock(
            m, layout502 ? FLASH_MAIN_SETTING_ADDRESS_502 : FLASH_MAIN_SETTING_ADDRESS, block,
            sizeof block, 0) ||
        !QV_Machine_readBlock(m, layout502 ? FLASH_IDENTITY_ADDRESS_502 : FLASH_IDENTITY_ADDRESS,
                              identity, sizeof identity, 0) ||
        (server_size && !QV_Machine_readBlock(m, server_address, server.data(), server_size, 1))) {
        r.error = "the unit did not answer when its records were read";
        r.no_answer = true;
        return r;
    }

    // The defaults of a just-written program are no settings of the user's.
    // What tells them apart is what happened to the unit since: an erased
    // record (it has not restarted since its reset), or a reset noted by a
    // run and no settings written after it.
    if (std::all_of(param, param + sizeof param, [](uint8_t b) { return b == 0xFF; })) {
        r.holds_defaults = true;
        r.defaults_reason = "its parameter record is erased: it has not restarted since its "
                            "parameter sector was reset";
    } else if (std::string at = reset_note_time(root, unit.key); !at.empty()) {
        r.holds_defaults = true;
        r.defaults_reason = "an update reset its parameter sector at " + at +
                            " and no settings were written to it since";
    }

    std::string why = make_private_directory(root);
    if (why.empty()) {
        // Two runs within a second get folders of their own.
        std::string base = folder;
        for (int i = 2; platform_mkdir(folder, true) != 0; ++i) {
            if (errno != EEXIST || i > 99) {
                why = folder + ": " + std::strerror(errno);
                break;
            }
            folder = base + "-" + std::to_string(i);
        }
    }
    if (why.empty()) {
        r.folder = folder;
        std::string settings = unit_settings_json_text(m);
        std::string info = QV_Machine_infoText(m);
        const std::string& f = r.folder;
        if (!settings.empty()) {
            why = write_file(f + "/" + BACKUP_SETTINGS_FILE, settings.data(), settings.size());
            r.has_settings = why.empty();
        }
        if (why.empty())
            why = write_file(f + "/" + BACKUP_PARAM_FILE, param, sizeof param);
        if (why.empty())
            why = write_file(f + "/" + BACKUP_MAIN_SETTING_FILE, block, sizeof block);
        if (why.empty())
            why = write_file(f + "/" + BACKUP_IDENTITY_FILE, identity, sizeof identity);
        if (why.empty() && server_size)
            why = write_file(f + "/" + BACKUP_SERVER_DATA_FILE, server.data(), server.size());
        if (why.empty())
            why = write_file(f + "/" + BACKUP_UNIT_FILE, info.data(), info.size());
        if (why.empty()) {
            nlohmann::json j = {{"time", utc_time_text(now)},
                                {"time_ns", taken_ns},
                                {"key", unit.key},
                                {"client_id", unit.client_id},
                                {"serial", unit.serial},
                                {"unit_path", unit.path},
                                {"identity_sha256", unit.block_sha256},
                                {"holds_defaults", r.holds_defaults},
                                {"defaults_reason", r.holds_defaults
                                                        ? nlohmann::json(r.defaults_reason)
                                                        : nlohmann::json(nullptr)}};
            std::string text =
                j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
            why = write_file(f + "/" + BACKUP_IDENTITY_JSON, text.data(), text.size());
        }
        if (!why.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(f, ec);
            r.folder.clear(); // nothing is left of it
            r.has_settings = false;
        }
    }
    r.error = why;
    return r;
}

std::vector<UnitBackupEntry> unit_backup_list(const std::string& root) {
    std::vector<UnitBackupEntry> list;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(root, ec)) {
        if (!e.is_directory(ec) || e.is_symlink(ec))
            continue;
        std::string name = e.path().filename().string();
        // 20261210T130522Z-<id>
        if (name.size() < 18 || !is_digits(name, 0, 8) || name[8] != 'T' ||
            !is_digits(name, 9, 6) || name[15] != 'Z' || name[16] != '-')
            continue;
        UnitBackupEntry b;
        b.folder = e.path().string();
        b.name = name;
        b.time = name.substr(0, 4) + "-" + name.substr(4, 2) + "-" + name.substr(6, 2) + "T" +
                 name.substr(9, 2) + ":" + name.substr(11, 2) + ":" + name.substr(13, 2) + "Z";
        b.unit = name.substr(17);
        // A second folder of the same second carries "-2" and so on.
        size_t dash = b.unit.rfind('-');
        if (dash != std::string::npos && dash + 1 < b.unit.size() &&
            b.unit.find_first_not_of("0123456789", dash + 1) == std::string::npos &&
            std::filesystem::exists(root + "/" + name.substr(0, 17) + b.unit.substr(0, dash)))
            b.unit = b.unit.substr(0, dash);
        b.has_settings = std::filesystem::exists(b.folder + "/" + BACKUP_SETTINGS_FILE, ec) ? 1 : 0;
        std::tm tm{};
        tm.tm_year = std::stoi(name.substr(0, 4)) - 1900;
        tm.tm_mon = std::stoi(name.substr(4, 2)) - 1;
        tm.tm_mday = std::stoi(name.substr(6, 2));
        tm.tm_hour = std::stoi(name.substr(9, 2));
        tm.tm_min = std::stoi(name.substr(11, 2));
        tm.tm_sec = std::stoi(name.substr(13, 2));
        b.time_ns = int64_t(platform_time_of_utc(&tm)) * 1000000000;
        b.identity = unit_backup_identity(b.folder);
        if (!b.identity.key.empty()) {
            b.unit = b.identity.key;
            nlohmann::json j = nlohmann::json::parse(
                read_small_file(b.folder + "/" + BACKUP_IDENTITY_JSON), nullptr, false);
            if (j.contains("time_ns") && j["time_ns"].is_number_integer())
                b.time_ns = j["time_ns"].get<int64_t>();
            if (j.contains("holds_defaults") && j["holds_defaults"].is_boolean() &&
                j["holds_defaults"].get<bool>()) {
                b.holds_defaults = 1;
                if (j.contains("defaults_reason") && j["defaults_reason"].is_string())
                    b.defaults_reason = j["defaults_reason"].get<std::string>();
            }
        }
        list.push_back(b);
    }
    // The time each backup recorded orders them: a folder "-10" comes
    // after "-9" although its name sorts before it.
    std::sort(list.begin(), list.end(), [](const UnitBackupEntry& a, const UnitBackupEntry& b) {
        return a.time_ns != b.time_ns ? a.time_ns < b.time_ns : a.name < b.name;
    });
    return list;
}

UnitBackupEntry unit_backup_newest(const std::string& root, const std::string& key) {
    std::vector<UnitBackupEntry> list = unit_backup_list(root);
    for (auto it = list.rbegin(); it != list.rend(); ++it)
        if (it->unit == key && it->has_settings && !it->holds_defaults)
            return *it;
    return {};
}

bool unit_backup_offered(const std::vector<UnitBackupEntry>& list, const UnitBackupEntry& b) {
    if (!b.has_settings || b.holds_defaults)
        return false;
    for (auto it = list.rbegin(); it != list.rend(); ++it)
        if (it->unit == b.unit && it->has_settings && !it->holds_defaults)
            return it->folder == b.folder;
    return false;
}

std::string unit_backup_mark_text(const std::vector<UnitBackupEntry>& list,
                                  const UnitBackupEntry& b) {
    if (b.holds_defaults)
        return "  (default settings, not the unit's own)";
    if (!unit_backup_offered(list, b))
        return "";
    // Offered although a later backup of the unit exists: that one holds
    // defaults (or nothing), and this is older than the unit's last update.
    for (const UnitBackupEntry& later : list)
        if (later.unit == b.unit && later.time_ns > b.time_ns && later.holds_defaults)
            return "  (the unit's own settings, from before an earlier update)";
    return "";
}

std::string unit_backup_note_reset(const QV_Machine* m, const std::string& root) {
    if (root.empty())
        return make_private_directory("");
    std::string why = make_private_directory(root);
    if (!why.empty())
        return why;
    std::string path = reset_note_path(root, unit_identity_of(m).key);
    std::string text =
        nlohmann::json{{"time", utc_time_text(std::time(nullptr))}}.dump() + "\n";
    // A note of an earlier reset is replaced: the latest reset is the one
    // that counts.
    platform_remove(path);
    return write_file(path, text.data(), text.size());
}

void unit_backup_note_settings_written(const QV_Machine* m, const std::string& root) {
    if (!root.empty())
        platform_remove(reset_note_path(root, unit_identity_of(m).key));
}

UnitBackupOffer unit_backup_offer(const std::string& root, const std::string& run_folder) {
    UnitBackupOffer o;
    if (run_folder.empty())
        return o;
    std::vector<UnitBackupEntry> list = unit_backup_list(root);
    for (const UnitBackupEntry& b : list)
        if (b.folder == run_folder)
            o.run = b;
    if (o.run.folder.empty())
        return o;
    o.backup = unit_backup_newest(root, o.run.unit);
    o.older = !o.backup.folder.empty() && o.backup.folder != o.run.folder;
    return o;
}

std::u16string unit_backup_restore_notice(const std::string& root, const std::string& run_folder) {
    std::string text = "The unit starts its new program with its default settings.";
    if (run_folder.empty())
        return utf8_to_wtext(text);
    UnitBackupOffer o = unit_backup_offer(root, run_folder);
    const std::string apply =
        " Once it has restarted, bring its settings back with: trevik-cli settings apply ";
    if (!o.backup.folder.empty() && !o.older)
        return utf8_to_wtext(text + apply + o.backup.folder + "/" + BACKUP_SETTINGS_FILE);
    if (o.older)
        // The backup of this run holds defaults (or nothing): the user's
        // own settings are in the one taken before an earlier update.
        return utf8_to_wtext(text + apply + o.backup.folder + "/" + BACKUP_SETTINGS_FILE +
                             " (saved at " + o.backup.time +
                             ", before an earlier update: the backup of this run, " + run_folder +
                             ", holds " +
                             (o.run.has_settings ? "its default settings" : "no settings") +
                             ", not its own)");
    if (o.run.holds_defaults && o.run.has_settings)
        return utf8_to_wtext(text + " It held its default settings before this update and no "
                                    "backup of its own settings is kept; its raw records are "
                                    "kept in " +
                             run_folder);
    // A unit without a recognised parameter record shows no settings:
    // there were none to save, only its raw records.
    return utf8_to_wtext(text + " It showed no settings before the update, so none were saved; "
                                "its raw records are kept in " +
                         run_folder);
}
