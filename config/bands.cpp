#include "config/bands.h"

#include "config/records.h"

#include <cstdio>

const char16_t* const FIXED_BAND_NAMES[FIXED_BAND_COUNT] = {
    u"X Band",   u"Ku Band",  u"MTR Band", u"K Band",   u"K3 Band",  u"K4 Band",
    u"KA1 Band", u"KA2 Band", u"KA3 Band", u"KA4 Band", u"KA5 Band", u"Laser Band",
};

const int32_t FIXED_BAND_EDGES[FIXED_BAND_COUNT][2] = {
    {10480, 10720}, {13350, 13540}, {22700, 23660}, {23660, 24060}, {24060, 24410}, {24410, 24900},
    {33700, 34200}, {34200, 34600}, {34600, 35450}, {35450, 35950}, {35950, 36300}, {0, 0},
};

const char* const BAND_GROUP_NAMES[BAND_GROUP_COUNT] = {"X", "Ku", "K", "Ka", "Laser"};

namespace {
// "%.03f" of mhz / 1000.0, built from integers so that the user's locale
// (a decimal comma) never changes the text.
std::string ghz_text(int mhz) {
    long long v = mhz;
    const char* sign = v < 0 ? "-" : "";
    if (v < 0)
        v = -v;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%lld.%03lld", sign, v / 1000, v % 1000);
    return buf;
}
} // namespace

std::string band_text(const std::string& name, int lower_mhz, int upper_mhz) {
    return name + "(" + ghz_text(lower_mhz) + "~" + ghz_text(upper_mhz) + ")";
}

void band_group_counts(const uint8_t* rec, int kind, int counts[BAND_GROUP_COUNT]) {
    if (!counts)
        return;
    int room = (rec && kind >= 3 && kind <= 5) ? param_band_capacity(kind) : 0;
    for (int g = 0; g < BAND_GROUP_COUNT; ++g) {
        int n = room > 0 ? rec_s8(rec + P35_OFF_COUNTS + g) : 0;
        if (n < 0)
            n = 0; // a negative count means the group has no bands
        if (n > room)
            n = room; // the record has no room for more enables or edges
        counts[g] = n;
        room -= n;
    }
}

std::vector<BandInfo> bands_load(const uint8_t* rec, int kind) {
    std::vector<BandInfo> out;
    if (!rec)
        return out;
    if (kind == 1 || kind == 2) {
        for (int i = 0; i < FIXED_BAND_COUNT; ++i) {
            BandInfo b;
            std::string name;
            for (const char16_t* p = FIXED_BAND_NAMES[i]; *p; ++p)
                name += char(*p); // the names are ASCII
            b.lower_mhz = FIXED_BAND_EDGES[i][0];
            b.upper_mhz = FIXED_BAND_EDGES[i][1];
            b.text = band_text(name, b.lower_mhz, b.upper_mhz);
            b.id = BAND_CHECKBOX_FIRST_ID + i;
            b.enable_offset = P12_OFF_BANDS + i;
            b.checked = rec[b.enable_offset] != 0;
            out.push_back(std::move(b));
        }
        return out;
    }
    if (kind < 3 || kind > 5)
        return out;
    int counts[BAND_GROUP_COUNT];
    band_group_counts(rec, kind, counts);
    int declared[BAND_GROUP_COUNT];
    for (int g = 0; g < BAND_GROUP_COUNT; ++g)
        declared[g] = rec_s8(rec + P35_OFF_COUNTS + g);
    int table = param_freq_table_offset(kind);
    int index = 0;
    for (int g = 0; g < BAND_GROUP_COUNT; ++g) {
        for (int k = 0; k < counts[g]; ++k, ++index) {
            BandInfo b;
            const uint8_t* entry = rec + table + 4 * index;
            b.lower_mhz = rec_u16(entry);
            b.upper_mhz = rec_u16(entry + 2);
            // The number within the group follows the group's own count, so
            // a cut group keeps the names the unit gives its bands.
            std::string name = BAND_GROUP_NAMES[g];
            if (declared[g] > 1)
                name += std::to_string(k + 1);
            name += " Band";
            b.text = band_text(name, b.lower_mhz, b.upper_mhz);
            b.id = BAND_CHECKBOX_FIRST_ID + index;
            b.enable_offset = P35_OFF_BANDS + index;
            b.checked = rec[b.enable_offset] != 0;
            out.push_back(std::move(b));
        }
    }
    return out;
}

int bands_store(uint8_t* rec, int kind, const std::vector<bool>& checked) {
    if (!rec)
        return 0;
    std::vector<BandInfo> bands = bands_load(rec, kind);
    int written = 0;
    for (size_t i = 0; i < bands.size() && i < checked.size(); ++i, ++written)
        rec[bands[i].enable_offset] = checked[i] ? 1 : 0;
    return written;
}

int band_second_column_start(int kind) {
    return kind >= 3 ? 7 : 6;
}

BandRect band_rect(int index, int kind, const BandRect& first, const BandRect& second) {
    int split = band_second_column_start(kind);
    const BandRect& top = index < split ? first : second;
    int row = index < split ? index : index - split;
    // The column's first band takes its marker's rectangle; each further one
    // sits below the previous with the first marker's height.
    BandRect r = top;
    if (row > 0) {
        r.y = top.y + top.h + BAND_ROW_GAP + (row - 1) * (first.h + BAND_ROW_GAP);
        r.h = first.h;
    }
    return r;
}
