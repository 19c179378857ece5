#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common_t73/QV_Machine_internal.h"
#include "support/checksum.h"
#include "support/stream.h"
#include "support/text.h"

uint32_t QV_tickNow() {
    using namespace std::chrono;
    return uint32_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

QV_Machine* QV_Machine_create(QV_AcceptFn accept_fn, void* accept_user, QV_ProgressFn progress_fn,
                              void* progress_user) {
    QV_Machine* m = new (std::nothrow) QV_Machine;
    if (!m)
        return nullptr;
    m->accept_fn = accept_fn;
    m->accept_user = accept_user;
    m->progress_fn = progress_fn;
    m->progress_user = progress_user;
    m->param_kind = PARAM_KIND_NONE;
    m->channel = static_cast<QV_HidChannel*>(std::calloc(1, sizeof(QV_HidChannel)));
    if (m->channel) {
        m->channel->hook = QV_Machine_progressHook;
        m->channel->hookUser = m;
    }
    return m;
}

void QV_Machine_release(QV_Machine* m) {
    if (!m)
        return;
    if (m->channel) {
        QV_Hid_close(m->channel->handle);
        std::free(m->channel);
    }
    delete m;
}

int QV_Machine_attach(QV_Machine* m, QV_HidHandle* handle) {
    if (!m || !m->channel) {
        QV_Hid_close(handle);
        return 0;
    }
    QV_Hid_close(m->channel->handle);
    m->channel->handle = handle;
    return 1;
}

namespace {

// The first matching unit is the one used, whether or not its
// information could be read.
int attach_path(void* owner, const char16_t* path) {
    QV_Machine* m = static_cast<QV_Machine*>(owner);
    QV_HidHandle* handle = QV_Hid_open(path);
    QV_Machine_attach(m, handle);
    if (handle)
        QV_Machine_getDeveiceInfo(m);
    return 0;
}

} // namespace

int QV_Machine_attachFirstUnit(QV_Machine* m) {
    if (!m || !m->channel)
        return 0;
    QV_Machine_attach(m, nullptr);
    QV_Hid_findUnit(m, attach_path);
    return QV_Machine_isConnected(m);
}

int QV_Machine_isConnected(const QV_Machine* m) {
    return m && m->channel && m->channel->handle ? 1 : 0;
}

int QV_Machine_readBlock(QV_Machine* m, uint32_t address, void* dst, uint32_t length, int mode) {
    if (!QV_Machine_isConnected(m) || (!dst && length))
        return 0;
    uint64_t padded = (uint64_t(length) + FLASH_PAGE_SIZE - 1) / FLASH_PAGE_SIZE * FLASH_PAGE_SIZE;
    if (padded > UINT32_MAX)
        return 0;
    uint8_t* buffer = static_cast<uint8_t*>(std::malloc(padded ? size_t(padded) : 1));
    if (!buffer)
        return 0;
    int rc = QV_Cmd_read(m->channel, address, buffer, uint32_t(padded), mode);
    if (rc == 0 && length)
        std::memcpy(dst, buffer, length);
    std::free(buffer);
    return rc == 0 ? 1 : 0;
}

namespace {

// Region fields of the main-setting record this read works with.
struct Regions {
    uint32_t voice_address = OLD_VOICE_ADDRESS;
    uint32_t mute_address = OLD_RADAR_MUTE_ADDRESS;
    uint32_t gps_address = OLD_GPS_ADDRESS;
    uint32_t voice_size = 0;
    uint32_t mute_size = 0;
    uint32_t gps_size = 0;

    void take(const uint8_t* ms) {
        voice_address = rec_u32(ms + MS_OFF_VOICE_ADDR);
        voice_size = rec_u32(ms + MS_OFF_VOICE_SIZE);
        mute_address = rec_u32(ms + MS_OFF_RADAR_MUTE_ADDR);
        mute_size = rec_u32(ms + MS_OFF_RADAR_MUTE_SIZE);
        gps_address = rec_u32(ms + MS_OFF_GPS_ADDR);
        gps_size = rec_u32(ms + MS_OFF_GPS_SIZE);
    }
};

// Reads one main-setting block half at address into the machine when valid.
// Returns 1 valid, 0 read but not valid, -1 the read failed.
int read_main_setting(QV_Machine* m, uint32_t address) {
    uint8_t half[MSB_HALF_SIZE];
    if (!QV_Machine_readBlock(m, address, half, sizeof half, 0))
        return -1;
    if (!main_setting_half_valid(half))
        return 0;
    std::memcpy(m->main_setting, half + MSB_OFF_MAIN_RECORD, MACHINE_MAIN_SETTING_SIZE);
    return 1;
}

// A header whose time stamp is erased flash (a write that broke off, or an
// area never written) holds no data: the date stays 0, never 2106-02-07.
void read_date(QV_Machine* m, uint32_t address, uint32_t offset, DateStamp* date) {
    uint8_t header[FLASH_PAGE_SIZE];
    if (!QV_Machine_readBlock(m, address, header, sizeof header, 1))
        return;
    uint32_t seconds = rec_u32(header + offset);
    if (seconds != 0xFFFFFFFFu)
        seconds_to_date(date, seconds);
}

int main_setting_valid(const QV_Machine* m) {
    return rec_u32(m->main_setting + MS_OFF_MAGIC) == RECORD_MAGIC;
}

} // namespace

size_t QV_Machine_clientLength(const uint8_t* id, size_t limit) {
    size_t n = 0;
    while (n < 255 && n < limit) {
        if (id[n] == 0)
            break;
        if (id[n] == 0xFF && n + 1 < CLIENT_ID_SIZE && id[n + 1] == 0xFF)
            break;
        ++n;
    }
    return n;
}

namespace {

void append(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void append(std::string& out, const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n > 0)
        out.append(line, std::min<size_t>(size_t(n), sizeof line - 1));
}

std::string date_text(const DateStamp& d) {
    if (d.year == 0)
        return std::string();
    char text[32];
    std::snprintf(text, sizeof text, "%d%02d%02d", int(d.year), int(d.month), int(d.day));
    return text;
}

} // namespace

int QV_Machine_getDeveiceInfo(QV_Machine* m) {
    if (!m || !m->channel)
        return 0;
    m->progress_mode = PROGRESS_MODE_IDLE;
    std::memset(m->status_text, 0, sizeof m->status_text);
    m->layout502 = 0;
    const uint32_t answered_before = m->channel->answered;

    m->boot_version = QV_Cmd_getBootVersion(m->channel);
    m->channel->bootVersion = m->boot_version;
    m->flash_size = m->boot_version < FLASH_SIZE_QUERY_MIN_BOOT ? FLASH_SIZE_DEFAULT
                                                                : QV_Cmd_getFlashSize(m->channel);

    std::memset(m->main_setting, 0, sizeof m->main_setting);
    std::memset(m->server_settings, 0, sizeof m->server_settings);
    Regions r;
    uint32_t server_address = 0; // 0: none
    uint32_t identity_address = FLASH_IDENTITY_ADDRESS;

    // A failed read leaves the block unknown, which is not the same as a
    // unit without one: such a block must never be written back.
    bool read_failed = false;
    int found = read_main_setting(m, FLASH_MAIN_SETTING_ADDRESS);
    read_failed |= found < 0;
    if (found > 0) {
        r.take(m->main_setting);
        server_address = FLASH_MAIN_SETTING_ADDRESS + MSB_HALF_SIZE;
    }
    if (rec_u32(m->main_setting + MS_OFF_BOARD_NAME) == 0) {
        found = read_main_setting(m, FLASH_MAIN_SETTING_ADDRESS_502);
        read_failed |= found < 0;
        if (found > 0) {
            m->layout502 = 1;
            identity_address = FLASH_IDENTITY_ADDRESS_502;
            r.take(m->main_setting);
            server_address = FLASH_MAIN_SETTING_ADDRESS_502 + MSB_HALF_SIZE;
        }
    }
    if (server_address) {
        uint8_t half[MSB_HALF_SIZE];
        if (!QV_Machine_readBlock(m, server_address, half, sizeof half, 0))
            read_failed = true;
        else if (server_settings_half_valid(half))
            std::memcpy(m->server_settings, half + 4, MACHINE_SERVER_SETTINGS_SIZE);
    }
    m->main_setting_state = read_failed          ? MAIN_SETTING_UNREAD
                            : main_setting_valid(m) ? MAIN_SETTING_VALID
                                                    : MAIN_SETTING_NONE;
    if (rec_u32(m->main_setting + MS_OFF_BOARD_NAME) == 0) {
        // A unit without a main-setting record keeps its data at fixed places.
        r.voice_size = OLD_VOICE_SIZE;
        r.mute_size = OLD_RADAR_MUTE_SIZE;
        r.gps_size = OLD_GPS_SIZE;
    }

    m->param_kind = PARAM_KIND_NONE;
    uint8_t param[MACHINE_PARAM_SIZE];
    uint32_t param_address = m->layout502 ? FLASH_PARAM_ADDRESS_502 : FLASH_PARAM_ADDRESS;
    if (QV_Machine_readBlock(m, param_address, param, sizeof param, 0)) {
        std::memcpy(m->param, param, sizeof param);
        m->param_kind = param_record_kind(m->param);
        if (!main_setting_valid(m)) {
            uint8_t board[4];
            uint32_t version = 0;
            param_board_and_version(m->param, m->param_kind, board, &version);
            std::memcpy(m->main_setting + MS_OFF_BOARD_NAME, board, 4);
            rec_set_u32(m->main_setting + MS_OFF_PROGRAM_VERSION, version);
        }
    } else {
        std::memset(m->param, 0, sizeof m->param);
    }

    if (!QV_Machine_readBlock(m, identity_address, m->identity, sizeof m->identity, 0))
        std::memset(m->identity, 0xFF, sizeof m->identity);

    m->info_answers = m->channel->answered - answered_before;
    if (m->accept_fn && !m->accept_fn(m->accept_user, m->identity)) {
        QV_Cmd_reject(m->channel);
        return 0;
    }

    m->voice_date = DateStamp{};
    m->radar_mute_date = DateStamp{};
    m->gps_date = DateStamp{};
    if (r.voice_size)
        read_date(m, r.voice_address, 4, &m->voice_date);
    if (r.mute_size)
        read_date(m, r.mute_address, 0, &m->radar_mute_date);
    if (r.gps_size)
        read_date(m, r.gps_address, 0, &m->gps_date);
    m->info_answers = m->channel->answered - answered_before;

    std::string text = QV_Machine_infoText(m);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        log_info(QV_LOG_SOURCE, __LINE__, "QV_Machine_getDeveiceInfo", "%s", line.c_str());
        start = end + 1;
    }
    return 1;
}

