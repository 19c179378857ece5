// Shared helpers of the package tests: temporary files that delete
// themselves and UTF-16 paths.
#pragma once

#include <cstdio>
#include <string>

#include "support/build_settings.h"
#include "support/platform.h"
#include "support/text.h"
#include "tools/pkgbuild/pkgbuild.h"

class TempFile {
  public:
    explicit TempFile(const std::string& suffix = ".dqv") {
        // A new name of this process's own, made before it is handed out.
        static int serial = 0;
        int fd = -1;
        for (int tries = 0; fd < 0 && tries < 100; ++tries) {
            path_ = platform_temp_root() + platform_separator() + "trevik_pkg_" +
                    std::to_string(platform_pid()) + "_" + std::to_string(serial++) + suffix;
            fd = platform_open(path_, PLATFORM_WRITE | PLATFORM_CREATE | PLATFORM_EXCLUSIVE);
        }
        platform_close(fd);
        wpath_ = utf8_to_wtext(path_);
    }
    ~TempFile() { platform_remove(path_); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::string& path() const { return path_; }
    const char16_t* w() const { return wpath_.c_str(); }
    bool write(const Bytes& data) const { return pkg_write_file(path_, data) == 1; }

  private:
    std::string path_;
    std::u16string wpath_;
};
