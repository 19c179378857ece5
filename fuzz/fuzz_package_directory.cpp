// package_load with the directory itself as the input: the trailer is sealed
// (covered length, marker, checksum, scrambled) before loading, so every
// offset, size and count of the directory reaches the section readers
// instead of being refused with a bad checksum.
//
// Input: one control byte, then the plain 520-byte directory (the form C
// layout; shorter input is padded with zeros), then the bytes the directory
// points into.
//   control bits 0-1: trailer form (1 = B, 2 = A, otherwise C)
//   control bit 2:    also seal the program table's 60-byte header where the
//                     directory puts it, so extended entries are reached
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_input_file.h"
#include "fuzz/fuzz_package_touch.h"
#include "package/bytes.h"
#include "package/package.h"
#include "package/scramble.h"
#include "support/checksum.h"

namespace {

void put_u32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// The trailer record of a form for a directory laid out like form C.
std::vector<uint8_t> sealed_trailer(int form, const uint8_t* dir) {
    std::vector<uint8_t> r;
    size_t covered;
    if (form == PACKAGE_FORM_A) {
        r.assign(FORM_A_SIZE, 0);
        covered = FORM_A_SIZE - 4;
        std::memcpy(r.data() + 4, dir + DIR_CLIENT_ID, CLIENT_ID_SIZE);
        std::memcpy(r.data() + 260, dir + DIR_PAIRS, 40);
    } else if (form == PACKAGE_FORM_B) {
        r.assign(FORM_B_SIZE, 0);
        covered = FORM_B_SIZE - 4;
        std::memcpy(r.data() + 8, dir + DIR_CLIENT_ID, CLIENT_ID_SIZE);
        std::memcpy(r.data() + 264, dir + DIR_PAIRS, 40);
    } else {
        r.assign(dir, dir + FORM_C_SIZE);
        covered = FORM_C_SIZE - 4;
        put_u32(r.data() + DIR_MARKER, RECORD_MAGIC);
    }
    put_u32(r.data(), uint32_t(covered));
    put_u32(r.data() + covered, byte_sum(r.data(), covered));
    trailer_xor(r.data(), r.size());
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    uint8_t control = data[0];
    int form = (control & 3) == 1 ? PACKAGE_FORM_B
               : (control & 3) == 2 ? PACKAGE_FORM_A
                                    : PACKAGE_FORM_C;
    uint8_t dir[DIRECTORY_SIZE] = {};
    size_t dir_bytes = std::min(size - 1, DIRECTORY_SIZE);
    std::memcpy(dir, data + 1, dir_bytes);
    std::vector<uint8_t> file(data + 1 + dir_bytes, data + size);

    if (control & 4) {
        uint64_t at = get_u32(dir, DIR_PAIRS + 8); // the program table's offset
        if (at + PROGRAM_HEADER_SIZE <= file.size()) {
            uint8_t* h = file.data() + at;
            put_u32(h + 4, RECORD_MAGIC);
            put_u32(h + 56, byte_sum(h, 56));
        }
    }
    std::vector<uint8_t> trailer = sealed_trailer(form, dir);
    file.insert(file.end(), trailer.begin(), trailer.end());

    if (!fuzz_write_input(file.data(), file.size()))
        return 0;
    int flags[PROVINCE_COUNT];
    for (int k = 0; k < PROVINCE_COUNT; ++k)
        flags[k] = (control >> 3) & 1 ? 1 : k % 2;
    fuzz_load_touch_merge(flags);
    return 0;
}
