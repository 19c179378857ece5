#include "support/date.h"

namespace {
bool is_leap(uint32_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
} // namespace

void seconds_to_date(DateStamp* stamp, uint32_t seconds) {
    if (!stamp)
        return;
    constexpr uint32_t DAY = 86400;
    uint32_t year = 1970;
    for (;;) {
        uint32_t len = (is_leap(year) ? 366 : 365) * DAY;
        if (seconds < len)
            break;
        seconds -= len;
        ++year;
    }
    static const uint8_t month_days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    uint32_t month = 0;
    for (; month < 11; ++month) {
        uint32_t days = month_days[month] + (month == 1 && is_leap(year) ? 1 : 0);
        if (seconds < days * DAY)
            break;
        seconds -= days * DAY;
    }
    stamp->year = static_cast<uint16_t>(year);
    stamp->month = static_cast<uint8_t>(month + 1);
    stamp->day = static_cast<uint8_t>(seconds / DAY + 1);
    seconds %= DAY;
    stamp->hour = static_cast<uint8_t>(seconds / 3600);
    stamp->minute = static_cast<uint8_t>(seconds / 60 % 60);
    stamp->second = static_cast<uint8_t>(seconds % 60);
}
