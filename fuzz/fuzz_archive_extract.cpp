// archive_extract on arbitrary files: every entry offered is chosen, so the
// first file entry is inflated and written.
#include <cstdint>

#include "fuzz/fuzz_input_file.h"
#include "support/archive.h"
#include "support/stream.h"

namespace {

int choose_every_entry(int kind, uintptr_t, void*) {
    return kind == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!fuzz_write_input(data, size))
        return 0;
    if (Stream* out = stream_open(u"/dev/null", 1)) {
        archive_extract(fuzz_scratch_path().c_str(), out, nullptr, choose_every_entry);
        stream_close(out);
    }
    fuzz_remove_input();
    return 0;
}
