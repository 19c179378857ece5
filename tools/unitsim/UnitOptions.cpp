#include "tools/unitsim/UnitOptions.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

bool unit_parse_number(const std::string& text, uint32_t* out) {
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

namespace {

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
        if (!unit_parse_number(code, &v) || v > 0xFF)
            return false;
        rule->code = static_cast<uint8_t>(v);
    }
    rule->nth = -1;
    if (parts.size() > 1 && parts[1] != "every") {
        if (!unit_parse_number(parts[1], &v) || v > 1000000000u)
            return false;
        rule->nth = static_cast<int>(v);
    }
    if (parts.size() > 2) {
        if (!unit_parse_number(parts[2], &v) || v == 0)
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

} // namespace

void unit_options_add(CLI::App& app, UnitOptions& o) {
    app.add_option(
        "--image", o.image,
        "Flash image file: loaded when present, saved after each connection and at exit");
    o.flashOpt =
        app.add_option("--flash-size", o.flashText, "Flash size in bytes")->capture_default_str();
    app.add_option("--boot", o.bootText, "Boot version")->capture_default_str();
    o.layoutOpt = app.add_option("--layout", o.layout, "Record layout: normal or 502")
                      ->check(CLI::IsMember({"normal", "502"}))
                      ->capture_default_str();

    // main-setting record
    o.msOpts.push_back(
        app.add_option("--board", o.board, "Board name (4 characters)")->capture_default_str());
    o.msOpts.push_back(app.add_option("--program-version", o.programVersion, "Program version")
                           ->capture_default_str());
    o.msOpts.push_back(app.add_option("--server-size", o.serverSize, "Server-data region size")
                           ->capture_default_str());
    o.msOpts.push_back(
        app.add_option("--voice-size", o.voiceSize, "Voice region size")->capture_default_str());
    o.msOpts.push_back(app.add_option("--radar-size", o.radarSize, "Radar-mute region size")
                           ->capture_default_str());
    o.msOpts.push_back(
        app.add_option("--gps-size", o.gpsSize, "GPS region size")->capture_default_str());
    o.msOpts.push_back(app.add_option("--update-size", o.updateSize, "Update-tool region size")
                           ->capture_default_str());
    o.msOpts.push_back(app.add_option("--track-size", o.trackSize, "Track region size (as it is)")
                           ->capture_default_str());
    o.msOpts.push_back(app.add_flag("--variant-b", o.variantB, "Voice variant flag"));
    o.msOpts.push_back(app.add_flag("--variant-c", o.variantC, "Second voice variant flag"));
    o.msOpts.push_back(app.add_flag("--variant-d", o.variantD, "GPS variant flag"));
    o.msOpts.push_back(app.add_flag("--no-main-setting", o.noMainSetting,
                                    "No main-setting record (the old layout)"));
    o.msOpts.push_back(o.layoutOpt);

    o.msOpts.push_back(app.add_option("--server-settings", o.serverSettings,
                                      "Server settings: APN,SERVER,PORT,USER,PASSWORD")
                           ->capture_default_str());
    o.msOpts.push_back(
        app.add_flag("--no-server-settings", o.noServerSettings, "No server-settings record"));

    o.paramOpt = app.add_option("--param-kind", o.paramKind,
                                "Parameter record kind 1..5; 0 leaves it erased")
                     ->check(CLI::Range(0, 5))
                     ->capture_default_str();
    o.clientOpt = app.add_option("--client", o.client, "Client id in the identity block")
                      ->capture_default_str();
    o.timeOpts.push_back(
        app.add_option("--voice-time", o.voiceTime, "Voice header time stamp (seconds since 1970)")
            ->capture_default_str());
    o.timeOpts.push_back(app.add_option("--radar-time", o.radarTime, "Radar-mute header time stamp")
                             ->capture_default_str());
    o.timeOpts.push_back(
        app.add_option("--gps-time", o.gpsTime, "GPS header time stamp")->capture_default_str());

    // faults
    const char* specHelp = "CODE[:NTH[:STATUS]]: command code (f3) or any; NTH from 0 (every "
                           "one when left out)";
    app.add_option("--no-reply", o.noReply,
                   std::string("Commands that get no answer; ") + specHelp);
    app.add_option("--bad-checksum", o.badChecksum,
                   std::string("Commands whose reply has a wrong checksum; ") + specHelp);
    app.add_option("--status", o.status,
                   std::string("Commands answered with a non-zero status (default 7); ") +
                       specHelp);
    app.add_option("--unplug-after", o.unplugText,
                   "The unit is gone after this many reports (each direction counts)");
    app.add_option("--delay-us", o.delayText,
                   "Pace every report to one per this many microseconds");
    app.add_option("--wrong-byte", o.wrongBytes,
                   "Flash addresses that keep a wrong byte: a write there stores it with its bits "
                   "flipped and is still answered as a success");
}

int unit_options_apply(const UnitOptions& o, const std::string& image, UnitSim* unit,
                       std::string* error) {
    auto bad = [error](const char* what, const std::string& text) {
        *error = std::string("bad ") + what + ": " + text;
        return 2;
    };
    uint32_t flash = 0, boot = 0;
    if (!unit_parse_number(o.flashText, &flash) || flash < 0x40000 || flash > (256u << 20))
        return bad("flash size (0x40000 to 256 MiB)", o.flashText);
    if (!unit_parse_number(o.bootText, &boot))
        return bad("boot version", o.bootText);

    unit->setFlashSize(flash);
    unit->setBootVersion(boot);
    bool fresh = true;
    struct stat st {};
    if (!image.empty() && ::stat(image.c_str(), &st) == 0) {
        if (!unit->loadImage(image)) {
            *error = "cannot load the flash image " + image;
            return 1;
        }
        fresh = false;
        if (o.flashOpt->count())
            unit->setFlashSize(flash);
    }
    // A loaded unit keeps its layout unless told otherwise.
    bool layout502 =
        o.layoutOpt->count() || fresh ? o.layout == "502" : find_regions(unit->flash()).layout502;

    auto given = [](const std::vector<CLI::Option*>& opts) {
        for (auto* o : opts)
            if (o->count())
                return true;
        return false;
    };

    UnitMainSetting ms;
    if ((fresh || given(o.msOpts)) && !o.noMainSetting) {
        uint32_t pv, ss, vs, rs, gs, us, ts;
        if (!unit_parse_number(o.programVersion, &pv))
            return bad("program version", o.programVersion);
        if (!unit_parse_number(o.serverSize, &ss) || !unit_parse_number(o.voiceSize, &vs) ||
            !unit_parse_number(o.radarSize, &rs) || !unit_parse_number(o.gpsSize, &gs) ||
            !unit_parse_number(o.updateSize, &us) || !unit_parse_number(o.trackSize, &ts))
            return bad("region size", "");
        if (o.board.size() > 4)
            return bad("board name (at most 4 characters)", o.board);
        ms.board = o.board;
        ms.programVersion = pv;
        ms.variantB = o.variantB;
        ms.variantC = o.variantC;
        ms.variantD = o.variantD;
        ms.placeRegions(layout502, ss, vs, rs, gs, us, ts);
        ms.updateToolPresent = us != 0;
        if (ms.layoutEnd > unit->flashSize())
            return bad("regions (they end beyond the flash)", "");
        UnitServerSetting srv;
        bool haveSrv = !o.noServerSettings;
        if (haveSrv) {
            std::vector<std::string> f;
            size_t start = 0;
            for (;;) {
                size_t comma = o.serverSettings.find(',', start);
                f.push_back(o.serverSettings.substr(start, comma - start));
                if (comma == std::string::npos)
                    break;
                start = comma + 1;
            }
            if (f.size() != 5 || !unit_parse_number(f[2], &srv.port))
                return bad("server settings", o.serverSettings);
            srv.apn = f[0];
            srv.server = f[1];
            srv.user = f[3];
            srv.password = f[4];
        }
        // A unit moved to the other layout keeps no valid block at the old
        // place.
        uint8_t blank[512];
        std::memset(blank, 0xFF, sizeof blank);
        unit->put(unit_main_setting_address(!layout502), blank, sizeof blank);
        unit->setMainSetting(layout502, ms, haveSrv ? &srv : nullptr);
    } else if (o.noMainSetting) {
        uint8_t blank[512];
        std::memset(blank, 0xFF, sizeof blank);
        unit->put(0x16000, blank, sizeof blank);
        unit->put(0x1E000, blank, sizeof blank);
    }

    if (fresh || o.paramOpt->count()) {
        if (o.paramKind == 0) {
            uint8_t blank[256];
            std::memset(blank, 0xFF, sizeof blank);
            unit->putParamRecord(layout502, blank);
        } else {
            unit->setParamRecord(
                layout502, o.paramKind, o.board,
                static_cast<uint32_t>(std::strtoul(o.programVersion.c_str(), nullptr, 0)));
        }
    }
    if (fresh || o.clientOpt->count())
        unit->setClientId(layout502, o.client);
    if (fresh || given(o.timeOpts)) {
        uint32_t vt, rt, gt;
        if (!unit_parse_number(o.voiceTime, &vt) || !unit_parse_number(o.radarTime, &rt) ||
            !unit_parse_number(o.gpsTime, &gt))
            return bad("time stamp", "");
        Regions r = find_regions(unit->flash());
        if (r.voiceSize)
            unit->setVoiceHeader(r.voice, vt);
        if (r.radarMuteSize)
            unit->setRadarMuteHeader(r.radarMute, rt);
        if (r.gpsSize)
            unit->setGpsHeader(r.gps, gt);
    }

    for (const auto& s : o.noReply) {
        UnitFaultRule r;
        if (!parse_fault(s, UnitFault::NoReply, &r))
            return bad("--no-reply", s);
        unit->addFault(r);
    }
    for (const auto& s : o.badChecksum) {
        UnitFaultRule r;
        if (!parse_fault(s, UnitFault::BadChecksum, &r))
            return bad("--bad-checksum", s);
        unit->addFault(r);
    }
    for (const auto& s : o.status) {
        UnitFaultRule r;
        if (!parse_fault(s, UnitFault::Status, &r))
            return bad("--status", s);
        unit->addFault(r);
    }
    if (!o.unplugText.empty()) {
        uint32_t n;
        if (!unit_parse_number(o.unplugText, &n))
            return bad("--unplug-after", o.unplugText);
        unit->unplugAfterReports(static_cast<long>(n));
    }
    for (const auto& s : o.wrongBytes) {
        uint32_t at;
        if (!unit_parse_number(s, &at) || at >= unit->flashSize())
            return bad("--wrong-byte", s);
        unit->addWrongByte(at);
    }
    if (!o.delayText.empty()) {
        uint32_t us;
        if (!unit_parse_number(o.delayText, &us))
            return bad("--delay-us", o.delayText);
        unit->setReportDelayUs(us);
    }

    if (!image.empty() && !unit->saveImage(image)) {
        *error = "cannot save the flash image " + image;
        return 1;
    }
    return 0;
}
