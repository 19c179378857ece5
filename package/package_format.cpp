#include "package/package_format.h"

#include <cstring>

#include "package/bytes.h"
#include "package/scramble.h"
#include "support/checksum.h"
#include "support/stream.h"

namespace {

bool sizes_within_limits(const uint8_t* r, size_t boot, size_t radar, size_t voice, size_t gps) {
    return get_u32(r, boot) <= LIMIT_BOOT_SIZE && get_u32(r, radar) <= LIMIT_RADAR_SIZE &&
           get_u32(r, voice) <= LIMIT_VOICE_SIZE && get_u32(r, gps) <= LIMIT_GPS_SIZE;
}

bool checksum_ok(const uint8_t* r, size_t covered) {
    return get_u32(r, 0) == covered && get_u32(r, covered) == byte_sum(r, covered);
}

} // namespace

int trailer_accept(const uint8_t* r, size_t n, int form, PackageDirectory* dir) {
    if (!r || !dir)
        return 0;
    uint8_t d[DIRECTORY_SIZE] = {};
    switch (form) {
    case PACKAGE_FORM_C:
        if (n != FORM_C_SIZE || get_u32(r, DIR_MARKER) != RECORD_MAGIC || !checksum_ok(r, 516) ||
            get_u32(r, 268) > LIMIT_BOOT_SIZE)
            return 0;
        std::memcpy(d, r, DIRECTORY_SIZE);
        break;
    case PACKAGE_FORM_B:
        if (n != FORM_B_SIZE || !checksum_ok(r, 316) || !sizes_within_limits(r, 268, 284, 292, 300))
            return 0;
        put_u32(d, DIR_VERSION, 3);
        std::memcpy(d + DIR_CLIENT_ID, r + 8, CLIENT_ID_SIZE);
        std::memcpy(d + DIR_PAIRS, r + 264, 40);
        break;
    case PACKAGE_FORM_A:
        if (n != FORM_A_SIZE || !checksum_ok(r, 300) || !sizes_within_limits(r, 264, 280, 288, 296))
            return 0;
        put_u32(d, DIR_VERSION, 1);
        std::memcpy(d + DIR_CLIENT_ID, r + 4, CLIENT_ID_SIZE);
        std::memcpy(d + DIR_PAIRS, r + 260, 40);
        break;
    default:
        return 0;
    }
    dir->form = form;
    std::memcpy(dir->bytes, d, DIRECTORY_SIZE);
    return 1;
}

int package_find_trailer(Stream* s, PackageDirectory* dir) {
    if (!s || !dir)
        return PACKAGE_FORM_NONE;
    int32_t start = stream_tell(s);
    static constexpr struct {
        int form;
        size_t size;
    } forms[] = {{PACKAGE_FORM_C, FORM_C_SIZE},
                 {PACKAGE_FORM_B, FORM_B_SIZE},
                 {PACKAGE_FORM_A, FORM_A_SIZE}};
    for (const auto& f : forms) {
        uint8_t record[FORM_C_SIZE];
        int32_t n = static_cast<int32_t>(f.size);
        // A failed seek (file shorter than 520 bytes) leaves the stream in
        // its error state, so every later form fails too.
        if (stream_seek(s, -n, 2) < 0 || stream_read(s, record, n) != n)
            continue;
        trailer_xor(record, f.size);
        if (trailer_accept(record, f.size, f.form, dir)) {
            stream_seek(s, start, 0);
            return f.form;
        }
    }
    return PACKAGE_FORM_NONE;
}

uint32_t directory_version(const PackageDirectory* dir) {
    return dir ? get_u32(dir->bytes, DIR_VERSION) : 0;
}

uint32_t directory_offset(const PackageDirectory* dir, int section) {
    if (!dir || section < 1 || section > SECTION_COUNT)
        return 0;
    return get_u32(dir->bytes, DIR_PAIRS + 8 * static_cast<size_t>(section - 1));
}

uint32_t directory_size(const PackageDirectory* dir, int section) {
    if (!dir || section < 1 || section > SECTION_COUNT)
        return 0;
    return get_u32(dir->bytes, DIR_PAIRS + 8 * static_cast<size_t>(section - 1) + 4);
}

const char* package_form_name(int form) {
    switch (form) {
    case PACKAGE_FORM_A:
        return "A";
    case PACKAGE_FORM_B:
        return "B";
    case PACKAGE_FORM_C:
        return "C";
    default:
        return "";
    }
}
