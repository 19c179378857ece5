// Loads the scratch file as a package, touches every byte the loader claims
// to hold (so a wrong size shows), merges the provinces with the given
// choice and frees it.
#pragma once

#include <cstdint>

#include "fuzz/fuzz_input_file.h"
#include "package/package.h"

inline void fuzz_load_touch_merge(const int (&flags)[PROVINCE_COUNT]) {
    Package* p = package_load(fuzz_scratch_path().c_str());
    fuzz_remove_input();
    if (!p)
        return;
    volatile uint8_t sink = 0;
    for (int n = 1; n <= SECTION_COUNT; ++n)
        if (const PackageSection* s = package_section(p, n))
            for (uint32_t i = 0; i < s->size; i += 64)
                sink = sink ^ s->data[i];
    for (uint32_t i = 0; i < p->program_count; ++i)
        if (p->programs[i].size)
            sink = sink ^ p->programs[i].data[0] ^ p->programs[i].data[p->programs[i].size - 1];
    for (uint32_t i = 0; i < p->province_count; ++i)
        if (p->provinces[i].record_count)
            sink = sink ^ p->provinces[i].records[p->provinces[i].record_count * 12 - 1];
    if (p->province_count > 0)
        package_merge_provinces(p, flags);
    package_free(p);
}
