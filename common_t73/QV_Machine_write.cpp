#include <cstdlib>
#include <cstring>

#include "common_t73/QV_Machine_internal.h"
#include "common_t73/QV_WritePlan.h"
#include "support/checksum.h"

namespace {

const uint32_t FULL_SCALE = 10000;
// Reports come at most once per this many bytes.
const uint32_t REPORT_STEP = 4096;

void report(QV_Machine* m, int kind, uint32_t value) {
    if (m->progress_fn)
        m->progress_fn(m->progress_user, m, kind, value, m->start_tick);
}

uint64_t round_page(uint64_t n) {
    return (n + FLASH_PAGE_SIZE - 1) / FLASH_PAGE_SIZE * FLASH_PAGE_SIZE;
}

} // namespace

// ---- progress ----

uint32_t QV_Machine_progressPosition(uint32_t done, uint32_t total) {
    if (total == 0)
        return FULL_SCALE;
    return uint32_t(uint64_t(done) * FULL_SCALE / total);
}

void QV_Machine_progressBegin(QV_Machine* m, uint32_t total) {
    if (!m)
        return;
    m->total = total;
    m->done = 0;
    m->reported_bytes = 0;
    m->reported_permyriad = 0;
    m->start_tick = QV_tickNow();
    report(m, 0, FULL_SCALE);
}

void QV_Machine_progressAdd(QV_Machine* m, uint32_t bytes) {
    if (!m)
        return;
    m->done += bytes;
    if (uint64_t(m->done) <= uint64_t(m->reported_bytes) + REPORT_STEP)
        return;
    m->reported_bytes = m->done;
    uint32_t position = QV_Machine_progressPosition(m->done, m->total);
    if (position != m->reported_permyriad) {
        m->reported_permyriad = position;
        report(m, 1, position);
    }
}

void QV_Machine_progressEnd(QV_Machine* m) {
    if (!m)
        return;
    m->done = m->total;
    m->reported_permyriad = FULL_SCALE;
    report(m, 1, FULL_SCALE);
}

void QV_Machine_setStatusText(QV_Machine* m, const char16_t* text) {
    if (!m)
        return;
    std::memset(m->status_text, 0, sizeof m->status_text);
    for (size_t i = 0; text && text[i] && i < MACHINE_STATUS_UNITS - 1; ++i)
        m->status_text[i] = text[i];
    report(m, 3, FULL_SCALE);
}

void QV_Machine_progressHook(void* user, int phase, int count, int total) {
    QV_Machine* m = static_cast<QV_Machine*>(user);
    if (!m)
        return;
    if (m->progress_mode == PROGRESS_MODE_TRANSFER) {
        if (phase == 0)
            QV_Machine_progressBegin(m, uint32_t(total));
        else if (phase == 1)
            QV_Machine_progressAdd(m, uint32_t(count));
        else if (phase == 2)
            QV_Machine_progressEnd(m);
    } else if (m->progress_mode == PROGRESS_MODE_RUN) {
        if (phase == 1)
            QV_Machine_progressAdd(m, uint32_t(count));
    }
}

// ---- writes ----

uint32_t QV_unscrambledSum(const void* data, uint32_t length) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint8_t scratch[4096];
    uint32_t sum = 0;
    // A decoder of its own: units are written on several threads at once.
    RollingState decoder;
    // Whole words carry the decoder state from chunk to chunk; 1 to 3
    // trailing bytes stay as they are.
    for (uint32_t offset = 0; offset < length;) {
        uint32_t n = std::min<uint32_t>(length - offset, sizeof scratch);
        std::memcpy(scratch, p + offset, n);
        rolling_decode(&decoder, scratch, n);
        sum += byte_sum(scratch, n);
        offset += n;
    }
    return sum;
}

