#include "update/unit_verify.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common_t73/QV_Cmd.h"
#include "common_t73/QV_HidChannel.h"
#include "common_t73/QV_Machine.h"
#include "common_t73/QV_PackageView.h"
#include "config/records.h"
#include "package/package.h"
#include "package/scramble.h"
#include "update/update_run.h"
#include "support/checksum.h"

namespace {

// Bytes per read command: large enough that frames cost nothing, small
// enough that a long area shows progress and needs no second copy.
constexpr uint32_t READ_CHUNK = 64 * 1024;

uint32_t padded(uint32_t n) {
    return uint32_t((uint64_t(n) + FLASH_PAGE_SIZE - 1) / FLASH_PAGE_SIZE * FLASH_PAGE_SIZE);
}

// The bytes a write of this data leaves in the unit's flash: the data
// (unscrambled by the unit when asked), erased bytes up to the page.
VerifyArea area(const char* name, uint32_t address, const uint8_t* data, uint32_t length,
                int unscramble, int mode) {
    VerifyArea a;
    a.name = name;
    a.address = address;
    a.mode = mode;
    a.expected.assign(padded(length), 0xFF);
    if (data && length) {
        std::memcpy(a.expected.data(), data, length);
        if (unscramble) {
            RollingState state;
            rolling_decode(&state, a.expected.data(), length);
        }
    }
    return a;
}

void judge_parameter_reset(const VerifyArea& a, const uint8_t* got, uint32_t n, VerifyResult* r) {
    uint32_t at = 0;
    if (!verify_parameter_reset_took(got, n, a.program_version, a.program_version_known, &at)) {
        r->ok = 0;
        r->first_difference = a.address + at;
    }
}

void add_program(std::vector<VerifyArea>* out, const uint8_t* data, uint32_t size) {
    uint8_t header[12];
    rec_set_u32(header, RECORD_MAGIC);
    rec_set_u32(header + 4, size);
    std::vector<uint8_t> plain(data, data + size);
    RollingState state;
    rolling_decode(&state, plain.data(), plain.size());
    rec_set_u32(header + 8, byte_sum(plain.data(), plain.size()));
    out->push_back(
        area(AREA_PROGRAM_HEADER, FLASH_PROGRAM_HEADER_ADDRESS, header, sizeof header, 0, 1));
    out->push_back(area(AREA_PROGRAM, FLASH_PROGRAM_ADDRESS, data, size, 1, 1));
}

} // namespace

bool verify_parameter_reset_took(const uint8_t* sector, uint32_t n, uint32_t program_version,
                                 bool version_known, uint32_t* first_difference) {
    uint32_t i = 0;
    while (i < n && sector[i] == 0xFF)
        ++i;
    if (i == n)
        return true; // erased: the unit has not restarted since
    int kind = n >= MACHINE_PARAM_SIZE ? param_record_kind(sector) : PARAM_KIND_NONE;
    if (kind == 1)
        return true; // names no program version
    if (kind >= 2) {
        uint32_t version = 0;
        param_board_and_version(sector, kind, nullptr, &version);
        if (!version_known || version == program_version)
            return true;
        if (first_difference)
            *first_difference =
                uint32_t(kind == 2 ? P2_OFF_PROGRAM_VERSION : P35_OFF_PROGRAM_VERSION);
        return false;
    }
    if (first_difference)
        *first_difference = i;
    return false;
}

