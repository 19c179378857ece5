#include "tools/pkgbuild/pkgbuild.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <minizip/zip.h>
#include <zlib.h>

#include "package/bytes.h"
#include "package/scramble.h"
#include "support/build_settings.h"
#include "support/checksum.h"

namespace {

bool is_scrambled_section(int number) {
    return number == SECTION_BOOT || number == SECTION_RADAR || number == SECTION_GPS ||
           number == SECTION_GPS_D;
}

void append(Bytes& out, const Bytes& more) {
    out.insert(out.end(), more.begin(), more.end());
}

void append_u32(Bytes& out, uint32_t v) {
    uint8_t b[4];
    put_u32(b, 0, v);
    out.insert(out.end(), b, b + 4);
}

Bytes program_table(const PkgDescription& d) {
    const bool ext = d.extended_programs;
    const size_t entry_size = ext ? PROGRAM_ENTRY_SIZE : PROGRAM_SHORT_ENTRY_SIZE;
    const size_t head = ext ? PROGRAM_HEADER_SIZE : 4;
    const size_t n = d.programs.size();
    Bytes table(head + n * entry_size, 0);
    if (ext) {
        put_u32(table.data(), 0, static_cast<uint32_t>(PROGRAM_HEADER_SIZE));
        put_u32(table.data(), 4, RECORD_MAGIC);
        put_u32(table.data(), 12, static_cast<uint32_t>(n));
        uint32_t sum = byte_sum(table.data(), 56);
        put_u32(table.data(), 56, d.bad_program_header_sum ? sum + 1 : sum);
    } else {
        put_u32(table.data(), 0, static_cast<uint32_t>(n));
    }
    for (size_t i = 0; i < n; ++i) {
        const PkgProgram& prog = d.programs[i];
        uint8_t* e = table.data() + head + i * entry_size;
        uint32_t offset = static_cast<uint32_t>(table.size());
        std::memcpy(e + PE_BOARD_ID, prog.board_id.data(),
                    std::min<size_t>(4, prog.board_id.size()));
        put_u32(e, PE_OFFSET, prog.offset_override.value_or(offset));
        put_u32(e, PE_SIZE, prog.size_override.value_or(static_cast<uint32_t>(prog.image.size())));
        if (ext) {
            put_u32(e, PE_SERVER_SIZE, prog.server_size);
            put_u32(e, PE_VARIANT_B, prog.variant_b);
            put_u32(e, PE_VERSION, prog.version);
            put_u32(e, PE_LAYOUT502, prog.layout502);
            put_u32(e, PE_VARIANT_C, prog.variant_c);
            put_u32(e, PE_VARIANT_D, prog.variant_d);
            put_u32(e, PE_LEGACY, prog.legacy);
            put_u32(e, PE_TRACK_SIZE, prog.track_size);
            put_u32(e, PE_SERVER_RESET, prog.server_reset);
        }
        // e points into table, which grows below: finish with it first.
        append(table, pkg_scrambled(prog.image));
    }
    return table;
}

Bytes province_table(const PkgDescription& d) {
    Bytes t;
    append_u32(t, d.province_stamp);
    append_u32(t, static_cast<uint32_t>(d.provinces.size()));
    for (const PkgProvince& prov : d.provinces) {
        uint8_t name[PROVINCE_NAME_SIZE] = {};
        std::memcpy(name, prov.name.data(), std::min(prov.name.size(), PROVINCE_NAME_SIZE));
        t.insert(t.end(), name, name + PROVINCE_NAME_SIZE);
        append_u32(t, prov.count_override.value_or(
                          static_cast<uint32_t>(prov.records.size() / PROVINCE_RECORD_SIZE)));
    }
    for (const PkgProvince& prov : d.provinces)
        append(t, pkg_scrambled(prov.records));
    return t;
}

} // namespace

Bytes pkg_scrambled(const Bytes& plain) {
    Bytes out = plain;
    RollingState st;
    rolling_encode(&st, out.data(), out.size());
    return out;
}

Bytes pkg_pattern(size_t n, uint32_t seed) {
    Bytes out(n);
    uint32_t x = seed * 2654435761u + 0x9E3779B9u;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<uint8_t>(x >> 11);
    }
    return out;
}

