// trevik-cli list: every unit attached, with what each tells about itself.
//
//   trevik-cli list [--unit socket:PATH]... [--json]
//
// The HID units come from the enumeration (device path, serial and product
// strings where the unit has them); emulated units on the sockets given with
// --unit are added. Each unit is opened to read its client id and board;
// one that cannot be opened is listed without them, and one another
// program holds is marked busy with that program's process id.

#include <cstdio>
#include <string>
#include <vector>

#include "common_t73/QV_Hid.h"
#include "common_t73/QV_Machine.h"
#include "common_t73/QV_UnitLock.h"
#include "config/records.h"
#include "support/platform.h"
#include "support/text.h"
#include "tools/cli/cli.h"
#include "tools/cli/unit_access.h"
#include "tools/cli/usb_hubs.h"

namespace {

struct ListedUnit {
    std::string source; // what --unit takes to choose this unit
    std::string path;
    std::string serial;
    std::string product;
    bool opened = false;
    bool denied = false;
    bool busy = false; // another program holds the unit's lock
    int busy_pid = 0;  // that program's process id, 0 when it cannot be learnt
    std::u16string client;
    std::string board; // in the unit's code page
};

// The process that holds the lock of a unit another program uses; 0 when
// it cannot be learnt.
int holder_pid(const ListedUnit& unit) {
    bool socket = unit.source.rfind("socket:", 0) == 0;
    std::string lock = socket ? QV_UnitLock_pathForSocket(unit.path)
                              : QV_UnitLock_pathForDevice(unit.path);
    int fd = platform_open(lock, PLATFORM_READ);
    if (fd < 0)
        return 0;
    int pid = QV_UnitLock_holderPid(fd);
    platform_close(fd);
    return pid;
}

// Opens the unit of source, if it can, and reads its client id and board.
void read_identity(ListedUnit* unit) {
    if (!QV_Hid_selectSource(unit->source))
        return;
    QV_Machine* m = QV_Machine_create(nullptr, nullptr, nullptr, nullptr);
    if (!m)
        return;
    if (QV_Machine_attachFirstUnit(m)) {
        unit->opened = true;
        char16_t client[CLIENT_ID_SIZE + 1] = {};
        QV_Machine_clientText(m, client, CLIENT_ID_SIZE + 1);
        unit->client = client;
        const char* board = reinterpret_cast<const char*>(m->main_setting + MS_OFF_BOARD_NAME);
        size_t n = 0;
        while (n < 4 && board[n])
            ++n;
        unit->board.assign(board, n);
    } else {
        unit->denied = QV_Hid_lastOpenError() == QV_HID_OPEN_DENIED;
        unit->busy = QV_Hid_lastOpenError() == QV_HID_OPEN_BUSY;
        if (unit->busy)
            unit->busy_pid = holder_pid(*unit);
    }
    QV_Machine_release(m);
}

std::string board_utf8(const std::string& ansi) {
    char16_t wide[8] = {};
    if (ansi.empty() || ansi_to_wtext(wide, 8, ansi.c_str(), int(ansi.size())) < 0)
        return ansi;
    return wtext_to_utf8(wide);
}

CliJson unit_json(const ListedUnit& u) {
    auto text_or_null = [](const std::string& s) {
        return s.empty() ? CliJson(nullptr) : CliJson(s);
    };
    CliJson j;
    j["unit"] = u.source;
    j["path"] = u.path;
    j["serial"] = text_or_null(u.serial);
    j["product"] = text_or_null(u.product);
    j["opened"] = u.opened;
    j["access_denied"] = u.denied;
    j["busy"] = u.busy;
    j["busy_pid"] = u.busy && u.busy_pid > 0 ? CliJson(u.busy_pid) : CliJson(nullptr);
    j["client"] = u.opened ? CliJson(wtext_to_utf8(u.client.c_str())) : CliJson(nullptr);
    j["board"] = u.opened ? CliJson(board_utf8(u.board)) : CliJson(nullptr);
    return j;
}

std::string unit_line(const ListedUnit& u) {
    std::string line = u.source;
    if (!u.serial.empty())
        line += "  serial \"" + u.serial + "\"";
    if (!u.product.empty())
        line += "  product \"" + u.product + "\"";
    if (u.opened)
        line += "  client \"" + cli_wide_text(u.client) + "\"  board \"" + cli_ansi_text(u.board) +
                "\"";
    else if (u.busy)
        line += u.busy_pid > 0
                    ? "  (in use by another program: process " + std::to_string(u.busy_pid) + ")"
                    : std::string("  (in use by another program)");
    else if (u.denied)
        line +=
            "  (no permission to open: install the udev rule " + std::string(UNIT_UDEV_RULE) + ")";
    else
        line += "  (cannot be opened)";
    return line;
}

void print_unit(const ListedUnit& u) {
    std::printf("%s\n", unit_line(u).c_str());
}

// The HID units attached, as the enumeration lists them.
std::vector<ListedUnit> hid_units() {
    std::vector<ListedUnit> units;
    for (const QV_HidUnitInfo& info : QV_Hid_enumerate()) {
        ListedUnit u;
        u.source = "hid:" + info.path;
        u.path = info.path;
        u.serial = info.serial;
        u.product = info.product;
        units.push_back(u);
    }
    return units;
}

int run_list(const std::vector<std::string>& sources) {
    std::vector<ListedUnit> units = hid_units();
    for (const std::string& s : sources) {
        if (int code = cli_select_unit(s); code != CLI_OK)
            return code;
        // Every HID unit is listed already; sockets are added when served.
        if (s.rfind("socket:", 0) != 0)
            continue;
        ListedUnit u;
        u.source = s;
        u.path = s.substr(7);
        units.push_back(u);
    }
    for (ListedUnit& u : units)
        read_identity(&u);
    // A socket that no emulator serves is no unit; one another program
    // holds is.
    std::vector<ListedUnit> present;
    for (ListedUnit& u : units)
        if (u.opened || u.busy || u.source.rfind("socket:", 0) != 0)
            present.push_back(u);

    if (cli_json()) {
        CliJson list = CliJson::array();
        for (const ListedUnit& u : present)
            list.push_back(unit_json(u));
        cli_print_json(CliJson{{"units", list}});
    } else {
        for (const ListedUnit& u : present)
            print_unit(u);
        if (present.empty())
            cli_note("No unit found.");
    }
    std::vector<std::string> hidraw;
    for (const ListedUnit& u : present)
        if (u.source.rfind("hid:", 0) == 0)
            hidraw.push_back(u.path);
    for (const std::string& w : usb_single_tt_warnings(hidraw))
        cli_note("Warning: " + w);
    QV_Hid_selectSource("hid");
    return CLI_OK;
}

void setup(CLI::App& root, int* exit_code) {
    static std::vector<std::string> sources;
    CLI::App* cmd = root.add_subcommand("list", "List every unit attached");
    cmd->add_option("--unit", sources,
                    "Also list the emulated unit served on socket:PATH (may be repeated)");
    cli_add_json_flags(cmd);
    cmd->callback([exit_code] { *exit_code = run_list(sources); });
}

const CliRegistrar registrar(setup);

} // namespace

std::vector<std::string> cli_attached_unit_lines() {
    std::vector<std::string> lines;
    for (ListedUnit& u : hid_units()) {
        read_identity(&u);
        lines.push_back(unit_line(u));
    }
    return lines;
}
