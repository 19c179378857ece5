// Why a package file cannot be used: the loader only says that it cannot,
// this names the cause for the user (no such file, not a package, damaged
// at a byte, another customer's). Reads the file again; never changes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class PackageProblem {
    None,          // it opens and is this customer's
    NoFile,        // no such file
    Unreadable,    // it exists but cannot be read (permission, a folder)
    TooLarge,      // larger than a package can be
    Empty,         // 0 bytes (also what an archive without a package leaves)
    NotPackage,    // no package trailer at its end
    Damaged,       // a trailer, but it or a section is broken or cut at offset
    OtherCustomer, // a whole package made for another customer
    NotArchive,    // named as an archive but not a zip archive
    BadArchive,    // a zip archive that could not be unpacked
    EmptyArchive,  // a zip archive holding nothing at all
    Duplicate,     // a zip archive holding two files of one name (entry)
    Compression,   // its package is compressed in a way not unpacked here (entry, method)
};

struct PackageCheck {
    PackageProblem problem = PackageProblem::None;
    uint64_t offset = 0;  // Damaged: the first byte found broken or missing
    std::string customer; // OtherCustomer: the package's customer name (UTF-8)
    std::string entry{};  // Duplicate, Compression: the entry's path (UTF-8)
    std::string method{}; // Compression: the method's name ("bzip2")
};

// Checks a package file (UTF-16 path) the way the loader reads it, and then
// its customer: the first n bytes of its client id against name (n 0 or a
// null name: any customer passes). Never fails: a null path is NoFile.
PackageCheck package_check(const char16_t* path, const char* name, size_t n);

// Checks a zip archive that could not be unpacked (UTF-16 path): NoFile,
// Unreadable, Empty (0 bytes), NotArchive (it does not begin as a zip
// archive does), EmptyArchive, Duplicate, Compression or BadArchive.
PackageCheck package_check_archive(const char16_t* path);
