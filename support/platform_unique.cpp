// New files and folders under names nobody holds yet: the same on every
// system, through the seam's own calls.
#include "support/platform.h"

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <random>

namespace {

// Random letters and digits for a new name.
std::string random_part() {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static std::mutex lock;
    static std::mt19937_64 engine{std::random_device{}() ^ static_cast<uint64_t>(platform_pid())};
    std::lock_guard<std::mutex> guard(lock);
    std::string part;
    for (int i = 0; i < 8; ++i)
        part += letters[engine() % (sizeof letters - 1)];
    return part;
}

} // namespace

int platform_create_unique_file(const std::string& dir, const std::string& prefix,
                                const std::string& suffix, std::string* path) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = dir + platform_separator() + prefix + random_part() + suffix;
        int fd = platform_open(name, PLATFORM_READ | PLATFORM_WRITE | PLATFORM_CREATE |
                                         PLATFORM_EXCLUSIVE | PLATFORM_NO_LINK);
        if (fd >= 0) {
            *path = name;
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

std::string platform_make_unique_folder(const std::string& dir, const std::string& prefix) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = dir + platform_separator() + prefix + random_part();
        if (platform_mkdir(name, true) == 0)
            return name;
        if (errno != EEXIST)
            return std::string();
    }
    return std::string();
}
