// package_load and the province merge on arbitrary files.
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_input_file.h"
#include "fuzz/fuzz_package_touch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!fuzz_write_input(data, size))
        return 0;
    int flags[PROVINCE_COUNT];
    for (int k = 0; k < PROVINCE_COUNT; ++k)
        flags[k] = 1;
    fuzz_load_touch_merge(flags);
    return 0;
}
