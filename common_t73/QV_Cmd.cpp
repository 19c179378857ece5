#include "common_t73/QV_Cmd.h"

#include <algorithm>
#include <cstring>

namespace {

void put_u32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t get_u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint32_t sum_bytes(const uint8_t* p, int n) {
    uint32_t sum = 0;
    for (int i = 0; i < n; ++i)
        sum += p[i];
    return sum;
}

const uint8_t SIGNATURE[4] = {'H', 'I', 'D', 'C'};

void call_hook(QV_HidChannel* channel, int32_t phase, uint32_t count, uint32_t total) {
    if (channel->hook)
        channel->hook(channel->hookUser, phase, static_cast<int32_t>(count),
                      static_cast<int32_t>(total));
}

// Sends a command with the two fixed guard words and reads its reply.
int guarded_command(QV_HidChannel* channel, uint8_t command, uint32_t* value) {
    if (value)
        *value = 0;
    if (!QV_Cmd_sendFrame(channel, command, RECORD_MAGIC, COMMAND_ACCESS_WORD, 0, 0, 0))
        return 0;
    uint8_t reply[CMD_FRAME_SIZE];
    if (!QV_Cmd_readReply(channel, reply))
        return 0;
    if (value)
        *value = get_u32(reply + CMD_OFF_B);
    return 1;
}

} // namespace

void QV_Cmd_buildFrame(uint8_t* frame, uint8_t command, uint32_t a, uint32_t b, uint32_t c,
                       int mode, uint32_t d) {
    if (!frame)
        return;
    frame[CMD_OFF_COMMAND] = command;
    frame[CMD_OFF_LENGTH] = CMD_FRAME_LENGTH;
    put_u32(frame + CMD_OFF_A, a);
    put_u32(frame + CMD_OFF_B, b);
    put_u32(frame + CMD_OFF_C, c);
    frame[CMD_OFF_MODE] = mode ? 1 : 0;
    put_u32(frame + CMD_OFF_D, d);
    std::memcpy(frame + CMD_OFF_SIGNATURE, SIGNATURE, sizeof SIGNATURE);
    put_u32(frame + CMD_OFF_CHECKSUM, sum_bytes(frame, CMD_OFF_CHECKSUM));
}

int QV_Cmd_frameIsValid(const uint8_t* frame) {
    if (!frame)
        return 0;
    if (frame[CMD_OFF_LENGTH] != CMD_FRAME_LENGTH ||
        std::memcmp(frame + CMD_OFF_SIGNATURE, SIGNATURE, sizeof SIGNATURE) != 0)
        return 0;
    return get_u32(frame + CMD_OFF_CHECKSUM) == sum_bytes(frame, CMD_OFF_CHECKSUM) ? 1 : 0;
}

uint32_t QV_Cmd_frameWord(const uint8_t* frame, int offset) {
    if (!frame || offset < 0 || offset > CMD_FRAME_SIZE - 4)
        return 0;
    return get_u32(frame + offset);
}

int QV_Cmd_sendFrame(QV_HidChannel* channel, uint8_t command, uint32_t a, uint32_t b, uint32_t c,
                     int mode, uint32_t d) {
    if (!channel || !channel->handle || QV_HidChannel_stopped(channel))
        return 0;
    // A reply that came in after its transfer was given up must not be read
    // as the answer to this command.
    QV_Hid_discardInput(channel->handle);
    uint8_t* report = channel->report;
    report[0] = 0;
    QV_Cmd_buildFrame(report + 1, command, a, b, c, mode, d);
    std::memset(report + 1 + CMD_FRAME_SIZE, CMD_FILLER, REPORT_SIZE - 1 - CMD_FRAME_SIZE);
    return QV_Hid_writeReport(channel->handle, report, nullptr) ? 1 : 0;
}

int QV_Cmd_readReply(QV_HidChannel* channel, uint8_t* reply) {
    if (!channel || !channel->handle)
        return 0;
    int count = 0;
    if (!QV_Hid_readReport(channel->handle, channel->report, &count))
        return 0;
    int n = std::clamp(count - 1, 0, CMD_FRAME_SIZE);
    uint8_t frame[CMD_FRAME_SIZE] = {};
    std::memcpy(frame, channel->report + 1, static_cast<size_t>(n));
    if (!QV_Cmd_frameIsValid(frame))
        return 0;
    if (reply)
        std::memcpy(reply, frame, CMD_FRAME_SIZE);
    if (channel->bootVersion >= STATUS_CHECK_MIN_BOOT && get_u32(frame + CMD_OFF_A) != 0)
        return 0;
    ++channel->answered;
    return 1;
}

