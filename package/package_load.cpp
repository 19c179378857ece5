#include <cstdlib>
#include <initializer_list>
#include <cstring>
#include <new>

#include "package/bytes.h"
#include "package/package.h"
#include "package/scramble.h"
#include "support/checksum.h"
#include "support/stream.h"

namespace {

// Program images may share bytes of the file (two boards, one image), but a
// crafted table must not make us hold more than this many times the file.
constexpr uint64_t PROGRAM_BYTES_PER_FILE_BYTE = 4;

struct Reader {
    Stream* s = nullptr;
    uint64_t file_size = 0;
    const PackageDirectory* dir = nullptr;

    // Whether [offset, offset + n) lies inside the file. Every count, offset
    // and size taken from the file is checked here before it sizes a buffer
    // or a read, so a bad value makes its section absent and never reaches
    // the end of the file (which would leave the stream unusable for the
    // sections after it).
    bool inside(uint64_t offset, uint64_t n) const {
        return offset <= file_size && n <= file_size - offset;
    }

    // Reads n bytes at offset into dst. Returns true when all arrived.
    bool read_at(uint64_t offset, void* dst, uint64_t n) const {
        if (!inside(offset, n))
            return false;
        if (n == 0)
            return true;
        if (stream_seek(s, static_cast<int32_t>(offset), 0) != static_cast<int32_t>(offset))
            return false;
        return stream_read(s, dst, static_cast<int32_t>(n)) == static_cast<int32_t>(n);
    }

