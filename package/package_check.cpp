#include "package/package_check.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "package/bytes.h"
#include "package/package.h"
#include "package/package_format.h"
#include "package/scramble.h"
#include "support/archive.h"
#include "support/checksum.h"
#include "support/platform.h"
#include "support/stream.h"
#include "support/text.h"

namespace {

// Whether the file exists and can be read; fills check otherwise.
bool readable(const std::string& path, uint64_t* size, PackageCheck* check) {
    int64_t bytes = 0;
    PlatformPathKind kind = platform_path_kind(path, &bytes, true);
    if (kind == PLATFORM_PATH_MISSING) {
        check->problem = errno == ENOENT || errno == ENOTDIR ? PackageProblem::NoFile
                                                             : PackageProblem::Unreadable;
        return false;
    }
    std::FILE* f = kind == PLATFORM_PATH_FILE ? platform_fopen(path, "rb") : nullptr;
    if (!f) {
        check->problem = PackageProblem::Unreadable;
        return false;
    }
    std::fclose(f);
    *size = static_cast<uint64_t>(bytes);
    return true;
}

// A form C record whose marker and length field are right but whose sum is
// not: a trailer that was there and is broken, not a file of another kind.
bool broken_trailer(Stream* s) {
    uint8_t record[FORM_C_SIZE];
    int32_t n = static_cast<int32_t>(FORM_C_SIZE);
    if (stream_seek(s, -n, 2) < 0 || stream_read(s, record, n) != n)
        return false;
    trailer_xor(record, FORM_C_SIZE);
    return get_u32(record, DIR_MARKER) == RECORD_MAGIC && get_u32(record, 0) == DIR_CHECKSUM;
}

// The size of the trailer of a form.
uint64_t trailer_size(int form) {
    switch (form) {
    case PACKAGE_FORM_A:
        return FORM_A_SIZE;
    case PACKAGE_FORM_B:
        return FORM_B_SIZE;
    default:
        return FORM_C_SIZE;
    }
}

// The customer name a client-id block begins with: its text up to a 0 or
// an erased byte, trailing blanks dropped, as UTF-8.
std::string customer_name(const uint8_t* id) {
    char text[CLIENT_ID_SIZE + 1] = {};
    size_t n = 0;
    while (n < CLIENT_ID_SIZE && id[n] != 0 && id[n] != 0xFF) {
        text[n] = static_cast<char>(id[n]);
        ++n;
    }
    while (n > 0 && text[n - 1] == ' ')
        text[--n] = 0;
    char16_t wide[CLIENT_ID_SIZE + 1] = {};
    if (ansi_to_wtext(wide, CLIENT_ID_SIZE + 1, text, -1) < 0)
        return std::string(text);
    return wtext_to_utf8(wide);
}

} // namespace

PackageCheck package_check(const char16_t* path, const char* name, size_t n) {
    PackageCheck check;
    if (!path) {
        check.problem = PackageProblem::NoFile;
        return check;
    }
    uint64_t size = 0;
    if (!readable(wtext_to_utf8(path), &size, &check))
        return check;
    if (size == 0) {
        check.problem = PackageProblem::Empty;
        return check;
    }
    if (size > PACKAGE_MAX_FILE_SIZE) {
        check.problem = PackageProblem::TooLarge;
        return check;
    }
    Stream* s = stream_open(path, 0);
    if (!s) {
        check.problem = PackageProblem::Unreadable;
        return check;
    }
    PackageDirectory dir;
    int form = package_find_trailer(s, &dir);
    if (form == PACKAGE_FORM_NONE) {
        // A short file leaves the stream in its error state; open it again.
        stream_close(s);
        s = size >= FORM_C_SIZE ? stream_open(path, 0) : nullptr;
        if (s && broken_trailer(s)) {
            check.problem = PackageProblem::Damaged;
            check.offset = size - FORM_C_SIZE;
        } else {
            check.problem = PackageProblem::NotPackage;
        }
        stream_close(s);
        return check;
    }
    stream_close(s);
    // Every section the directory names lies before the trailer; the first
    // byte of one that does not is where the package is broken.
    uint64_t data_end = size - trailer_size(form);
    uint64_t first_bad = UINT64_MAX;
    for (int section = 1; section <= SECTION_COUNT; ++section) {
        uint64_t offset = directory_offset(&dir, section);
        uint64_t length = directory_size(&dir, section);
        if (length == 0 || offset + length <= data_end)
            continue;
        uint64_t bad = offset > data_end ? offset : data_end;
        if (bad < first_bad)
            first_bad = bad;
    }
    if (first_bad != UINT64_MAX) {
        check.problem = PackageProblem::Damaged;
        check.offset = first_bad;
        return check;
    }
    if (name && n > 0 && std::memcmp(dir.bytes + DIR_CLIENT_ID, name, n) != 0) {
        check.problem = PackageProblem::OtherCustomer;
        check.customer = customer_name(dir.bytes + DIR_CLIENT_ID);
    }
    return check;
}

PackageCheck package_check_archive(const char16_t* path) {
    PackageCheck check;
    if (!path) {
        check.problem = PackageProblem::NoFile;
        return check;
    }
    std::string name = wtext_to_utf8(path);
    uint64_t size = 0;
    if (!readable(name, &size, &check))
        return check;
    if (size == 0) {
        check.problem = PackageProblem::Empty;
        return check;
    }
    uint8_t head[4] = {};
    std::FILE* f = std::fopen(name.c_str(), "rb");
    size_t got = f ? std::fread(head, 1, sizeof head, f) : 0;
    if (f)
        std::fclose(f);
    // A zip archive begins with a local file header (or, empty, with the
    // end record).
    bool zip = got == 4 && head[0] == 'P' && head[1] == 'K' &&
               ((head[2] == 3 && head[3] == 4) || (head[2] == 5 && head[3] == 6));
    if (!zip) {
        check.problem = PackageProblem::NotArchive;
        return check;
    }
    ArchiveListing listing = archive_list_faults(path);
    switch (listing.fault) {
    case ArchiveFault::NoEntries:
        check.problem = PackageProblem::EmptyArchive;
        break;
    case ArchiveFault::Duplicate:
        check.problem = PackageProblem::Duplicate;
        check.entry = listing.entry;
        break;
    case ArchiveFault::Method:
        check.problem = PackageProblem::Compression;
        check.entry = listing.entry;
        check.method = archive_method_name(listing.method);
        break;
    case ArchiveFault::None:
    case ArchiveFault::NotZip:
        check.problem = PackageProblem::BadArchive;
        break;
    }
    return check;
}
