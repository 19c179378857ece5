// The readers take file names: each fuzz input goes to one scratch file of
// this process.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "support/text.h"

inline std::string& fuzz_scratch_name() {
    static std::string name = [] {
        const char* dir = std::getenv("TMPDIR");
        return std::string(dir && *dir ? dir : "/tmp") + "/trevik_fuzz_" +
               std::to_string(getpid()) + ".bin";
    }();
    return name;
}

inline const std::u16string& fuzz_scratch_path() {
    static const std::u16string path = utf8_to_wtext(fuzz_scratch_name());
    return path;
}

// Removes the scratch file once an input is done (libFuzzer ends the
// process without running exit handlers).
inline void fuzz_remove_input() {
    std::remove(fuzz_scratch_name().c_str());
}

// Writes the input to the scratch file. Returns false when it cannot.
inline bool fuzz_write_input(const uint8_t* data, size_t size) {
    FILE* f = std::fopen(fuzz_scratch_name().c_str(), "wb");
    if (!f)
        return false;
    bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}