    // A heap copy of n bytes at offset, or null.
    uint8_t* read_block(uint64_t offset, uint64_t n) const {
        if (n == 0 || !inside(offset, n))
            return nullptr;
        auto* buf = static_cast<uint8_t*>(std::malloc(n));
        if (!buf)
            return nullptr;
        if (!read_at(offset, buf, n)) {
            std::free(buf);
            return nullptr;
        }
        return buf;
    }
};

void release_section(PackageSection* sec) {
    std::free(sec->data);
    sec->data = nullptr;
    sec->size = 0;
}

void release_programs(Package* p) {
    for (uint32_t i = 0; i < p->program_count && p->programs; ++i)
        std::free(p->programs[i].data);
    delete[] p->programs;
    p->programs = nullptr;
    p->program_count = 0;
}

void release_provinces(Package* p) {
    for (uint32_t i = 0; i < p->province_count && p->provinces; ++i)
        std::free(p->provinces[i].records);
    delete[] p->provinces;
    p->provinces = nullptr;
    p->province_count = 0;
}

void read_plain(const Reader& r, Package* p, int number) {
    PackageSection* sec = package_section(p, number);
    uint32_t size = directory_size(r.dir, number);
    if (!sec || size == 0)
        return;
    bool needs_v5 = number == SECTION_VOICE_B || number == SECTION_PROVINCE_VOICE_B ||
                    number == SECTION_VOICE_CB;
    if (needs_v5 && directory_version(r.dir) < 5)
        return;
    release_section(sec);
    uint8_t* data = r.read_block(directory_offset(r.dir, number), size);
    if (!data)
        return; // absent: only this section
    sec->data = data;
    sec->size = size;
    if (number == SECTION_BOOT)
        sec->flag = 1;
}

void fill_program(ProgramImage* img, const uint8_t* e) {
    std::memcpy(img->board_id, e + PE_BOARD_ID, 4);
    img->variant_b = get_u32(e, PE_VARIANT_B) != 0;
    img->size = get_u32(e, PE_SIZE);
    img->server_size = get_u32(e, PE_SERVER_SIZE);
    img->version = get_u32(e, PE_VERSION);
    img->scrambled = 1;
    img->layout502 = get_u32(e, PE_LAYOUT502) != 0;
    img->server_reset = get_u32(e, PE_SERVER_RESET) != 0;
    img->variant_c = get_u32(e, PE_VARIANT_C) != 0;
    img->variant_d = get_u32(e, PE_VARIANT_D) != 0;
    img->legacy = get_u32(e, PE_LEGACY) != 0;
    img->track_size = get_u32(e, PE_TRACK_SIZE);
}

void read_programs(const Reader& r, Package* p) {
    if (directory_size(r.dir, SECTION_PROGRAMS) == 0)
        return;
    release_programs(p);
    uint64_t start = directory_offset(r.dir, SECTION_PROGRAMS);
    if (!r.inside(start, 4))
        return;

    uint8_t header[PROGRAM_HEADER_SIZE] = {};
    bool extended =
        r.inside(start, PROGRAM_HEADER_SIZE) && r.read_at(start, header, PROGRAM_HEADER_SIZE) &&
        get_u32(header, 4) == RECORD_MAGIC && get_u32(header, 56) == byte_sum(header, 56);
    uint32_t count = 0;
    uint64_t entry_size = PROGRAM_SHORT_ENTRY_SIZE;
    uint64_t entries_at = start + 4;
    if (extended) {
        count = get_u32(header, 12);
        entry_size = PROGRAM_ENTRY_SIZE;
        entries_at = start + PROGRAM_HEADER_SIZE;
    } else {
        uint8_t word[4];
        if (!r.read_at(start, word, 4))
            return;
        count = get_u32(word, 0);
    }
    // A count whose byte size does not fit in 32 bits, or whose entries do
    // not lie in the file, leaves the table absent.
    uint64_t table_bytes = static_cast<uint64_t>(count) * PROGRAM_ENTRY_SIZE;
    if (count == 0 || table_bytes > UINT32_MAX || !r.inside(entries_at, count * entry_size))
        return;
    uint8_t* entries = r.read_block(entries_at, count * entry_size);
    if (!entries)
        return;
    auto* programs = new (std::nothrow) ProgramImage[count];
    if (!programs) {
        std::free(entries);
        return;
    }
    p->program_layout = extended ? 1 : 0;
    p->programs = programs;
    p->program_count = count;

    uint8_t slot[PROGRAM_ENTRY_SIZE];
    uint64_t held = 0;
    const uint64_t budget = r.file_size * PROGRAM_BYTES_PER_FILE_BYTE;
    for (uint32_t i = 0; i < count; ++i) {
        // Short entries leave the rest of their slot zero, so every field
        // after the size reads as 0.
        std::memset(slot, 0, sizeof slot);
        std::memcpy(slot, entries + i * entry_size, entry_size);
        ProgramImage* img = &programs[i];
        fill_program(img, slot);
        uint64_t at = start + get_u32(slot, PE_OFFSET);
        uint64_t size = img->size;
        img->size = 0;
        if (size == 0 || !r.inside(at, size) || held + size > budget)
            continue; // absent image: never flashed with bytes we do not have
        img->data = r.read_block(at, size);
        if (img->data) {
            img->size = static_cast<uint32_t>(size);
            held += size;
        } else if (r.inside(at, size)) {
            *img = ProgramImage{}; // out of memory: the entry stays zeroed
            img->scrambled = 0;
        }
    }
    std::free(entries);
}

void read_provinces(const Reader& r, Package* p) {
    if (directory_size(r.dir, SECTION_PROVINCES) == 0)
        return;
    release_provinces(p);
    uint64_t start = directory_offset(r.dir, SECTION_PROVINCES);
    uint8_t head[8];
    if (!r.read_at(start, head, 8))
        return;
    uint32_t n = get_u32(head, 4);
    uint64_t headers_at = start + 8;
    uint64_t headers_bytes = static_cast<uint64_t>(n) * PROVINCE_HEADER_SIZE;
    if (n == 0 || headers_bytes > UINT32_MAX || !r.inside(headers_at, headers_bytes))
        return;
    uint8_t* headers = r.read_block(headers_at, headers_bytes);
    if (!headers)
        return;
    // The record blocks follow the headers one after the other; all of them
    // must lie in the file before anything is allocated for them.
    uint64_t blocks_at = headers_at + headers_bytes;
    uint64_t blocks_bytes = 0;
    for (uint32_t i = 0; i < n; ++i)
        blocks_bytes += static_cast<uint64_t>(get_u32(headers, i * PROVINCE_HEADER_SIZE + 50)) *
                        PROVINCE_RECORD_SIZE;
    auto* provinces =
        r.inside(blocks_at, blocks_bytes) ? new (std::nothrow) ProvinceGps[n] : nullptr;
    if (!provinces) {
        std::free(headers);
        return;
    }
    for (uint32_t i = 0; i < n; ++i) {
        std::memcpy(provinces[i].name, headers + i * PROVINCE_HEADER_SIZE, PROVINCE_NAME_SIZE);
        provinces[i].record_count = get_u32(headers, i * PROVINCE_HEADER_SIZE + 50);
    }
    std::free(headers);
    p->province_stamp = get_u32(head, 0);
    p->provinces = provinces;
    p->province_count = n;

    uint64_t at = blocks_at;
    for (uint32_t i = 0; i < n; ++i) {
        uint64_t bytes = static_cast<uint64_t>(provinces[i].record_count) * PROVINCE_RECORD_SIZE;
        if (bytes == 0)
            continue;
        provinces[i].records = r.read_block(at, bytes);
        if (!provinces[i].records) {
            // A block we cannot hold whole would be merged with made-up
            // records: the whole table goes.
            release_provinces(p);
            p->province_stamp = 0;
            return;
        }
        // A state of its own: packages load on several threads at once.
        RollingState decoder;
        rolling_decode(&decoder, provinces[i].records, bytes);
        at += bytes;
    }
}

} // namespace