int QV_Machine_writeBlock(QV_Machine* m, uint32_t address, const void* data, uint32_t length,
                          int unscramble, int mode) {
    if (!QV_Machine_isConnected(m) || (address & 0xFF) != 0 || (!data && length))
        return 0;
    uint64_t padded = round_page(length);
    if (padded > UINT32_MAX)
        return 0;
    // The one copy of the area a write holds: the data as stored, padded
    // with erased bytes to whole pages.
    uint8_t* buffer = static_cast<uint8_t*>(std::malloc(padded ? size_t(padded) : 1));
    if (!buffer)
        return 0;
    uint32_t sum;
    uint32_t c;
    if (unscramble) {
        sum = QV_unscrambledSum(data, length);
        c = length;
    } else {
        sum = byte_sum(data, length);
        c = 0;
    }
    if (length)
        std::memcpy(buffer, data, length);
    uint32_t fill = uint32_t(padded) - length;
    std::memset(buffer + length, 0xFF, fill);
    sum += fill * 255u;
    int rc = QV_Cmd_write(m->channel, address, buffer, uint32_t(padded), c, mode, sum);
    std::free(buffer);
    return rc == 0 ? 1 : 0;
}

const ProgramImage* QV_Machine_findProgramEntry(const Package* pkg, const uint8_t* board_id) {
    uint32_t count = qv_program_count(pkg);
    if (count == 0)
        return nullptr;
    if (count == 1)
        return qv_program_at(pkg, 0);
    if (!board_id)
        return nullptr;
    for (uint32_t i = 0; i < count; ++i) {
        const ProgramImage* image = qv_program_at(pkg, i);
        if (std::memcmp(image->board_id, board_id, 4) == 0)
            return image;
    }
    return nullptr;
}

int QV_Machine_writeBoot(QV_Machine* m, const Package* pkg) {
    if (!m || !pkg)
        return 0;
    QV_Section boot = qv_section(pkg, 1);
    log_info(QV_LOG_SOURCE, __LINE__, "QV_Machine_writeBoot", "write boot data[0x%X][0x%X]",
             FLASH_BOOT_ADDRESS, boot.size);
    // The package says how its boot image is stored and written: scrambled
    // once read, mode 0.
    return QV_Machine_writeBlock(m, FLASH_BOOT_ADDRESS, boot.data, boot.size, pkg->boot.flag != 0,
                                 int(pkg->boot_mode));
}

int QV_Machine_writeProgram(QV_Machine* m, const Package* pkg, int own_progress) {
    static const char* const FN = "QV_Machine_writeProgram";
    if (!m || !pkg)
        return 0;
    if (own_progress) {
        m->progress_mode = PROGRESS_MODE_TRANSFER;
        std::memset(m->status_text, 0, sizeof m->status_text);
    }
    const ProgramImage* image =
        QV_Machine_findProgramEntry(pkg, m->main_setting + MS_OFF_BOARD_NAME);
    QV_Entry e = qv_entry(image);
    // An entry whose image could not be read must not install an empty
    // program with a header that claims it.
    if (!image || !e.data || e.size == 0)
        return 0;
    uint8_t header[12];
    rec_set_u32(header, RECORD_MAGIC);
    rec_set_u32(header + 4, e.size);
    rec_set_u32(header + 8, QV_unscrambledSum(e.data, e.size));
    log_info(QV_LOG_SOURCE, __LINE__, FN, "write app flag data[0x%X][0x%X]",
             FLASH_PROGRAM_HEADER_ADDRESS, uint32_t(sizeof header));
    if (!QV_Machine_writeBlock(m, FLASH_PROGRAM_HEADER_ADDRESS, header, sizeof header, 0, 1))
        return 0;
    log_info(QV_LOG_SOURCE, __LINE__, FN, "write app data[0x%X][0x%X]", FLASH_PROGRAM_ADDRESS,
             e.size);
    return QV_Machine_writeBlock(m, FLASH_PROGRAM_ADDRESS, e.data, e.size, 1, 1);
}

