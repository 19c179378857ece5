// trevik-unit-sim: serves one emulated unit on a Unix-domain socket, for
// trevik and trevik-cli (--unit socket:PATH) and for end-to-end tests.
#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "tools/unitsim/UnitSim.h"
#include "trevik_version.h"

namespace {

int g_stop_fd = -1;

void on_signal(int) {
    if (g_stop_fd >= 0) {
        char b = 1;
        [[maybe_unused]] ssize_t n = ::write(g_stop_fd, &b, 1);
    }
}

bool parse_number(const std::string& text, uint32_t* out) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > UINT32_MAX || text[0] == '-')
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

// CODE[:NTH[:STATUS]], CODE a command code such as f3 or 0xf3, or "any".
bool parse_fault(const std::string& option, UnitFault kind, UnitFaultRule* rule) {
    rule->kind = kind;
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t colon = option.find(':', start);
        parts.push_back(option.substr(start, colon - start));
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    if (parts.size() > 3)
        return false;
    uint32_t v = 0;
    if (parts[0] == "any") {
        rule->code = 0;
    } else {
        std::string code = parts[0];
        if (code.rfind("0x", 0) != 0 && code.rfind("0X", 0) != 0)
            code = "0x" + code;
        if (!parse_number(code, &v) || v > 0xFF)
            return false;
        rule->code = static_cast<uint8_t>(v);
    }
    rule->nth = -1;
    if (parts.size() > 1 && parts[1] != "every") {
        if (!parse_number(parts[1], &v) || v > 1000000000u)
            return false;
        rule->nth = static_cast<int>(v);
    }
    if (parts.size() > 2) {
        if (!parse_number(parts[2], &v) || v == 0)
            return false;
        rule->status = v;
    }
    return true;
}

uint32_t u32_at(const std::vector<uint8_t>& flash, size_t at) {
    return static_cast<uint32_t>(flash[at]) | static_cast<uint32_t>(flash[at + 1]) << 8 |
           static_cast<uint32_t>(flash[at + 2]) << 16 | static_cast<uint32_t>(flash[at + 3]) << 24;
}

// Where the unit's data lies, as its main-setting record says: the record at
// 0x16000 when valid with a board name, else the one at 0x1E000 (layout
// 502), else the old fixed places.
struct Regions {
    bool found = false;
    bool layout502 = false;
    uint32_t voice = 0xDE000, voiceSize = 0x200000;
    uint32_t radarMute = 0x16000, radarMuteSize = 0xC8000;
    uint32_t gps = 0x2DE000, gpsSize = 0x522000;
};

Regions find_regions(const std::vector<uint8_t>& flash) {
    Regions r;
    for (uint32_t block : {0x16000u, 0x1E000u}) {
        if (flash.size() < block + 256)
            continue;
        const uint8_t* rec = flash.data() + block + 4;
        uint32_t sum = 0;
        for (int i = 0; i < 231; ++i)
            sum += rec[i];
        bool valid = u32_at(flash, block + 4 + 227) == 0x6B2D9E41 && u32_at(flash, block) == sum;
        if (!valid || (block == 0x16000 && u32_at(flash, block + 8) == 0))
            continue;
        r.found = true;
        r.layout502 = block == 0x1E000;
        r.voice = u32_at(flash, block + 4 + 79);
        r.voiceSize = u32_at(flash, block + 4 + 83);
        r.radarMute = u32_at(flash, block + 4 + 87);
        r.radarMuteSize = u32_at(flash, block + 4 + 91);
        r.gps = u32_at(flash, block + 4 + 95);
        r.gpsSize = u32_at(flash, block + 4 + 99);
        break;
    }
    return r;
}

struct Served {
    UnitSim* unit;
    std::string image;
    bool verbose;
    size_t shown = 0;
};

