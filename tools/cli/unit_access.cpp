#include "tools/cli/unit_access.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "update/progress_text.h"
#include "common_t73/QV_Hid.h"
#include "common_t73/QV_HidChannel.h"
#include "common_t73/QV_Machine.h"
#include "common_t73/QV_UnitLock.h"
#include "config/records.h"
#include "support/text.h"

void cli_add_unit_option(CLI::App* cmd, std::string* unit) {
    cmd->add_option("--unit", *unit, CLI_UNIT_HELP)->capture_default_str();
}

std::string cli_resolve_serial(const std::string& unit, int* code, std::string* text) {
    if (unit.rfind("serial:", 0) != 0)
        return unit;
    std::string serial = unit.substr(7);
    std::vector<std::string> paths;
    for (const QV_HidUnitInfo& info : QV_Hid_enumerate())
        if (!serial.empty() && info.serial == serial)
            paths.push_back(info.path);
    if (paths.size() == 1)
        return "hid:" + paths[0];
    *code = serial.empty() || paths.size() > 1 ? CLI_USAGE : CLI_NO_UNIT;
    *text = serial.empty()     ? std::string("--unit serial: needs the serial that list shows")
            : paths.empty()    ? "No unit with the USB serial \"" + serial + "\" is attached."
                               : "Several units have the USB serial \"" + serial +
                                  "\": name one with --unit hid:/dev/hidrawN";
    return "";
}

int cli_select_unit(const std::string& given) {
    int code = CLI_OK;
    std::string text;
    std::string unit = cli_resolve_serial(given, &code, &text);
    if (unit.empty())
        return cli_fail(code, text);
    if (QV_Hid_selectSource(unit))
        return CLI_OK;
    // A session file that cannot be replayed says where it went wrong.
    if (std::string why = QV_Hid_sourceError(); !why.empty())
        return cli_fail(CLI_USAGE, why);
    return cli_fail(CLI_USAGE, "--unit must be hid, hid:PATH, serial:SERIAL, socket:PATH or "
                               "replay:FILE, not \"" +
                                   unit + "\"");
}

int cli_refuse_unnamed_unit(const std::string& unit) {
    if (unit != "hid" || QV_Hid_enumerate().size() < 2)
        return CLI_OK;
    std::string text = "Several units are attached; name the one to write with --unit "
                       "serial:SERIAL (or --unit hid:/dev/hidrawN):";
    for (const std::string& line : cli_attached_unit_lines())
        text += "\n" + line;
    QV_Hid_selectSource(unit);
    return cli_fail(CLI_USAGE, text);
}

std::string cli_unit_written_text(const QV_Machine* m) {
    std::string path = m && m->channel ? QV_Hid_handlePath(m->channel->handle) : std::string();
    std::string serial = QV_Hid_serialOf(path);
    // hidapi's paths are the node itself; what --unit takes names it.
    std::string text = path.rfind("socket:", 0) == 0 || path.empty() ? path : "hid:" + path;
    if (!serial.empty())
        text += "  serial \"" + serial + "\"";
    char16_t client[CLIENT_ID_SIZE + 1] = {};
    if (m)
        QV_Machine_clientText(m, client, CLIENT_ID_SIZE + 1);
    return text + "  client \"" + cli_wide_text(client) + "\"";
}

std::string cli_unit_identity(const std::string& source) {
    for (const char* kind : {"hid:", "socket:"}) {
        size_t n = std::strlen(kind);
        if (source.size() <= n || source.compare(0, n, kind) != 0)
            continue;
        // A path that does not exist (yet), or a link to one, is still
        // made absolute and plain.
        namespace fs = std::filesystem;
        std::error_code ec;
        fs::path p = fs::absolute(source.substr(n), ec);
        std::error_code missing; // a path that is not there is no link
        for (int links = 0; !ec && links < 40 && fs::is_symlink(p, missing); ++links) {
            fs::path target = fs::read_symlink(p, ec);
            p = target.is_absolute() ? target : p.parent_path() / target;
        }
        // A device node's own links are resolved above; realpath is not
        // asked about nodes under /dev, where a preloaded device emulator
        // may answer it wrongly.
        if (!ec && std::strcmp(kind, "socket:") == 0)
            p = fs::weakly_canonical(p, ec);
        return ec ? source : std::string(kind) + p.lexically_normal().string();
    }
    return source;
}

int cli_unit_missing(std::string* text) {
    if (QV_Hid_lastOpenError() == QV_HID_OPEN_BUSY) {
        *text = QV_Hid_inUseText();
        return CLI_UNIT_IN_USE;
    }
    if (QV_Hid_lastOpenError() == QV_HID_OPEN_LOCK_FAILED) {
        bool permission = false;
        *text = QV_Hid_lockFailedText(&permission);
        return permission ? CLI_NO_ACCESS : CLI_UNIT_IN_USE;
    }
    if (QV_Hid_lastOpenError() == QV_HID_OPEN_DENIED) {
        *text = QV_Hid_permissionText();
        return CLI_NO_ACCESS;
    }
    *text = CLI_NO_HARDWARE;
    return CLI_NO_UNIT;
}