int QV_Machine_write(QV_Machine* m, const Package* pkg, const QV_WritePlan* plan) {
    static const char* const FN = "QV_Machine_write";
    if (!m || !pkg || !plan)
        return -1;
    uint64_t total = round_page(plan->boot_length) + round_page(plan->program_length) +
                     round_page(plan->voice_length) + round_page(plan->radar_mute_length) +
                     round_page(plan->update_tool_length) + round_page(plan->gps_length);
    m->progress_mode = PROGRESS_MODE_RUN;
    std::memset(m->status_text, 0, sizeof m->status_text);
    QV_Machine_progressBegin(m, total > UINT32_MAX ? UINT32_MAX : uint32_t(total));

    if (plan->voice_length) {
        log_info(QV_LOG_SOURCE, __LINE__, FN, "write voice data[0x%X][0x%X]", plan->voice_address,
                 plan->voice_length);
        if (!QV_Machine_writeBlock(m, plan->voice_address, plan->voice_data, plan->voice_length, 0,
                                   1))
            return -4;
    }
    if (plan->radar_mute_length) {
        log_info(QV_LOG_SOURCE, __LINE__, FN, "write radar mute data[0x%X][0x%X]",
                 plan->radar_mute_address, plan->radar_mute_length);
        if (!QV_Machine_writeBlock(m, plan->radar_mute_address, plan->radar_mute_data,
                                   plan->radar_mute_length, 1, 1))
            return -5;
    }
    if (plan->update_tool_length) {
        log_info(QV_LOG_SOURCE, __LINE__, FN, "write update tool data[0x%X][0x%X]",
                 plan->update_tool_address, plan->update_tool_length);
        if (!QV_Machine_writeBlock(m, plan->update_tool_address, plan->update_tool_data,
                                   plan->update_tool_length, 0, 0))
            return -6;
    }
    if (plan->gps_length) {
        log_info(QV_LOG_SOURCE, __LINE__, FN, "write gps data[0x%X][0x%X]", plan->gps_address,
                 plan->gps_length);
        if (!QV_Machine_writeBlock(m, plan->gps_address, plan->gps_data, plan->gps_length, 1, 1))
            return -7;
    }
    if (plan->write_program && !QV_Machine_writeProgram(m, pkg, 0))
        return -3;
    if (plan->write_boot && !QV_Machine_writeBoot(m, pkg))
        return -2;
    if (plan->reset_parameters) {
        uint32_t address = plan->layout502 ? FLASH_PARAM_ADDRESS_502 : FLASH_PARAM_ADDRESS;
        log_info(QV_LOG_SOURCE, __LINE__, FN, "reset setting data[0x%X][0x%X]", address,
                 FLASH_SECTOR_SIZE);
        QV_Cmd_erase(m->channel, address, FLASH_SECTOR_SIZE);
    }
    if (plan->write_client_id) {
        uint32_t address = plan->layout502 ? FLASH_IDENTITY_ADDRESS_502 : FLASH_IDENTITY_ADDRESS;
        log_info(QV_LOG_SOURCE, __LINE__, FN, "write client id data[0x%X][0x%X]", address,
                 FLASH_SECTOR_SIZE);
        QV_Cmd_erase(m->channel, address, FLASH_SECTOR_SIZE);
        QV_Machine_writeBlock(m, address, qv_client_block(pkg), CLIENT_ID_SIZE, 0, 0);
    }
    QV_Machine_progressEnd(m);
    QV_Machine_getDeveiceInfo(m);
    if (QV_Machine_isConnected(m))
        QV_Cmd_finish(m->channel);
    return 0;
}

int QV_Machine_writeParam(QV_Machine* m, const uint8_t* record) {
    if (!m)
        return 0;
    if (record)
        std::memcpy(m->param, record, sizeof m->param);
    int n = param_checksum_length(m->param_kind);
    if (n < 0)
        return 0;
    rec_set_u32(m->param + PARAM_OFF_CHECKSUM, byte_sum(m->param + PARAM_OFF_DATA, size_t(n)));
    uint32_t address = m->layout502 == 1 ? FLASH_PARAM_ADDRESS_502 : FLASH_PARAM_ADDRESS;
    return QV_Machine_writeBlock(m, address, m->param, sizeof m->param, 0, 0);
}

int QV_Machine_writeMainSetting(QV_Machine* m, const uint8_t* main_setting,
                                const uint8_t* server_settings, int target_layout502) {
    if (!m)
        return 0;
    uint8_t block[MAIN_SETTING_BLOCK_SIZE];
    if (!main_setting_block_build(block, main_setting ? main_setting : m->main_setting,
                                  server_settings ? server_settings : m->server_settings))
        return 0;
    uint32_t address =
        target_layout502 ? FLASH_MAIN_SETTING_ADDRESS_502 : FLASH_MAIN_SETTING_ADDRESS;
    return QV_Machine_writeBlock(m, address, block, sizeof block, 0, 0);
}
