// Extraction of one update package from a zip archive.
#pragma once

#include <cstdint>
#include <string>

struct Stream;

// Called on the extracting thread:
//   kind 0: value is the entry's name (const char16_t*, the part after its
//           path's last '/', terminated); a non-zero result chooses the entry.
//   kind 1: value is the chosen entry's uncompressed size; result ignored.
//   kind 2: value is the number of bytes extracted so far; result ignored.
using ArchiveProgressFn = int (*)(int kind, uintptr_t value, void* owner);

// The most a stream can hold and read back (its positions are 32-bit): the
// default bound of an extracted entry.
inline constexpr uint64_t ARCHIVE_MAX_ENTRY_SIZE = INT32_MAX;

// Walks the archive (UTF-16 path) in directory order, skipping folders, and
// extracts the first entry the callback chooses into out (a writing stream).
// Returns 1 when the archive was walked (also when nothing was chosen: then
// nothing is written), 0 when it cannot be opened (missing, not a zip: rar
// and 7z land here), holds no entry at all, holds two files of one name
// (other tools would take the last of them, this walk the first: which is
// meant cannot be told), an entry cannot be listed or opened (one
// compressed other than stored or deflated), the chosen entry cannot be
// read whole or fails its CRC check, or a write to out fails.
// An entry that declares more than max_size bytes is refused before a byte
// is written; one that inflates past max_size, whatever it declared, stops
// there. Both return 0; what was written is the caller's to delete.
// A null callback chooses nothing.
int archive_extract(const char16_t* archive_path, Stream* out, void* owner,
                    ArchiveProgressFn progress, uint64_t max_size = ARCHIVE_MAX_ENTRY_SIZE);

// Whether an entry name is an update package: the text after its last '.'
// (the whole name when it has none) equals "dqv" without regard to case.
// Returns 1 or 0 (0 for null).
int archive_is_package_name(const char16_t* name);

// What listing an archive finds that keeps its package from being unpacked.
enum class ArchiveFault {
    None,      // nothing in the listing (the entries' data may still be broken)
    NotZip,    // cannot be opened as a zip archive, or its listing is broken
    NoEntries, // a zip archive holding nothing at all
    Duplicate, // two files of one name (entry: that name)
    Method,    // the first package entry is compressed in a way not
               // unpacked here (entry: its name; method: the zip method number)
};

struct ArchiveListing {
    ArchiveFault fault = ArchiveFault::None;
    std::string entry; // UTF-8, its path in the archive, control characters as '?'
    int method = 0;
};

// Lists the archive (UTF-16 path) for the faults above, first found first.
ArchiveListing archive_list_faults(const char16_t* archive_path);

// The name of a zip compression method ("bzip2", "LZMA", ...; "method N"
// for one without a common name).
std::string archive_method_name(int method);
