#include "common_t73/QV_PackageView.h"

#include <cstring>

#include "package/package.h"

QV_Section qv_section(const Package* pkg, int number) {
    QV_Section s;
    if (!pkg)
        return s;
    const PackageSection* p = nullptr;
    if (number == SECTION_MERGED_GPS)
        p = &pkg->merged_gps;
    else if (number != 2 && number != 8)
        p = package_section(pkg, number);
    if (p && p->data && p->size) {
        s.data = p->data;
        s.size = p->size;
    }
    return s;
}

uint32_t qv_program_count(const Package* pkg) {
    return pkg && pkg->programs ? pkg->program_count : 0;
}

const ProgramImage* qv_program_at(const Package* pkg, uint32_t index) {
    if (index >= qv_program_count(pkg))
        return nullptr;
    return &pkg->programs[index];
}

QV_Entry qv_entry(const ProgramImage* image) {
    QV_Entry e;
    if (!image)
        return e;
    std::memcpy(e.board_id, image->board_id, 4);
    if (image->data && image->size) {
        e.data = image->data;
        e.size = image->size;
    }
    e.variant_b = image->variant_b;
    e.server_size = image->server_size;
    e.version = image->version;
    e.layout502 = image->layout502;
    e.server_reset = image->server_reset;
    e.variant_c = image->variant_c;
    e.variant_d = image->variant_d;
    e.legacy = image->legacy;
    e.track_size = image->track_size;
    return e;
}

const uint8_t* qv_client_block(const Package* pkg) {
    return pkg ? pkg->client_id : nullptr;
}
