// Shared helpers of the package tests: temporary files that delete
// themselves and UTF-16 paths.
#pragma once

#include <cstdio>
#include <string>
#include <unistd.h>

#include "support/build_settings.h"
#include "support/text.h"
#include "tools/pkgbuild/pkgbuild.h"

class TempFile {
  public:
    explicit TempFile(const std::string& suffix = ".dqv") {
        const char* dir = std::getenv("TMPDIR");
        std::string tmpl = std::string(dir && *dir ? dir : "/tmp") + "/trevik_pkg_XXXXXX" + suffix;
        int fd = mkstemps(tmpl.data(), static_cast<int>(suffix.size()));
        if (fd >= 0)
            close(fd);
        path_ = tmpl;
        wpath_ = utf8_to_wtext(path_);
    }
    ~TempFile() { std::remove(path_.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::string& path() const { return path_; }
    const char16_t* w() const { return wpath_.c_str(); }
    bool write(const Bytes& data) const { return pkg_write_file(path_, data) == 1; }

  private:
    std::string path_;
    std::u16string wpath_;
};