FailureText cli_unit_failure_why(int code, const std::string& text) {
    FailureText f;
    if (code == CLI_NO_UNIT) {
        f.reason = "No unit was found where --unit looks (hid: the units on USB).";
        f.hint = "Plug the unit in with a cable that carries data (a charging-only one does not) "
                 "and run the command again; trevik-cli list shows the units the tool sees, "
                 "lsusb -d 0416:b500 whether the system sees one.";
    } else if (code == CLI_NO_ACCESS) {
        // The permission text says the cause in its first sentence.
        size_t end = text.find(". ");
        bool split = text == QV_Hid_permissionText() && end != std::string::npos;
        f.reason = split ? text.substr(0, end + 1) : text;
        f.hint = split ? text.substr(end + 2)
                       : "Give this user access to the unit (the udev rule 70-trevik-unit.rules, "
                         "see the README), plug it in again and run the command again.";
    } else if (code == CLI_UNIT_IN_USE) {
        f.reason = text.empty() ? std::string(UNIT_IN_USE_TEXT) : text;
        f.hint = "Close the window or the other trevik-cli that holds the unit, or wait until it "
                 "is done, then run the command again.";
    }
    return f;
}

int cli_attach_unit(QV_Machine* m) {
    if (QV_Machine_attachFirstUnit(m))
        return CLI_OK;
    std::string text;
    int code = cli_unit_missing(&text);
    return cli_fail(code, text);
}

void cli_device_progress(void* user, QV_Machine* m, int kind, uint32_t value, uint32_t start_tick) {
    auto* progress = static_cast<CliProgress*>(user);
    if (!progress || !m || kind == 0)
        return;
    using namespace std::chrono;
    uint32_t now =
        uint32_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
    std::string status = cli_wide_text(m->status_text);
    // A new status text comes before its count begins ("Verify " before
    // the read-back): its figures are the last count's, so the text alone.
    if (kind == 3) {
        progress->phase(status);
        return;
    }
    progress->update(progress_device_text(status, value, progress_elapsed_seconds(now, start_tick)),
                     m->done, m->total);
}

namespace {

CliJson date_json(const DateStamp& d) {
    if (d.year == 0)
        return nullptr;
    return cli_date_json(d.year * 10000u + d.month * 100u + d.day);
}

std::string ansi_to_utf8(const char* ansi, size_t n) {
    char16_t wide[512] = {};
    if (n == 0 || ansi_to_wtext(wide, 512, ansi, int(n)) < 0)
        return std::string(ansi, n);
    return wtext_to_utf8(wide);
}

} // namespace

CliJson cli_unit_json(const QV_Machine* m) {
    const uint8_t* ms = m->main_setting;
    auto s32 = [ms](int offset) { return int32_t(rec_u32(ms + offset)); };
    char board[5] = {};
    std::memcpy(board, ms + MS_OFF_BOARD_NAME, 4);
    char16_t client[CLIENT_ID_SIZE + 1] = {};
    QV_Machine_clientText(m, client, CLIENT_ID_SIZE + 1);
    char16_t tool[4] = {};
    QV_Machine_updateToolText(m, tool, 4);

    CliJson j;
    j["layout502"] = m->layout502 != 0;
    j["boot"] = int32_t(m->boot_version);
    j["flash_size"] = int32_t(m->flash_size);
    j["main_setting_version"] = s32(MS_OFF_VERSION);
    j["board_name"] = ansi_to_utf8(board, std::strlen(board));
    j["program_version"] = s32(MS_OFF_PROGRAM_VERSION);
    j["client"] = wtext_to_utf8(client);
    j["gps_version"] = date_json(m->gps_date);
    j["gps_size"] = s32(MS_OFF_GPS_SIZE);
    j["voice_version"] = date_json(m->voice_date);
    j["voice_size"] = s32(MS_OFF_VOICE_SIZE);
    j["radar_mute_version"] = date_json(m->radar_mute_date);
    j["radar_mute_size"] = s32(MS_OFF_RADAR_MUTE_SIZE);
    // 无 (none) is absent, null as every absent value; 有 and 错 stay.
    j["update_version"] = tool[0] == u'无' ? CliJson(nullptr) : CliJson(wtext_to_utf8(tool));
    j["update_size"] = s32(MS_OFF_UPDATE_TOOL_SIZE);
    // The text's "server version:N;size:M" line shows the server-data
    // region's size, then the update tool's size again (update_size).
    j["server_data_size"] = s32(MS_OFF_SERVER_DATA_SIZE);
    return j;
}
