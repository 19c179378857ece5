// The unit's records as the emulator lays them into its flash: main
// setting, server settings, parameter records of each kind.
#include "tools/unitsim/UnitSim.h"

#include <algorithm>
#include <cstring>

#include "tools/unitsim/unit_bytes.h"

using namespace unit_bytes;

namespace {

uint32_t round4k(uint32_t n) {
    return (n + 4095u) & ~4095u;
}

void put_text(uint8_t* field, size_t width, const std::string& text) {
    std::memcpy(field, text.data(), std::min(width, text.size()));
}

} // namespace

uint32_t unit_param_address(bool layout502) {
    return layout502 ? 0x19000 : 0x11000;
}
uint32_t unit_main_setting_address(bool layout502) {
    return layout502 ? 0x1E000 : 0x16000;
}
uint32_t unit_identity_address(bool layout502) {
    return layout502 ? 0x1F000 : 0x18000;
}

int unit_param_sum_length(int kind) {
    switch (kind) {
    case 1:
        return 24;
    case 2:
        return 72;
    case 3:
        return 170;
    case 4:
        return 59;
    case 5:
        return 111;
    default:
        return 0;
    }
}

void UnitMainSetting::placeRegions(bool layout502, uint32_t server, uint32_t voice,
                                   uint32_t radarMute, uint32_t gps, uint32_t updateTool,
                                   uint32_t track) {
    base = layout502 ? 0x21000 : 0x19000;
    leadingSize = 0;
    serverAddress = base + leadingSize;
    serverSize = round4k(server);
    voiceAddress = serverAddress + serverSize;
    voiceSize = round4k(voice);
    radarMuteAddress = voiceAddress + voiceSize;
    radarMuteSize = round4k(radarMute);
    gpsAddress = radarMuteAddress + radarMuteSize;
    gpsSize = round4k(gps);
    updateToolAddress = gpsAddress + gpsSize;
    updateToolSize = round4k(updateTool);
    trackAddress = updateToolAddress + updateToolSize;
    trackSize = track;
    layoutEnd = trackAddress + trackSize;
}

std::array<uint8_t, 231> unit_main_setting_record(const UnitMainSetting& ms) {
    std::array<uint8_t, 231> r{};
    uint8_t* p = r.data();
    put32(p + 0, ms.version);
    put_text(p + 4, 4, ms.board);
    put32(p + 8, ms.programVersion);
    put32(p + 13, ms.requiredToolVersion);
    p[17] = ms.optionFlag;
    p[18] = ms.updateToolPresent;
    p[19] = ms.variantB;
    p[21] = ms.variantD;
    p[22] = ms.variantC;
    put32(p + 59, ms.flashSize);
    put32(p + 63, ms.serverAddress);
    put32(p + 67, ms.serverSize);
    put32(p + 71, ms.updateToolAddress);
    put32(p + 75, ms.updateToolSize);
    put32(p + 79, ms.voiceAddress);
    put32(p + 83, ms.voiceSize);
    put32(p + 87, ms.radarMuteAddress);
    put32(p + 91, ms.radarMuteSize);
    put32(p + 95, ms.gpsAddress);
    put32(p + 99, ms.gpsSize);
    put32(p + 103, ms.base);
    put32(p + 107, ms.leadingSize);
    put32(p + 111, ms.layoutEnd);
    put32(p + 115, ms.trackAddress);
    put32(p + 119, ms.trackSize);
    put32(p + 227, MAGIC);
    return r;
}

std::array<uint8_t, 178> unit_server_setting_record(const UnitServerSetting& ss) {
    std::array<uint8_t, 178> r{};
    put_text(r.data() + 0, 50, ss.apn);
    put_text(r.data() + 50, 20, ss.server);
    put32(r.data() + 70, ss.port);
    put_text(r.data() + 74, 50, ss.user);
    put_text(r.data() + 124, 50, ss.password);
    put32(r.data() + 174, MAGIC);
    return r;
}

bool unit_param_seal(uint8_t* record, int kind) {
    int n = unit_param_sum_length(kind);
    if (!record || n == 0)
        return false;
    if (kind >= 3)
        put32(record + n, MAGIC); // the last word of the summed range
    put32(record, sum(record + 4, static_cast<size_t>(n)));
    return true;
}

std::array<uint8_t, 256> unit_param_record(int kind, const std::string& board,
                                           uint32_t programVersion) {
    std::array<uint8_t, 256> r{};
    uint8_t* p = r.data();
    if (kind == 1 || kind == 2) {
        p[10] = 8; // time zone
        for (int i = 0; i < 12; ++i)
            p[11 + i] = 1;
        p[24] = 7;
        p[25] = 19;
        if (kind == 2) {
            put_text(p + 28, 4, board);
            put32(p + 32, programVersion);
        } else {
            p[40] = 0x5A; // keeps the 72-byte sum from matching by chance
        }
    } else if (kind >= 3 && kind <= 5) {
        put_text(p + 4, 4, board);
        put32(p + 8, programVersion);
        p[16] = 0x80; // radar frequency display available
        p[18] = 8;
        const int8_t counts[5] = {1, 1, 2, 3, 1}; // X, Ku, K, Ka, Laser
        int enables = 0;
        for (int i = 0; i < 5; ++i) {
            p[19 + i] = static_cast<uint8_t>(counts[i]);
            enables += counts[i];
        }
        for (int i = 0; i < enables; ++i)
            p[24 + i] = 1;
        p[50] = 7;
        p[51] = 19;
        p[52] = 1;
        if (kind == 3) {
            put_text(p + 53, 28, "cmnet");
            put_text(p + 81, 20, "gps.example.com");
            put_text(p + 101, 7, "8080");
            put_text(p + 108, 28, "user");
            put_text(p + 136, 28, "pass");
        }
        const uint16_t edges[8][2] = {{10500, 10550}, {13400, 13500}, {24050, 24150},
                                      {24150, 24250}, {33400, 34200}, {34200, 35000},
                                      {35000, 36000}, {0, 0}};
        int table = unit_param_sum_length(kind) + 4;
        for (int i = 0; i < enables; ++i) {
            p[table + 4 * i] = static_cast<uint8_t>(edges[i][0]);
            p[table + 4 * i + 1] = static_cast<uint8_t>(edges[i][0] >> 8);
            p[table + 4 * i + 2] = static_cast<uint8_t>(edges[i][1]);
            p[table + 4 * i + 3] = static_cast<uint8_t>(edges[i][1] >> 8);
        }
    } else {
        r.fill(0xFF);
        return r;
    }
    unit_param_seal(p, kind);
    return r;
}

// The kind of a parameter record, tried from the longest checksum down as
// the host does; 0 when none matches.
int unit_param_kind_of(const uint8_t* record) {
    for (int kind : {5, 4, 3, 2, 1}) {
        int n = unit_param_sum_length(kind);
        if (get32(record) != sum(record + 4, static_cast<size_t>(n)))
            continue;
        if (kind >= 3 && get32(record + n) != MAGIC)
            continue;
        return kind;
    }
    return 0;
}