int QV_Cmd_sendData(QV_HidChannel* channel, const uint8_t* data, uint32_t remaining,
                    uint32_t* moved) {
    if (moved)
        *moved = 0;
    if (!channel || !channel->handle || !data || remaining == 0 || QV_HidChannel_stopped(channel))
        return 0;
    uint8_t* report = channel->report;
    uint32_t take = std::min<uint32_t>(remaining, CMD_DATA_SIZE);
    report[0] = 0;
    std::memcpy(report + 1, data, take);
    std::memset(report + 1 + take, CMD_FILLER, CMD_DATA_SIZE - take);
    int written = 0;
    if (!QV_Hid_writeReport(channel->handle, report, &written) || written <= 1)
        return 0;
    // Filler after the last data byte is not data: count only what was given.
    if (moved)
        *moved = std::min<uint32_t>(static_cast<uint32_t>(written - 1), take);
    return 1;
}

int QV_Cmd_erase(QV_HidChannel* channel, uint32_t address, uint32_t length) {
    if (address % 4096 != 0)
        return -1;
    if (length % 4096 != 0)
        return -2;
    if (!QV_Cmd_sendFrame(channel, CMD_ERASE, address >> 12, length >> 12, 0, 0, 0))
        return -3;
    if (!QV_Cmd_readReply(channel, nullptr))
        return -4;
    return 0;
}

int QV_Cmd_read(QV_HidChannel* channel, uint32_t address, uint8_t* destination, uint32_t length,
                int mode) {
    if (address % 256 != 0)
        return -1;
    if (length % 256 != 0)
        return -2;
    if (!destination && length != 0)
        return -3;
    if (!QV_Cmd_sendFrame(channel, CMD_READ, address >> 8, length >> 8, 0, mode, 0))
        return -3;
    call_hook(channel, 0, 0, length);
    int result = 0;
    uint32_t received = 0;
    while (received < length) {
        int count = 0;
        // A report without payload would never finish the transfer.
        if (!QV_Hid_readReport(channel->handle, channel->report, &count) || count <= 1) {
            result = -4;
            break;
        }
        uint32_t k = std::min<uint32_t>({static_cast<uint32_t>(count - 1),
                                         static_cast<uint32_t>(CMD_DATA_SIZE), length - received});
        std::memcpy(destination + received, channel->report + 1, k);
        received += k;
        call_hook(channel, 1, k, received);
    }
    uint32_t value = 0;
    if (result == 0) {
        uint8_t reply[CMD_FRAME_SIZE];
        if (QV_Cmd_readReply(channel, reply))
            value = get_u32(reply + CMD_OFF_B);
        else
            result = -5;
    }
    call_hook(channel, 2, value, length);
    return result;
}

int QV_Cmd_write(QV_HidChannel* channel, uint32_t address, const uint8_t* data, uint32_t length,
                 uint32_t c, int mode, uint32_t d) {
    if (address % 256 != 0)
        return -1;
    if (length % 256 != 0)
        return -2;
    if (!data && length != 0)
        return -3;
    if (!QV_Cmd_sendFrame(channel, CMD_WRITE, address >> 8, length >> 8, c, mode, d))
        return -3;
    call_hook(channel, 0, 0, length);
    int result = 0;
    uint32_t sent = 0;
    while (sent < length) {
        uint32_t moved = 0;
        if (!QV_Cmd_sendData(channel, data + sent, length - sent, &moved)) {
            result = -4;
            break;
        }
        sent += moved;
        call_hook(channel, 1, moved, sent);
    }
    if (result == 0 && !QV_Cmd_readReply(channel, nullptr))
        result = -5;
    call_hook(channel, 2, sent, sent);
    return result;
}

int QV_Cmd_finish(QV_HidChannel* channel) {
    return guarded_command(channel, CMD_FINISH, nullptr);
}

int QV_Cmd_reject(QV_HidChannel* channel) {
    return guarded_command(channel, CMD_REJECT, nullptr);
}

uint32_t QV_Cmd_getBootVersion(QV_HidChannel* channel) {
    uint32_t value = 0;
    return guarded_command(channel, CMD_BOOT_VERSION, &value) ? value : 0;
}

uint32_t QV_Cmd_getFlashSize(QV_HidChannel* channel) {
    uint32_t value = 0;
    return guarded_command(channel, CMD_FLASH_SIZE, &value) ? value : 0;
}