PkgDescription pkg_standard_description(const PkgStandardParts& parts) {
    PkgDescription d;
    d.sections[SECTION_BOOT] = parts.boot;
    d.sections[SECTION_VOICE] = parts.voice;
    d.sections[SECTION_RADAR] = parts.radar;
    d.sections[SECTION_GPS] = parts.gps;
    PkgProgram prog;
    prog.board_id = "T73A";
    prog.image = parts.program;
    prog.version = 200;
    prog.server_size = 0x1000;
    d.programs.push_back(prog);
    return d;
}

Bytes pkg_province_records(size_t n, uint32_t seed) {
    Bytes raw = pkg_pattern(n * PROVINCE_RECORD_SIZE, seed);
    return raw;
}

Bytes pkgbuild_trailer_record(int form, const uint8_t dir[DIRECTORY_SIZE]) {
    Bytes r;
    size_t covered = 0;
    switch (form) {
    case PACKAGE_FORM_C:
        r.assign(dir, dir + FORM_C_SIZE);
        covered = 516;
        put_u32(r.data(), DIR_MARKER, RECORD_MAGIC);
        break;
    case PACKAGE_FORM_B:
        r.assign(FORM_B_SIZE, 0);
        covered = 316;
        std::memcpy(r.data() + 8, dir + DIR_CLIENT_ID, CLIENT_ID_SIZE);
        std::memcpy(r.data() + 264, dir + DIR_PAIRS, 40);
        break;
    case PACKAGE_FORM_A:
        r.assign(FORM_A_SIZE, 0);
        covered = 300;
        std::memcpy(r.data() + 4, dir + DIR_CLIENT_ID, CLIENT_ID_SIZE);
        std::memcpy(r.data() + 260, dir + DIR_PAIRS, 40);
        break;
    default:
        return {};
    }
    put_u32(r.data(), 0, static_cast<uint32_t>(covered));
    put_u32(r.data(), covered, byte_sum(r.data(), covered));
    return r;
}

Bytes pkgbuild_bytes(const PkgDescription& d, PkgLayout* layout_out) {
    if (d.form != PACKAGE_FORM_A && d.form != PACKAGE_FORM_B && d.form != PACKAGE_FORM_C)
        return {};
    const int last = d.form == PACKAGE_FORM_C ? SECTION_COUNT : SECTION_GPS;
    for (const auto& [number, data] : d.sections)
        if (number < 1 || number > last || number == SECTION_PROGRAMS ||
            number == SECTION_PROVINCES)
            return {};
    if (d.form != PACKAGE_FORM_C && d.province_table)
        return {};

    PkgLayout layout;
    Bytes file = d.prefix;
    for (int number = 1; number <= last; ++number) {
        Bytes stored;
        if (number == SECTION_PROGRAMS) {
            if (!d.programs.empty())
                stored = program_table(d);
        } else if (number == SECTION_PROVINCES) {
            if (d.province_table)
                stored = province_table(d);
        } else if (auto it = d.sections.find(number); it != d.sections.end()) {
            stored = is_scrambled_section(number) ? pkg_scrambled(it->second) : it->second;
        }
        if (stored.empty())
            continue;
        if (file.size() + stored.size() > UINT32_MAX)
            return {};
        layout.offset[number] = static_cast<uint32_t>(file.size());
        layout.size[number] = static_cast<uint32_t>(stored.size());
        append(file, stored);
    }
    for (const auto& [number, pair] : d.pair_override) {
        if (number >= 1 && number <= SECTION_COUNT) {
            layout.offset[number] = pair.first;
            layout.size[number] = pair.second;
        }
    }

    uint8_t dir[DIRECTORY_SIZE] = {};
    put_u32(dir, DIR_VERSION, d.version);
    if (!d.client_id.empty()) {
        std::memcpy(dir + DIR_CLIENT_ID, d.client_id.data(),
                    std::min(d.client_id.size(), CLIENT_ID_SIZE));
    } else {
        std::string name = d.customer.empty() ? std::string(TOOL_CUSTOMER_NAME) : d.customer;
        std::memset(dir + DIR_CLIENT_ID, ' ', CLIENT_ID_SIZE);
        std::memcpy(dir + DIR_CLIENT_ID, name.data(), std::min(name.size(), CLIENT_ID_SIZE));
    }
    for (int number = 1; number <= SECTION_COUNT; ++number) {
        put_u32(dir, DIR_PAIRS + 8 * (number - 1), layout.offset[number]);
        put_u32(dir, DIR_PAIRS + 8 * (number - 1) + 4, layout.size[number]);
    }
    Bytes trailer = pkgbuild_trailer_record(d.form, dir);
    if (d.bad_marker && d.form == PACKAGE_FORM_C) {
        put_u32(trailer.data(), DIR_MARKER, RECORD_MAGIC ^ 1);
        put_u32(trailer.data(), 516, byte_sum(trailer.data(), 516));
    }
    if (d.bad_checksum) {
        size_t at = trailer.size() - 4;
        put_u32(trailer.data(), at, get_u32(trailer.data(), at) + 1);
    }
    trailer_xor(trailer.data(), trailer.size());
    layout.trailer_at = file.size();
    append(file, trailer);
    append(file, d.suffix);
    if (layout_out)
        *layout_out = layout;
    return file;
}