void on_disconnect(void* user) {
    auto* s = static_cast<Served*>(user);
    if (s->verbose) {
        const auto& cmds = s->unit->commands();
        for (; s->shown < cmds.size(); ++s->shown) {
            const UnitCommand& c = cmds[s->shown];
            std::fprintf(stderr, "command %02X A=%08X B=%08X C=%08X mode=%u D=%08X status=%u%s\n",
                         c.code, c.a, c.b, c.c, c.mode, c.d, c.status,
                         c.replied ? "" : " (no reply)");
        }
    }
    if (!s->image.empty() && !s->unit->saveImage(s->image))
        std::fprintf(stderr, "trevik-unit-sim: cannot save the flash image %s\n", s->image.c_str());
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"trevik-unit-sim: an emulated unit served on a Unix-domain socket.\n"
                 "Connect with trevik-cli --unit socket:PATH. Numbers take 0x for hexadecimal.\n"
                 "A new unit (no image, or an image file not there yet) gets every record below\n"
                 "with its default; a unit loaded from an image only gets the ones given."};
    std::string socketPath, image, flashText = "0x800000", bootText = "1046", layout = "normal";
    app.set_version_flag("--version", std::string("trevik-unit-sim ") + TREVIK_VERSION);
    app.add_option("--socket", socketPath, "Socket path to listen on")->required();
    app.add_option(
        "--image", image,
        "Flash image file: loaded when present, saved after each connection and at exit");
    auto* flashOpt =
        app.add_option("--flash-size", flashText, "Flash size in bytes")->capture_default_str();
    app.add_option("--boot", bootText, "Boot version")->capture_default_str();
    auto* layoutOpt = app.add_option("--layout", layout, "Record layout: normal or 502")
                          ->check(CLI::IsMember({"normal", "502"}))
                          ->capture_default_str();

    // main-setting record
    std::string board = "T73A", programVersion = "100", serverSize = "0x10000",
                voiceSize = "0x200000", radarSize = "0xC8000", gpsSize = "0x400000",
                updateSize = "0", trackSize = "0";
    bool noMainSetting = false, variantB = false, variantC = false, variantD = false;
    std::vector<CLI::Option*> msOpts;
    msOpts.push_back(
        app.add_option("--board", board, "Board name (4 characters)")->capture_default_str());
    msOpts.push_back(app.add_option("--program-version", programVersion, "Program version")
                         ->capture_default_str());
    msOpts.push_back(app.add_option("--server-size", serverSize, "Server-data region size")
                         ->capture_default_str());
    msOpts.push_back(
        app.add_option("--voice-size", voiceSize, "Voice region size")->capture_default_str());
    msOpts.push_back(
        app.add_option("--radar-size", radarSize, "Radar-mute region size")->capture_default_str());
    msOpts.push_back(
        app.add_option("--gps-size", gpsSize, "GPS region size")->capture_default_str());
    msOpts.push_back(app.add_option("--update-size", updateSize, "Update-tool region size")
                         ->capture_default_str());
    msOpts.push_back(app.add_option("--track-size", trackSize, "Track region size (as it is)")
                         ->capture_default_str());
    msOpts.push_back(app.add_flag("--variant-b", variantB, "Voice variant flag"));
    msOpts.push_back(app.add_flag("--variant-c", variantC, "Second voice variant flag"));
    msOpts.push_back(app.add_flag("--variant-d", variantD, "GPS variant flag"));
    msOpts.push_back(app.add_flag("--no-main-setting", noMainSetting,
                                  "No main-setting record (the old layout)"));
    msOpts.push_back(layoutOpt);

    std::string serverSettings = "cmnet,gps.example.com,8080,user,pass";
    bool noServerSettings = false;
    msOpts.push_back(app.add_option("--server-settings", serverSettings,
                                    "Server settings: APN,SERVER,PORT,USER,PASSWORD")
                         ->capture_default_str());
    msOpts.push_back(
        app.add_flag("--no-server-settings", noServerSettings, "No server-settings record"));

    int paramKind = 5;
    auto* paramOpt =
        app.add_option("--param-kind", paramKind, "Parameter record kind 1..5; 0 leaves it erased")
            ->check(CLI::Range(0, 5))
            ->capture_default_str();
    std::string client = "TREVIK-DEMO 0001";
    auto* clientOpt = app.add_option("--client", client, "Client id in the identity block")
                          ->capture_default_str();
    std::string voiceTime = "1700000000", radarTime = "1700000000", gpsTime = "1735689600";
    std::vector<CLI::Option*> timeOpts;
    timeOpts.push_back(
        app.add_option("--voice-time", voiceTime, "Voice header time stamp (seconds since 1970)")
            ->capture_default_str());
    timeOpts.push_back(app.add_option("--radar-time", radarTime, "Radar-mute header time stamp")
                           ->capture_default_str());
    timeOpts.push_back(
        app.add_option("--gps-time", gpsTime, "GPS header time stamp")->capture_default_str());

    // faults
    std::vector<std::string> noReply, badChecksum, status;
    std::string unplugText, delayText;
    const char* specHelp = "CODE[:NTH[:STATUS]]: command code (f3) or any; NTH from 0 (every "
                           "one when left out)";
    app.add_option("--no-reply", noReply, std::string("Commands that get no answer; ") + specHelp);
    app.add_option("--bad-checksum", badChecksum,
                   std::string("Commands whose reply has a wrong checksum; ") + specHelp);
    app.add_option("--status", status,
                   std::string("Commands answered with a non-zero status (default 7); ") +
                       specHelp);
    app.add_option("--unplug-after", unplugText,
                   "The unit is gone after this many reports (each direction counts)");
    app.add_option("--delay-us", delayText, "Pace every report to one per this many microseconds");
    std::vector<std::string> wrongBytes;
    app.add_option("--wrong-byte", wrongBytes,
                   "Flash addresses that keep a wrong byte: a write there stores it with its bits "
                   "flipped and is still answered as a success");
    bool verbose = false;
    app.add_flag("--verbose", verbose, "Print the commands received after each connection");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }

    auto bad = [](const char* what, const std::string& text) {
        std::fprintf(stderr, "trevik-unit-sim: bad %s: %s\n", what, text.c_str());
        return 2;
    };
    uint32_t flash = 0, boot = 0;
    if (!parse_number(flashText, &flash) || flash < 0x40000 || flash > (256u << 20))
        return bad("flash size (0x40000 to 256 MiB)", flashText);
    if (!parse_number(bootText, &boot))
        return bad("boot version", bootText);

    UnitSim unit(flash, boot);
    bool fresh = true;
    struct stat st {};
    if (!image.empty() && ::stat(image.c_str(), &st) == 0) {
        if (!unit.loadImage(image)) {
            std::fprintf(stderr, "trevik-unit-sim: cannot load the flash image %s\n",
                         image.c_str());
            return 1;
        }
        fresh = false;
        if (flashOpt->count())
            unit.setFlashSize(flash);
    }
    // A loaded unit keeps its layout unless told otherwise.
    bool layout502 =
        layoutOpt->count() || fresh ? layout == "502" : find_regions(unit.flash()).layout502;

    auto given = [](const std::vector<CLI::Option*>& opts) {
        for (auto* o : opts)
            if (o->count())
                return true;
        return false;
    };

    UnitMainSetting ms;
    if ((fresh || given(msOpts)) && !noMainSetting) {
        uint32_t pv, ss, vs, rs, gs, us, ts;
        if (!parse_number(programVersion, &pv))
            return bad("program version", programVersion);
        if (!parse_number(serverSize, &ss) || !parse_number(voiceSize, &vs) ||
            !parse_number(radarSize, &rs) || !parse_number(gpsSize, &gs) ||
            !parse_number(updateSize, &us) || !parse_number(trackSize, &ts))
            return bad("region size", "");
        if (board.size() > 4)
            return bad("board name (at most 4 characters)", board);
        ms.board = board;
        ms.programVersion = pv;
        ms.variantB = variantB;
        ms.variantC = variantC;
        ms.variantD = variantD;
        ms.placeRegions(layout502, ss, vs, rs, gs, us, ts);
        ms.updateToolPresent = us != 0;
        if (ms.layoutEnd > unit.flashSize())
            return bad("regions (they end beyond the flash)", "");
        UnitServerSetting srv;
        bool haveSrv = !noServerSettings;
        if (haveSrv) {
            std::vector<std::string> f;
            size_t start = 0;
            for (;;) {
                size_t comma = serverSettings.find(',', start);
                f.push_back(serverSettings.substr(start, comma - start));
                if (comma == std::string::npos)
                    break;
                start = comma + 1;
            }
            if (f.size() != 5 || !parse_number(f[2], &srv.port))
                return bad("server settings", serverSettings);
            srv.apn = f[0];
            srv.server = f[1];
            srv.user = f[3];
            srv.password = f[4];
        }
        // A unit moved to the other layout keeps no valid block at the old
        // place.
        uint8_t blank[512];
        std::memset(blank, 0xFF, sizeof blank);
        unit.put(unit_main_setting_address(!layout502), blank, sizeof blank);
        unit.setMainSetting(layout502, ms, haveSrv ? &srv : nullptr);
    } else if (noMainSetting) {
        uint8_t blank[512];
        std::memset(blank, 0xFF, sizeof blank);
        unit.put(0x16000, blank, sizeof blank);
        unit.put(0x1E000, blank, sizeof blank);
    }

    if (fresh || paramOpt->count()) {
        if (paramKind == 0) {
            uint8_t blank[256];
            std::memset(blank, 0xFF, sizeof blank);
            unit.putParamRecord(layout502, blank);
        } else {
            unit.setParamRecord(
                layout502, paramKind, board,
                static_cast<uint32_t>(std::strtoul(programVersion.c_str(), nullptr, 0)));
        }
    }
    if (fresh || clientOpt->count())
        unit.setClientId(layout502, client);
    if (fresh || given(timeOpts)) {
        uint32_t vt, rt, gt;
        if (!parse_number(voiceTime, &vt) || !parse_number(radarTime, &rt) ||
            !parse_number(gpsTime, &gt))
            return bad("time stamp", "");
        Regions r = find_regions(unit.flash());
        if (r.voiceSize)
            unit.setVoiceHeader(r.voice, vt);
        if (r.radarMuteSize)
            unit.setRadarMuteHeader(r.radarMute, rt);
        if (r.gpsSize)
            unit.setGpsHeader(r.gps, gt);
    }

    for (const auto& s : noReply) {
        UnitFaultRule r;
        if (!parse_fault(s, UnitFault::NoReply, &r))
            return bad("--no-reply", s);
        unit.addFault(r);
    }
    for (const auto& s : badChecksum) {
        UnitFaultRule r;
        if (!parse_fault(s, UnitFault::BadChecksum, &r))
            return bad("--bad-checksum", s);
        unit.addFault(r);
    }
    for (const auto& s : status) {
        UnitFaultRule r;
        if (!parse_fault(s, UnitFault::Status, &r))
            return bad("--status", s);
        unit.addFault(r);
    }
    if (!unplugText.empty()) {
        uint32_t n;
        if (!parse_number(unplugText, &n))
            return bad("--unplug-after", unplugText);
        unit.unplugAfterReports(static_cast<long>(n));
    }
    for (const auto& s : wrongBytes) {
        uint32_t at;
        if (!parse_number(s, &at) || at >= unit.flashSize())
            return bad("--wrong-byte", s);
        unit.addWrongByte(at);
    }
    if (!delayText.empty()) {
        uint32_t us;
        if (!parse_number(delayText, &us))
            return bad("--delay-us", delayText);
        unit.setReportDelayUs(us);
    }

    if (!image.empty() && !unit.saveImage(image)) {
        std::fprintf(stderr, "trevik-unit-sim: cannot save the flash image %s\n", image.c_str());
        return 1;
    }

    UnitSimServer server(unit, socketPath);
    if (!server.listen()) {
        std::fprintf(stderr, "trevik-unit-sim: cannot listen on %s\n", socketPath.c_str());
        return 1;
    }
    g_stop_fd = server.stopFd();
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    std::fprintf(stderr, "trevik-unit-sim: serving on %s\n", socketPath.c_str());
    Served served{&unit, image, verbose};
    server.run(on_disconnect, &served);
    if (!image.empty() && !unit.saveImage(image)) {
        std::fprintf(stderr, "trevik-unit-sim: cannot save the flash image %s\n", image.c_str());
        return 1;
    }
    return 0;
}
