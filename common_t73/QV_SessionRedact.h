// What a recording hides: the GPRS user name and password in the unit's
// settings and parameter records, and on request the unit's own part of its
// client id, replaced in place by placeholders of the same length with the
// records' sums redone. Internal to the device link.
#pragma once

#include <cstddef>
#include <cstdint>

// What a recording hid.
struct SessionRedaction {
    bool gprs = true;    // GPRS user name and password
    bool client = false; // the unit's own part of the client id
};

// Replaces the GPRS user name and password (and with client, the unit's own
// part of the client id) in payload, the flash bytes from address on, with
// placeholders of the same length, and redoes the sums of the records
// touched whose sums were right. Returns 1 when anything changed.
int QV_Session_redact(const SessionRedaction& what, uint32_t address, uint8_t* payload,
                      size_t length);
