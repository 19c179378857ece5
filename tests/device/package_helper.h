// Packages for the device tests: built by the test package builder, written
// to a temporary file and loaded by the real loader.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>
#include <memory>
#include <string>

#include "package/package.h"
#include "support/text.h"
#include "tools/pkgbuild/pkgbuild.h"

struct PackageDeleter {
    void operator()(Package* p) const { package_free(p); }
};
using PackagePtr = std::unique_ptr<Package, PackageDeleter>;

inline PackagePtr loadPackage(const PkgDescription& d) {
    static int serial = 0;
    // Tests run side by side as separate processes: the name carries the pid.
    std::string path = testing::TempDir() + "device_pkg_" + std::to_string(::getpid()) + "_" +
                       std::to_string(++serial) + ".dqv";
    EXPECT_EQ(pkgbuild_write(d, path), 1);
    std::u16string wpath = utf8_to_wtext(path);
    PackagePtr p(package_load(wpath.c_str()));
    std::remove(path.c_str());
    EXPECT_NE(p, nullptr);
    return p;
}
