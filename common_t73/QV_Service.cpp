#include "common_t73/QV_Service.h"

#include <cstdlib>
#include <cstring>

#include "common_t73/QV_Machine_internal.h"
#include "support/stream.h"

namespace {

QV_ServiceOutcome no_hardware() {
    QV_ServiceOutcome o;
    o.message = SERVICE_NO_HARDWARE;
    return o;
}

QV_ServiceOutcome failed(QV_Machine* m, const char16_t* status16, const char* status) {
    QV_ServiceOutcome o;
    o.message = SERVICE_WRITE_ERROR;
    if (status16) {
        QV_Machine_setStatusText(m, status16);
        o.status = status;
    }
    return o;
}

} // namespace

QV_ServiceOutcome QV_Service_dumpInfo(QV_Machine* m, const char16_t* path) {
    if (!QV_Machine_isConnected(m))
        return no_hardware();
    QV_ServiceOutcome o;
    o.ok = QV_Machine_dumpInfo(m, path);
    o.message = o.ok ? SERVICE_WRITE_OK : SERVICE_WRITE_ERROR;
    return o;
}

QV_ServiceOutcome QV_Service_readServerData(QV_Machine* m, const char16_t* path) {
    if (!QV_Machine_isConnected(m))
        return no_hardware();
    m->progress_mode = PROGRESS_MODE_RUN;
    std::memset(m->status_text, 0, sizeof m->status_text);
    std::memcpy(m->status_text, u"Load ", sizeof u"Load ");

    uint32_t address = rec_u32(m->main_setting + MS_OFF_SERVER_DATA_ADDR);
    uint32_t size = rec_u32(m->main_setting + MS_OFF_SERVER_DATA_SIZE);
    QV_Machine_progressBegin(m, size);
    // The region comes from the unit's record: it sizes the buffer only once
    // it is known to lie inside the unit's flash.
    uint32_t flash = m->flash_size ? m->flash_size : FLASH_SIZE_DEFAULT;
    if (uint64_t(address) + size > flash || size > INT32_MAX)
        return failed(m, u"read fail！", "read fail！");
    uint8_t* buffer = static_cast<uint8_t*>(std::calloc(size ? size : 1, 1));
    if (!buffer)
        return failed(m, u"out memory！", "out memory！");
    uint8_t page[FLASH_PAGE_SIZE];
    for (uint32_t block = 0; block < size / FLASH_PAGE_SIZE; ++block) {
        uint32_t offset = block * FLASH_PAGE_SIZE;
        if (!QV_Machine_isConnected(m) ||
            QV_Cmd_read(m->channel, address + offset, page, FLASH_PAGE_SIZE, 1) != 0) {
            std::free(buffer);
            return failed(m, u"read fail！", "read fail！");
        }
        std::memcpy(buffer + offset, page, FLASH_PAGE_SIZE);
    }
    QV_Machine_progressEnd(m);

    Stream* s = stream_open(path, 1);
    if (!s) {
        std::free(buffer);
        return failed(m, u"open file fail！", "open file fail！");
    }
    int32_t written = size ? stream_write(s, buffer, int32_t(size)) : 0;
    int flushed = stream_flush(s);
    stream_close(s);
    std::free(buffer);
    if (written != int32_t(size) || !flushed)
        return failed(m, nullptr, nullptr);
    QV_ServiceOutcome o;
    o.ok = 1;
    o.message = SERVICE_WRITE_OK;
    o.caption = "Tips";
    o.error_icon = 0;
    return o;
}