Bytes pkg_read_file(const std::string& path) {
    Bytes out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return out;
    uint8_t buf[65536];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.insert(out.end(), buf, buf + got);
    std::fclose(f);
    return out;
}

int pkg_write_file(const std::string& path, const Bytes& data) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return 0;
    bool ok = data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size();
    ok = std::fclose(f) == 0 && ok;
    return ok ? 1 : 0;
}

int pkgbuild_write(const PkgDescription& d, const std::string& path) {
    Bytes file = pkgbuild_bytes(d);
    if (file.empty())
        return 0;
    return pkg_write_file(path, file);
}

namespace {

// Raw deflate of data (no zlib header), as a zip entry holds it.
bool raw_deflate(const Bytes& data, Bytes* out) {
    z_stream zs = {};
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8,
                     Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    out->resize(deflateBound(&zs, static_cast<uLong>(data.size())));
    zs.next_in = const_cast<Bytef*>(data.data());
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = out->data();
    zs.avail_out = static_cast<uInt>(out->size());
    int rc = deflate(&zs, Z_FINISH);
    out->resize(zs.total_out);
    deflateEnd(&zs);
    return rc == Z_STREAM_END;
}

// An entry whose declared uncompressed size is made up.
bool zip_entry_with_declared_size(zipFile zf, const PkgZipEntry& e, const zip_fileinfo* info) {
    Bytes packed;
    if (!raw_deflate(e.data, &packed))
        return false;
    if (zipOpenNewFileInZip2_64(zf, e.name.c_str(), info, nullptr, 0, nullptr, 0, nullptr,
                                Z_DEFLATED, Z_DEFAULT_COMPRESSION, 1, 1) != ZIP_OK)
        return false;
    bool ok = packed.empty() ||
              zipWriteInFileInZip(zf, packed.data(), static_cast<unsigned>(packed.size())) == ZIP_OK;
    uLong crc = crc32(0L, e.data.empty() ? nullptr : e.data.data(),
                      static_cast<uInt>(e.data.size()));
    return zipCloseFileInZipRaw64(zf, *e.declared_size, crc) == ZIP_OK && ok;
}

} // namespace

int pkgbuild_zip(const std::string& path, const std::vector<PkgZipEntry>& entries) {
    zipFile zf = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    if (!zf)
        return 0;
    bool ok = true;
    for (const PkgZipEntry& e : entries) {
        zip_fileinfo info = {};
        // A fixed date keeps archives made by the builder reproducible.
        info.tmz_date.tm_year = 2024;
        info.tmz_date.tm_mon = 0;
        info.tmz_date.tm_mday = 1;
        bool folder = !e.name.empty() && e.name.back() == '/';
        if (folder)
            info.external_fa = 0x10;
        int method = (folder || e.store) ? 0 : Z_DEFLATED;
        if (e.declared_size) {
            if (!zip_entry_with_declared_size(zf, e, &info)) {
                ok = false;
                break;
            }
            continue;
        }
        if (zipOpenNewFileInZip64(zf, e.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                  method, Z_DEFAULT_COMPRESSION,
                                  e.data.size() >= 0xFFFFFFFFu) != ZIP_OK) {
            ok = false;
            break;
        }
        if (!e.data.empty() &&
            zipWriteInFileInZip(zf, e.data.data(), static_cast<unsigned>(e.data.size())) != ZIP_OK)
            ok = false;
        if (zipCloseFileInZip(zf) != ZIP_OK)
            ok = false;
        if (!ok)
            break;
    }
    if (zipClose(zf, nullptr) != ZIP_OK)
        ok = false;
    return ok ? 1 : 0;
}
