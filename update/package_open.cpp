#include "update/package_open.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "package/package.h"
#include "support/archive.h"
#include "support/stream.h"
#include "support/temp_dir.h"
#include "support/text.h"
#include "support/platform.h"
#include "update/update_run.h"

namespace {

std::filesystem::path fs_path(const std::u16string& p) {
    return std::filesystem::path(wtext_to_utf8(p.c_str()));
}

bool starts_like_zip(const std::u16string& path) {
    FILE* f = std::fopen(wtext_to_utf8(path.c_str()).c_str(), "rb");
    if (!f)
        return false;
    unsigned char sig[4] = {};
    size_t got = std::fread(sig, 1, 4, f);
    std::fclose(f);
    return got == 4 && sig[0] == 'P' && sig[1] == 'K' &&
           ((sig[2] == 3 && sig[3] == 4) || (sig[2] == 5 && sig[3] == 6));
}

// Creates the run directory (an existing one is fine), readable by this
// user alone. Returns false when the name is taken by a link or by another
// user's directory: in a shared temporary directory the package could be
// swapped there between its download and its load. Anything else at that
// name is left for the download to report.
bool prepare_run_directory(const std::u16string& dir) {
    std::filesystem::path p = fs_path(dir);
    std::error_code ec;
    if (std::filesystem::create_directory(p, ec))
        std::filesystem::permissions(p, std::filesystem::perms::owner_all, ec);
    std::u8string name = p.u8string();
    std::string at(name.begin(), name.end());
    PlatformPathKind kind = platform_path_kind(at);
    if (kind == PLATFORM_PATH_MISSING)
        return true;
    if (kind == PLATFORM_PATH_LINK)
        return false;
    if (kind == PLATFORM_PATH_DIR && !platform_owned_by_me(at))
        return false;
    return true;
}

struct UnpackState {
    const PackageUnpackProgress* progress;
    std::u16string* entry;
};

int unpack_callback(int kind, uintptr_t value, void* owner) {
    auto* st = static_cast<UnpackState*>(owner);
    switch (kind) {
    case 0: {
        const auto* name = reinterpret_cast<const char16_t*>(value);
        int take = archive_is_package_name(name);
        if (take && st->entry && st->entry->empty() && name)
            *st->entry = name;
        return take;
    }
    case 1:
    case 2:
        if (*st->progress)
            (*st->progress)(kind, uint32_t(value));
        return 0;
    default:
        return 0;
    }
}

} // namespace

void package_remove_file(const std::u16string& path) {
    if (path.empty())
        return;
    std::error_code ec;
    std::filesystem::remove(fs_path(path), ec);
}

int package_file_is_archive(const std::u16string& path) {
    return update_download_kind(path) == 1 || starts_like_zip(path) ? 1 : 0;
}

std::u16string package_temp_directory() {
    return utf8_to_wtext(temp_dir_path());
}

bool package_claim_run_directory(const std::u16string& run_dir, int* claim) {
    // What killed runs left behind goes first; this run's directory is
    // then claimed before anything is put in it.
    if (temp_dir_ensure().empty())
        return false;
    temp_dir_sweep_stale(wtext_to_utf8(PACKAGE_UNPACKED_NAME).c_str());
    if (run_dir != package_temp_directory() && !prepare_run_directory(run_dir))
        return false;
    temp_dir_release_run(*claim);
    *claim = temp_dir_claim_run(wtext_to_utf8(run_dir.c_str()).c_str());
    return true;
}

bool package_unpack(const std::u16string& archive, const std::u16string& extracted,
                    const std::u16string& run_dir, const PackageUnpackProgress& progress,
                    std::u16string* entry, PackageCheck* problem) {
    // A stop by signal while the package is unpacked (or written) takes the
    // unpacked file and its empty run directory along.
    std::string file = wtext_to_utf8(extracted.c_str());
    std::string dir = wtext_to_utf8(run_dir.c_str());
    temp_dir_remove_on_signal(file.c_str(), dir.empty() ? nullptr : dir.c_str());
    Stream* out = stream_open_private(extracted.c_str(), 1);
    if (!out)
        return false;
    UnpackState st{&progress, entry};
    int ok = archive_extract(archive.c_str(), out, &st, unpack_callback, PACKAGE_MAX_FILE_SIZE);
    // A package that could not be written whole (a full disk) is a failed
    // extraction, not a shorter package.
    if (!stream_flush(out) || out->error)
        ok = 0;
    stream_close(out);
    if (!ok) {
        // What was written of an entry too large or broken goes at once.
        package_remove_file(extracted);
        if (problem)
            *problem = package_check_archive(archive.c_str());
        return false;
    }
    return true;
}

bool package_open(const std::u16string& chosen, const std::u16string& prefix,
                  const PackageUnpackProgress& progress, OpenedPackage* out) {
    *out = OpenedPackage();
    if (!package_file_is_archive(chosen)) {
        out->path = chosen;
        return true;
    }
    size_t cut = chosen.rfind(u'/');
    std::u16string name = cut == std::u16string::npos ? chosen : chosen.substr(cut + 1);
    // The file's name only names the run directory; what would end a URL's
    // path there is an ordinary character in a file name.
    for (char16_t& c : name)
        if (c == u'?' || c == u'#' || c == u'\\')
            c = u'_';
    std::u16string top = package_temp_directory();
    UpdateDownloadNames names = update_download_names(prefix + name, top + u"/");
    // Nothing is unpacked into a directory that is not this user's own.
    if (!names.valid || !package_claim_run_directory(names.run_dir, &out->claim)) {
        package_close(out);
        return false;
    }
    out->run_dir = names.run_dir != top ? names.run_dir : std::u16string();
    out->extracted = names.extracted;
    if (!package_unpack(chosen, out->extracted, out->run_dir, progress, &out->entry,
                        &out->problem)) {
        PackageCheck problem = out->problem;
        package_close(out);
        out->problem = problem;
        return false;
    }
    out->path = out->extracted;
    return true;
}

void package_close(OpenedPackage* p) {
    if (!p->extracted.empty() || p->claim >= 0)
        temp_dir_remove_on_signal(nullptr, nullptr);
    package_remove_file(p->extracted);
    if (!p->run_dir.empty())
        platform_remove(wtext_to_utf8(p->run_dir.c_str()));
    temp_dir_release_run(p->claim);
    p->claim = -1;
    p->extracted.clear();
    p->run_dir.clear();
    p->path.clear();
}
