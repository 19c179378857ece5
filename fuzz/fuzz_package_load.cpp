// package_load and the province merge on arbitrary files.
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_input_file.h"
#include "package/package.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!fuzz_write_input(data, size))
        return 0;
    Package* p = package_load(fuzz_scratch_path().c_str());
    fuzz_remove_input();
    if (!p)
        return 0;
    // Touch every byte the loader claims to hold, so a wrong size shows.
    volatile uint8_t sink = 0;
    for (int n = 1; n <= SECTION_COUNT; ++n)
        if (const PackageSection* s = package_section(p, n))
            for (uint32_t i = 0; i < s->size; i += 64)
                sink = sink ^ s->data[i];
    for (uint32_t i = 0; i < p->program_count; ++i)
        if (p->programs[i].size)
            sink = sink ^ p->programs[i].data[p->programs[i].size - 1];
    int flags[PROVINCE_COUNT];
    for (int k = 0; k < PROVINCE_COUNT; ++k)
        flags[k] = 1;
    if (p->province_count > 0)
        package_merge_provinces(p, flags);
    package_free(p);
    return 0;
}
