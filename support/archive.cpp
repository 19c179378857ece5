#include "support/archive.h"

#include <algorithm>
#include <cstring>
#include <string>

#include <minizip/unzip.h>

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

} // namespace

int archive_is_package_name(const char16_t* name) {
    if (!name)
        return 0;
    const char16_t* ext = name;
    for (const char16_t* p = name; *p; ++p)
        if (*p == u'.')
            ext = p + 1;
    const char16_t want[] = u"dqv";
    for (int i = 0; i < 3; ++i) {
        char16_t c = ext[i];
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
        if (c != want[i])
            return 0;
    }
    return ext[3] == 0 ? 1 : 0;
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
    if (global.number_entry == 0) {
        unzClose(zf);
        return 1;
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
                if (info.uncompressed_size > max_size || unzOpenCurrentFile(zf) != UNZ_OK) {
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
