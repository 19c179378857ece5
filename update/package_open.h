// The one way a package file the user names is opened, for a run and for a
// look alike (inspect, update, verify, the window's Open and drop, the
// downloaded package): a plain package is used where it is; a zip archive
// has its package entry unpacked into a run directory inside the tool's own
// private temporary directory (support/temp_dir.h), never elsewhere, and
// removed again when the package is closed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "package/package_check.h"

// Progress of an unpack: kind 1 sets the range to the entry's size, kind 2
// the position to the bytes unpacked so far.
using PackageUnpackProgress = std::function<void(int kind, uint32_t value)>;

// Name of the unpacked package in a run directory.
inline constexpr const char16_t* PACKAGE_UNPACKED_NAME = u"tmp.dqv";

// Whether the file is a zip archive to unpack rather than a package: its
// name ends in .zip, .rar or .7z (any case), or it begins as a zip archive
// does. 0 for a plain package.
int package_file_is_archive(const std::u16string& path);

// Unpacks the package entry (the first *.dqv) of archive into extracted,
// a file only this user can read; a stop by signal meanwhile removes it and
// run_dir (when not empty). Returns false, with extracted removed and
// *problem (may be null) saying what is wrong with the archive, when no
// whole package came out. *entry (may be null) gets the entry's name.
bool package_unpack(const std::u16string& archive, const std::u16string& extracted,
                    const std::u16string& run_dir, const PackageUnpackProgress& progress,
                    std::u16string* entry, PackageCheck* problem);

// Sweeps what ended runs left in the private temporary directory, creates
// run_dir there (an existing one of this user's is fine; the directory
// itself is taken as it is) and claims it for this process in *claim
// (an earlier claim released). False when the private directory cannot be
// had or run_dir is a link or another user's.
bool package_claim_run_directory(const std::u16string& run_dir, int* claim);

// Removes a temporary file of a run (an empty path, or one already gone,
// is fine).
void package_remove_file(const std::u16string& path);

// The private temporary directory, UTF-16, without a trailing '/'.
std::u16string package_temp_directory();

// A package file as opened.
struct OpenedPackage {
    std::u16string path;      // the file to load: the chosen one, or the unpacked copy
    std::u16string entry;     // the archive's entry unpacked (empty for a plain package)
    std::u16string extracted; // the unpacked copy (empty for a plain package)
    std::u16string run_dir;   // its run directory, removed when closed (may be empty)
    int claim = -1;           // this process's claim on the run directory
    PackageCheck problem;     // what was wrong when the open failed
};

// Opens chosen: a plain package as it is; an archive unpacked into the run
// directory named after the file (prefix first, so runs at once on
// several units take one each) inside the private temporary directory.
// Returns false when the archive cannot be unpacked or the private
// directory cannot be had; *out is then closed already.
bool package_open(const std::u16string& chosen, const std::u16string& prefix,
                  const PackageUnpackProgress& progress, OpenedPackage* out);

// Removes what package_open unpacked and releases its run directory; a
// plain package is left alone. Safe to call twice.
void package_close(OpenedPackage* p);