std::vector<VerifyArea> verify_areas(const QV_Machine* m, const Package* pkg, const WritePlan& wp) {
    std::vector<VerifyArea> out;
    if (!m || !pkg)
        return out;
    if (wp.program_only) {
        QV_Entry e =
            qv_entry(QV_Machine_findProgramEntry(pkg, m->main_setting + MS_OFF_BOARD_NAME));
        if (e.data && e.size)
            add_program(&out, e.data, e.size);
        return out;
    }
    if (wp.result != PLAN_OK)
        return out;
    const QV_WritePlan& p = wp.plan;
    const QV_PlanActions* actions = &wp.actions;
    // Each area of the plan, under the plan's own name, with what it must
    // hold; the program brings its header page, the main setting the
    // server data it resets.
    for (const PlanArea& pa : wp.areas) {
        const std::string name = pa.name;
        if (name == AREA_VOICE) {
            out.push_back(area(AREA_VOICE, p.voice_address, p.voice_data, p.voice_length, 0, 1));
        } else if (name == AREA_RADAR_MUTE) {
            out.push_back(area(AREA_RADAR_MUTE, p.radar_mute_address, p.radar_mute_data,
                               p.radar_mute_length, 1, 1));
        } else if (name == AREA_UPDATE_TOOL) {
            out.push_back(area(AREA_UPDATE_TOOL, p.update_tool_address, p.update_tool_data,
                               p.update_tool_length, 0, 0));
        } else if (name == AREA_GPS) {
            out.push_back(area(AREA_GPS, p.gps_address, p.gps_data, p.gps_length, 1, 1));
        } else if (name == AREA_PROGRAM) {
            if (p.program_data)
                add_program(&out, p.program_data, p.program_length);
        } else if (name == AREA_BOOT) {
            QV_Section boot = qv_section(pkg, 1);
            out.push_back(area(AREA_BOOT, FLASH_BOOT_ADDRESS, boot.data, boot.size,
                               pkg->boot.flag != 0, int(pkg->boot_mode)));
        } else if (name == AREA_MAIN_SETTING) {
            uint8_t block[MAIN_SETTING_BLOCK_SIZE];
            if (main_setting_block_build(block, actions->main_setting, actions->server_settings))
                out.push_back(area(AREA_MAIN_SETTING, actions->main_setting_address, block,
                                   sizeof block, 0, 0));
            if (actions->server_size)
                out.push_back(area(AREA_SERVER_DATA, actions->server_address, nullptr,
                                   actions->server_size, 0, 0));
        } else if (name == AREA_PARAMETER_RESET) {
            VerifyArea a =
                area(AREA_PARAMETER_RESET, pa.address, nullptr, uint32_t(MACHINE_PARAM_SIZE), 0, 0);
            a.check = VerifyCheck::ParameterReset;
            a.program_version = rec_u32(actions->main_setting + MS_OFF_PROGRAM_VERSION);
            // An old-layout program keeps no main-setting block: the unit's
            // fresh record is where its version is read from, not checked
            // against.
            a.program_version_known = actions->write_main_setting != 0;
            out.push_back(std::move(a));
        } else if (name == AREA_CLIENT_ID) {
            if (qv_client_block(pkg))
                out.push_back(area(AREA_CLIENT_ID, pa.address, qv_client_block(pkg),
                                   CLIENT_ID_SIZE, 0, 0));
        }
    }
    return out;
}

uint64_t verify_total_bytes(const std::vector<VerifyArea>& areas) {
    uint64_t total = 0;
    for (const VerifyArea& a : areas)
        total += a.expected.size();
    return total;
}

std::vector<VerifyResult> verify_read_back(QV_Machine* m, const std::vector<VerifyArea>& areas,
                                           void (*on_area)(void* user, const VerifyResult& r),
                                           void* user) {
    std::vector<VerifyResult> results;
    if (!m)
        return results;
    uint64_t total = verify_total_bytes(areas);
    m->progress_mode = PROGRESS_MODE_RUN;
    std::memset(m->status_text, 0, sizeof m->status_text);
    QV_Machine_setStatusText(m, u"Verify ");
    QV_Machine_progressBegin(m, total > UINT32_MAX ? UINT32_MAX : uint32_t(total));
    std::vector<uint8_t> got(READ_CHUNK);
    for (const VerifyArea& a : areas) {
        VerifyResult r;
        r.name = a.name;
        r.address = a.address;
        r.length = uint32_t(a.expected.size());
        r.ok = 1;
        for (uint32_t offset = 0; offset < r.length && r.ok;) {
            uint32_t n = std::min<uint32_t>(READ_CHUNK, r.length - offset);
            if (!QV_Machine_isConnected(m) ||
                QV_Cmd_read(m->channel, a.address + offset, got.data(), n, a.mode) != 0) {
                r.ok = 0;
                // A read the user stopped is no answer the unit failed to give.
                if (QV_HidChannel_stopped(m->channel))
                    r.stopped = 1;
                else
                    r.read_failed = 1;
                break;
            }
            if (a.check == VerifyCheck::ParameterReset) {
                judge_parameter_reset(a, got.data(), n, &r);
            } else if (std::memcmp(got.data(), a.expected.data() + offset, n) != 0) {
                uint32_t i = 0;
                while (got[i] == a.expected[offset + i])
                    ++i;
                r.ok = 0;
                r.first_difference = a.address + offset + i;
            }
            offset += n;
        }
        results.push_back(r);
        if (on_area)
            on_area(user, r);
        if (r.read_failed || r.stopped)
            break;
    }
    // A stopped read-back ends where it stopped, never at its full count.
    if (results.empty() || !results.back().stopped)
        QV_Machine_progressEnd(m);
    m->progress_mode = PROGRESS_MODE_IDLE;
    return results;
}

std::string verify_line(const VerifyResult& r) {
    char buf[160];
    if (r.stopped)
        std::snprintf(buf, sizeof buf, "%-14s 0x%06X %9u  stopped", r.name.c_str(), r.address,
                      r.length);
    else if (r.read_failed)
        std::snprintf(buf, sizeof buf, "%-14s 0x%06X %9u  read failed", r.name.c_str(), r.address,
                      r.length);
    else if (r.ok)
        std::snprintf(buf, sizeof buf, "%-14s 0x%06X %9u  ok", r.name.c_str(), r.address, r.length);
    else
        std::snprintf(buf, sizeof buf, "%-14s 0x%06X %9u  differs at 0x%06X", r.name.c_str(),
                      r.address, r.length, r.first_difference);
    return buf;
}
