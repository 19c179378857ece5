#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "package/bytes.h"
#include "package/package.h"
#include "package/scramble.h"

namespace {

bool ascii_lower_equal(const char* a, const char* b) {
    for (;; ++a, ++b) {
        auto ca = static_cast<unsigned char>(*a);
        auto cb = static_cast<unsigned char>(*b);
        if (ca >= 'A' && ca <= 'Z')
            ca = static_cast<unsigned char>(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z')
            cb = static_cast<unsigned char>(cb - 'A' + 'a');
        if (ca != cb)
            return false;
        if (ca == 0)
            return true;
    }
}

// The first province of the table (in table order) with that name.
const ProvinceGps* find_province(const Package* p, const char* name) {
    for (uint32_t i = 0; i < p->province_count; ++i)
        if (ascii_lower_equal(p->provinces[i].name, name))
            return &p->provinces[i];
    return nullptr;
}

// Keys are -2^25+1 .. 2^25-1; biased they fit in 32 unsigned bits and sort
// as unsigned numbers.
constexpr int64_t KEY_BIAS = int64_t{1} << 25;

} // namespace

int32_t province_record_key(const uint8_t* record) {
    if (!record)
        return 0;
    uint32_t w = get_u32(record, 4);
    auto magnitude = static_cast<int32_t>((w >> 6) & 0x1FFFFFF);
    return (w & 0x80000000u) ? -magnitude : magnitude;
}

void package_provinces_held(const Package* p, int held[PROVINCE_COUNT]) {
    for (int k = 0; k < PROVINCE_COUNT; ++k)
        held[k] = p && find_province(p, PROVINCE_NAMES[k]) ? 1 : 0;
}

int package_holds_any_province(const Package* p, const int* flags) {
    if (!p || !flags)
        return 0;
    for (int k = 0; k < PROVINCE_COUNT; ++k)
        if (flags[k] && find_province(p, PROVINCE_NAMES[k]))
            return 1;
    return 0;
}

int package_merge_provinces(Package* p, const int* flags) {
    if (!p || !flags)
        return 0;
    std::free(p->merged_gps.data);
    p->merged_gps = PackageSection{};

    const ProvinceGps* chosen[PROVINCE_COUNT] = {};
    uint64_t total = 0;
    for (int k = 0; k < PROVINCE_COUNT; ++k) {
        if (!flags[k])
            continue;
        chosen[k] = find_province(p, PROVINCE_NAMES[k]);
        if (chosen[k])
            total += chosen[k]->record_count;
    }
    uint64_t size = 8 + total * PROVINCE_RECORD_SIZE;
    if (size > UINT32_MAX)
        return 0;
    auto* image = static_cast<uint8_t*>(std::malloc(size));
    if (!image)
        return 0;
    put_u32(image, 0, p->province_stamp);
    put_u32(image, 4, static_cast<uint32_t>(total));

    if (total > 0) {
        // Copy pass into a scratch area, then sort compact (key, index)
        // pairs and gather the records into the image in key order: much
        // cheaper than moving 12-byte records around while sorting.
        uint8_t* scratch = static_cast<uint8_t*>(std::malloc(total * PROVINCE_RECORD_SIZE));
        auto* order = static_cast<uint64_t*>(std::malloc(total * sizeof(uint64_t)));
        if (!scratch || !order) {
            std::free(scratch);
            std::free(order);
            std::free(image);
            return 0;
        }
        uint8_t* at = scratch;
        for (const ProvinceGps* prov : chosen) {
            if (!prov || prov->record_count == 0 || !prov->records)
                continue;
            size_t bytes = static_cast<size_t>(prov->record_count) * PROVINCE_RECORD_SIZE;
            std::memcpy(at, prov->records, bytes);
            at += bytes;
        }
        for (uint64_t i = 0; i < total; ++i) {
            int64_t key = province_record_key(scratch + i * PROVINCE_RECORD_SIZE) + KEY_BIAS;
            order[i] = static_cast<uint64_t>(key) << 32 | i;
        }
        std::sort(order, order + total);
        uint8_t* out = image + 8;
        for (uint64_t i = 0; i < total; ++i) {
            std::memcpy(out, scratch + (order[i] & 0xFFFFFFFFu) * PROVINCE_RECORD_SIZE,
                        PROVINCE_RECORD_SIZE);
            out += PROVINCE_RECORD_SIZE;
        }
        std::free(order);
        std::free(scratch);
    }

    // A state of its own: packages merge on several threads at once.
    RollingState encoder;
    rolling_encode(&encoder, image, size);
    p->merged_gps.data = image;
    p->merged_gps.size = static_cast<uint32_t>(size);
    p->merged_gps.flag = 1;
    return 1;
}
