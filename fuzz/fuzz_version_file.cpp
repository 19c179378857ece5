// The version-file reader on arbitrary files, both forms, and the download
// names the update run derives from the URLs it reads: whatever the file
// says, the run directory and the download target stay inside the
// temporary directory.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_input_file.h"
#include "online/VersionCheck.h"
#include "update/update_run.h"

namespace {

const std::u16string TEMP_DIR = u"/tmp/trevik-fuzz-run/";

bool has_separator(const std::u16string& s) {
    return s.find_first_of(u"/\\") != std::u16string::npos;
}

// Every name made from url lies directly in TEMP_DIR or in one directory
// below it that is neither "." nor "..".
void check_names(const std::u16string& url) {
    UpdateDownloadNames names = update_download_names(url, TEMP_DIR);
    (void)update_download_kind(url);
    if (!names.valid)
        return;
    const std::u16string base = u"/tmp/trevik-fuzz-run";
    if (names.name.empty() || has_separator(names.name) || names.name == u"." ||
        names.name == u"..")
        __builtin_trap();
    if (names.run_dir != base) {
        if (names.run_dir.compare(0, base.size() + 1, base + u"/") != 0)
            __builtin_trap();
        std::u16string stem = names.run_dir.substr(base.size() + 1);
        if (stem.empty() || has_separator(stem) || stem.find_first_not_of(u'.') == stem.npos)
            __builtin_trap();
    }
    if (names.target != names.run_dir + u"/" + names.name ||
        names.extracted != names.run_dir + u"/tmp.dqv")
        __builtin_trap();
    (void)update_download_kind(names.name);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > VERSION_FILE_MAX_SIZE || !fuzz_write_input(data, size))
        return 0;
    VersionCheckState st;
    VersionCheckView view;
    int read = LoadVersionFile(st, fuzz_scratch_path().c_str(), &view);
    fuzz_remove_input();
    if (!read)
        return 0;
    if (st.list_form) {
        for (const _LuanguageInfo& info : st.online_list) {
            check_names(info.first);
            check_names(info.third);
        }
        return 0;
    }
    if (st.online_version < 0)
        __builtin_trap(); // a read version is the file's leading digits
    check_names(st.package_url);
    return 0;
}