const char PROVINCE_NAMES[PROVINCE_COUNT][PROVINCE_NAME_SLOT] = {
    {"\xB1\xB1\xBE\xA9"},         // 0 北京
    {"\xC9\xCF\xBA\xA3"},         // 1 上海
    {"\xCC\xEC\xBD\xF2"},         // 2 天津
    {"\xD6\xD8\xC7\xEC"},         // 3 重庆
    {"\xBA\xDA\xC1\xFA\xBD\xAD"}, // 4 黑龙江
    {"\xBC\xAA\xC1\xD6"},         // 5 吉林
    {"\xC1\xC9\xC4\xFE"},         // 6 辽宁
    {"\xC4\xDA\xC3\xC9\xB9\xC5"}, // 7 内蒙古
    {"\xBA\xD3\xB1\xB1"},         // 8 河北
    {"\xC9\xBD\xCE\xF7"},         // 9 山西
    {"\xC9\xC2\xCE\xF7"},         // 10 陕西
    {"\xC9\xBD\xB6\xAB"},         // 11 山东
    {"\xD0\xC2\xBD\xAE"},         // 12 新疆
    {"\xCE\xF7\xB2\xD8"},         // 13 西藏
    {"\xC7\xE0\xBA\xA3"},         // 14 青海
    {"\xB8\xCA\xCB\xE0"},         // 15 甘肃
    {"\xC4\xFE\xCF\xC4"},         // 16 宁夏
    {"\xBA\xD3\xC4\xCF"},         // 17 河南
    {"\xBD\xAD\xCB\xD5"},         // 18 江苏
    {"\xBA\xFE\xB1\xB1"},         // 19 湖北
    {"\xD5\xE3\xBD\xAD"},         // 20 浙江
    {"\xB0\xB2\xBB\xD5"},         // 21 安徽
    {"\xB8\xA3\xBD\xA8"},         // 22 福建
    {"\xBD\xAD\xCE\xF7"},         // 23 江西
    {"\xBA\xFE\xC4\xCF"},         // 24 湖南
    {"\xB9\xF3\xD6\xDD"},         // 25 贵州
    {"\xCB\xC4\xB4\xA8"},         // 26 四川
    {"\xB9\xE3\xB6\xAB"},         // 27 广东
    {"\xD4\xC6\xC4\xCF"},         // 28 云南
    {"\xB9\xE3\xCE\xF7"},         // 29 广西
    {"\xBA\xA3\xC4\xCF"},         // 30 海南
    {"\xCF\xE3\xB8\xDB"},         // 31 香港
    {"\xB0\xC4\xC3\xC5"},         // 32 澳门
    {"\xCC\xA8\xCD\xE5"},         // 33 台湾
};