void QV_Machine_clientText(const QV_Machine* m, char16_t* dst, size_t capacity) {
    if (!dst || capacity == 0)
        return;
    std::memset(dst, 0, capacity * sizeof(char16_t));
    if (!m)
        return;
    size_t n = QV_Machine_clientLength(m->identity, capacity * 2);
    if (n)
        ansi_to_wtext(dst, int(std::min<size_t>(capacity, 0x7FFFFFFF)),
                      reinterpret_cast<const char*>(m->identity), int(n));
}

void QV_Machine_updateToolText(const QV_Machine* m, char16_t* dst, size_t capacity) {
    if (!dst || capacity == 0)
        return;
    std::memset(dst, 0, capacity * sizeof(char16_t));
    if (!m)
        return;
    char16_t c = u'错';
    if (main_setting_valid(m))
        c = rec_u32(m->main_setting + MS_OFF_UPDATE_TOOL_SIZE) > 0 ? u'有' : u'无';
    if (capacity > 1)
        dst[0] = c;
}

std::string QV_Machine_infoText(const QV_Machine* m) {
    std::string out;
    if (!m)
        return out;
    const uint8_t* ms = m->main_setting;
    auto s32 = [ms](int offset) { return int32_t(rec_u32(ms + offset)); };

    char board[5] = {};
    std::memcpy(board, ms + MS_OFF_BOARD_NAME, 4);
    // The client id as the unit stores it, already in the ANSI code page.
    std::string client(reinterpret_cast<const char*>(m->identity),
                       QV_Machine_clientLength(m->identity, CLIENT_ID_SIZE));
    char16_t tool16[4];
    QV_Machine_updateToolText(m, tool16, 4);
    char tool[8];
    if (wtext_to_ansi(tool, sizeof tool, tool16, int(wtext_len(tool16))) < 0)
        tool[0] = 0;

    append(out, "502:%d\n", m->layout502);
    append(out, "boot:%d\n", int32_t(m->boot_version));
    append(out, "flash size:%d\n", int32_t(m->flash_size));
    append(out, "main setting version:%d\n", s32(MS_OFF_VERSION));
    append(out, "broad name:%s\n", board);
    append(out, "program version:%d\n", s32(MS_OFF_PROGRAM_VERSION));
    append(out, "client:%s\n", client.c_str());
    append(out, "gps version:%s;size:%d\n", date_text(m->gps_date).c_str(), s32(MS_OFF_GPS_SIZE));
    append(out, "voice version:%s;size:%d\n", date_text(m->voice_date).c_str(),
           s32(MS_OFF_VOICE_SIZE));
    append(out, "radar mute version:%s;size:%d\n", date_text(m->radar_mute_date).c_str(),
           s32(MS_OFF_RADAR_MUTE_SIZE));
    append(out, "update version:%s;size:%d\n", tool, s32(MS_OFF_UPDATE_TOOL_SIZE));
    append(out, "server version:%d;size:%d\n", s32(MS_OFF_SERVER_DATA_SIZE),
           s32(MS_OFF_UPDATE_TOOL_SIZE));
    return out;
}

int QV_Machine_dumpInfo(const QV_Machine* m, const char16_t* path) {
    if (!m || !path)
        return 0;
    Stream* s = stream_open(path, 1);
    if (!s)
        return 0;
    std::string text = QV_Machine_infoText(m);
    int32_t written = stream_write(s, text.data(), int32_t(text.size()));
    int flushed = stream_flush(s);
    stream_close(s);
    return written == int32_t(text.size()) && flushed ? 1 : 0;
}
