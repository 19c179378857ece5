#include "support/archive.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include <minizip/unzip.h>

#include "support/file_name.h"
#include "support/stream.h"
#include "support/text.h"

namespace {

constexpr int NAME_BUFFER = 1024;
constexpr int NAME_UNITS = 255;
constexpr int COPY_CHUNK = 1024;
constexpr unsigned long ATTR_DIRECTORY = 0x10;
constexpr unsigned long FLAG_UTF8_NAME = 1u << 11;

// A path with an unpaired surrogate has no file name on this system.
bool representable(const char16_t* s) {
    for (size_t i = 0; s[i]; ++i) {
        if (s[i] >= 0xD800 && s[i] <= 0xDBFF) {
            if (!(s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF))
                return false;
            ++i;
        } else if (s[i] >= 0xDC00 && s[i] <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

// Entry names are UTF-8 when the entry says so, else in the ANSI code page
// (what the tools that make these archives write).
void entry_name(char16_t* dst, const char* name, unsigned long flags) {
    const char* base = std::strrchr(name, '/');
    base = base ? base + 1 : name;
    dst[0] = 0;
    if (!(flags & FLAG_UTF8_NAME) && ansi_to_wtext(dst, NAME_UNITS + 1, base, -1) >= 0)
        return;
    std::u16string w = utf8_to_wtext(base);
    size_t n = std::min<size_t>(w.size(), NAME_UNITS);
    std::memcpy(dst, w.data(), n * sizeof(char16_t));
    dst[n] = 0;
}

// Copies the open entry into out. Returns 1 when every byte was read and
// written and the entry's CRC matched on closing.
int copy_entry(unzFile zf, Stream* out, void* owner, ArchiveProgressFn progress,
               uint64_t max_size) {
    uint8_t buf[COPY_CHUNK];
    uint64_t total = 0;
    int ok = 1;
    for (;;) {
        int got = unzReadCurrentFile(zf, buf, sizeof buf);
        if (got < 0) {
            ok = 0; // a damaged entry is a failed extraction, not a short package
            break;
        }
        if (got == 0)
            break;
        if (static_cast<uint64_t>(got) > max_size - total) {
            // More than any package can be: stop filling the disk.
            ok = 0;
            break;
        }
        if (stream_write(out, buf, got) != got) {
            ok = 0;
            break;
        }
        total += static_cast<uint64_t>(got);
        progress(2, static_cast<uintptr_t>(total), owner);
    }
    // Closing reports a CRC mismatch once the whole entry was read.
    if (unzCloseCurrentFile(zf) != UNZ_OK)
        ok = 0;
    return ok;
}

// Compression methods minizip unpacks.
bool unpacked_here(unsigned long method) {
    return method == 0 || method == 8;
}

// The entry's path as UTF-8 for a message: control characters as '?'.
std::string printable_name(const char* name, unsigned long flags) {
    std::string out;
    if (flags & FLAG_UTF8_NAME) {
        out = name;
    } else {
        char16_t w[NAME_BUFFER];
        out = ansi_to_wtext(w, NAME_BUFFER, name, -1) >= 0 ? wtext_to_utf8(w) : std::string(name);
    }
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return out;
}

// Walks every entry's directory record, calling visit(info, name) until it
// returns false. Returns 0 when the archive cannot be opened or listed, 1
// otherwise; *count is the number of entries.
template <typename Visit>
int walk_listing(const char16_t* archive_path, uint64_t* count, Visit visit) {
    *count = 0;
    if (!archive_path || !representable(archive_path))
        return 0;
    unzFile zf = unzOpen64(wtext_to_utf8(archive_path).c_str());
    if (!zf)
        return 0;
    unz_global_info64 global = {};
    int ok = unzGetGlobalInfo64(zf, &global) == UNZ_OK;
    if (ok)
        *count = global.number_entry;
    int err = ok && global.number_entry != 0 ? unzGoToFirstFile(zf) : UNZ_END_OF_LIST_OF_FILE;
    while (ok && err == UNZ_OK) {
        unz_file_info64 info;
        char name[NAME_BUFFER] = {};
        if (unzGetCurrentFileInfo64(zf, &info, name, sizeof name - 1, nullptr, 0, nullptr, 0) !=
            UNZ_OK) {
            ok = 0;
            break;
        }
        if (!visit(info, name))
            break;
        err = unzGoToNextFile(zf);
    }
    if (ok && err != UNZ_OK && err != UNZ_END_OF_LIST_OF_FILE)
        ok = 0;
    unzClose(zf);
    return ok;
}

// Sets *duplicate to the first file name held twice (left empty when there
// is none). False when the listing cannot be read.
bool find_duplicate(const char16_t* archive_path, std::string* duplicate, unsigned long* flags) {
    std::set<std::string> names;
    uint64_t count = 0;
    return walk_listing(archive_path, &count, [&](const unz_file_info64& info, const char* name) {
               if (info.external_fa & ATTR_DIRECTORY)
                   return true;
               if (names.insert(name).second)
                   return true;
               *duplicate = name;
               *flags = info.flag;
               return false;
           }) != 0;
}

// Whether the archive's end record (the last one in its final 64 KiB, the
// most a comment after it can take) counts no entries: minizip opens no
// such archive.
bool end_record_counts_none(const char16_t* archive_path) {
    constexpr long END_RECORD = 22;
    constexpr long TAIL = END_RECORD + 0xFFFF;
    std::FILE* f = std::fopen(wtext_to_utf8(archive_path).c_str(), "rb");
    if (!f)
        return false;
    std::string tail;
    if (std::fseek(f, 0, SEEK_END) == 0) {
        long size = std::ftell(f);
        long from = size > TAIL ? size - TAIL : 0;
        if (size >= END_RECORD && std::fseek(f, from, SEEK_SET) == 0) {
            tail.resize(static_cast<size_t>(size - from));
            tail.resize(std::fread(tail.data(), 1, tail.size(), f));
        }
    }
    std::fclose(f);
    size_t at = tail.size() < END_RECORD ? std::string::npos : tail.rfind("PK\x05\x06");
    if (at == std::string::npos || tail.size() - at < END_RECORD)
        return false;
    auto u16_at = [&tail, at](size_t off) {
        return static_cast<unsigned>(static_cast<unsigned char>(tail[at + off])) |
               static_cast<unsigned>(static_cast<unsigned char>(tail[at + off + 1])) << 8;
    };
    return u16_at(8) == 0 && u16_at(10) == 0; // entries on this disk, in all
}

} // namespace

ArchiveListing archive_list_faults(const char16_t* archive_path) {
    ArchiveListing out;
    uint64_t count = 0;
    std::string first_package;
    unsigned long package_flags = 0;
    int package_method = 0;
    if (!walk_listing(archive_path, &count, [&](const unz_file_info64& info, const char* name) {
            if (info.external_fa & ATTR_DIRECTORY)
                return true;
            char16_t wname[NAME_UNITS + 1];
            entry_name(wname, name, info.flag);
            if (first_package.empty() && archive_is_package_name(wname)) {
                first_package = name;
                package_flags = info.flag;
                package_method = static_cast<int>(info.compression_method);
            }
            return true;
        })) {
        out.fault =
            archive_path && representable(archive_path) && end_record_counts_none(archive_path)
                ? ArchiveFault::NoEntries
                : ArchiveFault::NotZip;
        return out;
    }
    if (count == 0) {
        out.fault = ArchiveFault::NoEntries;
        return out;
    }
    std::string duplicate;
    unsigned long flags = 0;
    if (find_duplicate(archive_path, &duplicate, &flags) && !duplicate.empty()) {
        out.fault = ArchiveFault::Duplicate;
        out.entry = printable_name(duplicate.c_str(), flags);
        return out;
    }
    if (!first_package.empty() && !unpacked_here(static_cast<unsigned long>(package_method))) {
        out.fault = ArchiveFault::Method;
        out.entry = printable_name(first_package.c_str(), package_flags);
        out.method = package_method;
    }
    return out;
}

std::string archive_method_name(int method) {
    switch (method) {
    case 0:
        return "no compression";
    case 8:
        return "deflate";
    case 9:
        return "deflate64";
    case 12:
        return "bzip2";
    case 14:
        return "LZMA";
    case 93:
        return "Zstandard";
    case 95:
        return "XZ";
    case 98:
        return "PPMd";
    case 99:
        return "AES encryption";
    default:
        return "method " + std::to_string(method);
    }
}

int archive_is_package_name(const char16_t* name) {
    return name && file_has_extension(std::u16string(name), "dqv") ? 1 : 0;
}

int archive_extract(const char16_t* archive_path, Stream* out, void* owner,
                    ArchiveProgressFn progress, uint64_t max_size) {
    if (!archive_path || !representable(archive_path))
        return 0;
    std::string path = wtext_to_utf8(archive_path);
    unzFile zf = unzOpen64(path.c_str());
    if (!zf)
        return 0;
    unz_global_info64 global = {};
    if (unzGetGlobalInfo64(zf, &global) != UNZ_OK) {
        unzClose(zf);
        return 0;
    }
    // Nothing to unpack; and of two files of one name, which is meant
    // cannot be told.
    std::string duplicate;
    unsigned long flags = 0;
    if (global.number_entry == 0 || !find_duplicate(archive_path, &duplicate, &flags) ||
        !duplicate.empty()) {
        unzClose(zf);
        return 0;
    }
    int err = unzGoToFirstFile(zf);
    for (;;) {
        if (err != UNZ_OK) {
            unzClose(zf);
            return 0;
        }
        unz_file_info64 info;
        char name[NAME_BUFFER] = {};
        if (unzGetCurrentFileInfo64(zf, &info, name, sizeof name - 1, nullptr, 0, nullptr, 0) !=
            UNZ_OK) {
            unzClose(zf);
            return 0;
        }
        if (!(info.external_fa & ATTR_DIRECTORY)) {
            char16_t wname[NAME_UNITS + 1];
            entry_name(wname, name, info.flag);
            if (progress && progress(0, reinterpret_cast<uintptr_t>(wname), owner)) {
                // minizip would hand out a bzip2 entry's compressed bytes
                // as they are, unchecked: only what it inflates is taken.
                if (info.uncompressed_size > max_size || !unpacked_here(info.compression_method) ||
                    unzOpenCurrentFile(zf) != UNZ_OK) {
                    unzClose(zf);
                    return 0;
                }
                progress(1, static_cast<uintptr_t>(info.uncompressed_size), owner);
                int ok = copy_entry(zf, out, owner, progress, max_size);
                unzClose(zf);
                return ok;
            }
        }
        err = unzGoToNextFile(zf);
        if (err == UNZ_END_OF_LIST_OF_FILE)
            break;
    }
    unzClose(zf);
    return 1;
}