Package* package_load_with_directory(const char16_t* path, PackageDirectory* dir_out) {
    if (!path)
        return nullptr;
    auto* p = new (std::nothrow) Package();
    if (!p)
        return nullptr;
    std::memset(p->client_id, 0xFF, sizeof p->client_id);
    p->gps.flag = 1;
    p->gps_d.flag = 1;

    Stream* s = stream_open(path, 0);
    if (!s) {
        delete p;
        return nullptr;
    }
    PackageDirectory dir;
    int32_t end = stream_seek(s, 0, 2);
    if (end < 0 || stream_seek(s, 0, 0) != 0 ||
        package_find_trailer(s, &dir) == PACKAGE_FORM_NONE) {
        stream_close(s);
        delete p;
        return nullptr;
    }
    std::memcpy(p->client_id, dir.bytes + DIR_CLIENT_ID, CLIENT_ID_SIZE);

    Reader r;
    r.s = s;
    r.file_size = static_cast<uint64_t>(end);
    r.dir = &dir;
    read_plain(r, p, SECTION_BOOT);
    read_programs(r, p);
    read_plain(r, p, SECTION_RADAR);
    read_plain(r, p, SECTION_GPS);
    read_plain(r, p, SECTION_VOICE);
    read_plain(r, p, SECTION_VOICE_B);
    read_plain(r, p, SECTION_TOOL);
    read_provinces(r, p);
    for (int number : {SECTION_PROVINCE_VOICE, SECTION_PROVINCE_VOICE_B, SECTION_VOICE_C,
                       SECTION_VOICE_CB, SECTION_GPS_D})
        read_plain(r, p, number);
    stream_close(s);
    if (dir_out)
        *dir_out = dir;
    return p;
}

Package* package_load(const char16_t* path) {
    return package_load_with_directory(path, nullptr);
}

void package_free(Package* p) {
    if (!p)
        return;
    release_programs(p);
    release_provinces(p);
    for (int number = 1; number <= SECTION_COUNT; ++number)
        if (PackageSection* sec = package_section(p, number))
            release_section(sec);
    release_section(&p->merged_gps);
    delete p;
}

PackageSection* package_section(Package* p, int number) {
    if (!p)
        return nullptr;
    switch (number) {
    case SECTION_BOOT:
        return &p->boot;
    case SECTION_RADAR:
        return &p->radar;
    case SECTION_VOICE:
        return &p->voice;
    case SECTION_GPS:
        return &p->gps;
    case SECTION_TOOL:
        return &p->tool;
    case SECTION_VOICE_B:
        return &p->voice_b;
    case SECTION_PROVINCE_VOICE:
        return &p->province_voice;
    case SECTION_PROVINCE_VOICE_B:
        return &p->province_voice_b;
    case SECTION_VOICE_C:
        return &p->voice_c;
    case SECTION_VOICE_CB:
        return &p->voice_cb;
    case SECTION_GPS_D:
        return &p->gps_d;
    default:
        return nullptr;
    }
}

const PackageSection* package_section(const Package* p, int number) {
    return package_section(const_cast<Package*>(p), number);
}

int package_is_for_customer(const Package* p, const char* name, size_t n) {
    if (!p || !name || n > CLIENT_ID_SIZE)
        return 0;
    return std::memcmp(p->client_id, name, n) == 0 ? 1 : 0;
}
