#include "common_t73/QV_SessionRedact.h"

#include <cstring>

#include "common_t73/QV_Machine.h"
#include "config/records.h"
#include "support/build_settings.h"
#include "support/checksum.h"

namespace {

const uint8_t PLACEHOLDER = 'x';

// Replaces the text of a NUL-padded field, from keep on, by placeholders.
void blank_text(uint8_t* field, size_t size, size_t keep) {
    for (size_t i = keep; i < size && field[i] != 0; ++i)
        field[i] = PLACEHOLDER;
}

// The part of a client id the tool compares with its customers: the
// longest of their names the id begins with.
size_t client_brand_length(const uint8_t* id, size_t n) {
    size_t keep = 0;
    auto take = [&](const char* name, size_t len) {
        if (len <= n && len > keep && std::memcmp(id, name, len) == 0)
            keep = len;
    };
    take(TOOL_CUSTOMER_NAME, TOOL_CUSTOMER_NAME_LEN);
    take(SERVED_CUSTOMER_PREFIX, SERVED_CUSTOMER_PREFIX_LEN);
    take(SERVED_CUSTOMER_FULL, SERVED_CUSTOMER_FULL_LEN);
    for (const char* name :
         {VERSION_CUSTOMER_A_NAME, VERSION_CUSTOMER_B_PREFIX, VERSION_CUSTOMER_C_PREFIX,
          VERSION_CUSTOMER_D_PREFIX, VERSION_CUSTOMER_E_PREFIX, VERSION_CUSTOMER_F_PREFIX})
        take(name, std::strlen(name));
    for (int i = 0; i < KNOWN_CUSTOMER_COUNT; ++i)
        take(KNOWN_CUSTOMER_IDS[i], std::strlen(KNOWN_CUSTOMER_IDS[i]));
    return keep;
}

// A whole record at rec_address inside [address, address + length).
uint8_t* record_at(uint32_t address, uint8_t* payload, size_t length, uint32_t rec_address,
                   size_t size) {
    if (rec_address < address || uint64_t(rec_address - address) + size > length)
        return nullptr;
    return payload + (rec_address - address);
}

bool redact_server_half(uint8_t* half) {
    if (!half || !server_settings_half_valid(half))
        return false;
    uint8_t* ss = half + 4;
    blank_text(ss + SS_OFF_USER, SS_USER_SIZE, 0);
    blank_text(ss + SS_OFF_PASSWORD, SS_PASSWORD_SIZE, 0);
    rec_set_u32(half, byte_sum(ss, SERVER_SETTINGS_RECORD_SIZE));
    return true;
}

bool redact_param(uint8_t* rec) {
    if (!rec || param_record_kind(rec) != 3)
        return false;
    blank_text(rec + P3_OFF_USER, P3_USER_SIZE, 0);
    blank_text(rec + P3_OFF_PASSWORD, P3_PASSWORD_SIZE, 0);
    param_record_seal(rec, 3);
    return true;
}

bool redact_client(uint8_t* id) {
    if (!id)
        return false;
    size_t n = QV_Machine_clientLength(id, CLIENT_ID_SIZE);
    size_t keep = client_brand_length(id, n);
    for (size_t i = keep; i < n; ++i)
        id[i] = PLACEHOLDER;
    return n > keep;
}

} // namespace

int QV_Session_redact(const SessionRedaction& what, uint32_t address, uint8_t* payload,
                      size_t length) {
    if (!payload)
        return 0;
    bool changed = false;
    if (what.gprs) {
        for (uint32_t block : {FLASH_MAIN_SETTING_ADDRESS, FLASH_MAIN_SETTING_ADDRESS_502})
            changed |= redact_server_half(
                record_at(address, payload, length, block + MSB_HALF_SIZE, MSB_HALF_SIZE));
        for (uint32_t at : {FLASH_PARAM_ADDRESS, FLASH_PARAM_ADDRESS_502})
            changed |= redact_param(record_at(address, payload, length, at, PARAM_RECORD_SIZE));
    }
    if (what.client) {
        for (uint32_t at : {FLASH_IDENTITY_ADDRESS, FLASH_IDENTITY_ADDRESS_502})
            changed |= redact_client(record_at(address, payload, length, at, CLIENT_ID_SIZE));
    }
    return changed ? 1 : 0;
}
