// Dates the unit reports, made from seconds since 1970-01-01.
#pragma once

#include <cstdint>

struct DateStamp {
    uint8_t second = 0;
    uint8_t minute = 0;
    uint8_t hour = 0;
    uint8_t day = 0;   // 1..31
    uint8_t month = 0; // 1..12
    uint8_t spare = 0;
    uint16_t year = 0;
};

// Fills stamp from seconds since 1970-01-01 00:00:00 (no time zone). The
// spare byte is left as it is. Null is ignored.
void seconds_to_date(DateStamp* stamp, uint32_t seconds);
