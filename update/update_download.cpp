// The package download of an update run: the names it is kept under in the
// private temporary directory, the resumable transfer and the check of what
// came. Part of UpdateRun (update_run.h).
#include "update/update_run.h"

#include <chrono>
#include <filesystem>
#include <system_error>
#include <thread>

#include "online/HttpDownload.h"
#include "online/ResumableDownload.h"
#include "online/VersionCheck.h"
#include "online/messages.h"
#include "package/package.h"
#include "support/build_settings.h"
#include "support/file_name.h"
#include "support/temp_dir.h"
#include "support/text.h"
#include "update/package_open.h"

namespace {

// How long the download-end handling of the host gets to report a failure
// after the synchronous transfer has returned.
constexpr auto DOWNLOAD_END_WAIT = std::chrono::milliseconds(50);

// The tool's own temporary directory, with a trailing '/'.
std::u16string temp_directory() {
    return package_temp_directory() + u"/";
}

} // namespace

UpdateDownloadNames update_download_names(const std::u16string& url,
                                          const std::u16string& temp_dir) {
    UpdateDownloadNames names;
    // A query or fragment belongs to the request, not to the file name.
    std::u16string path = url.substr(0, url.find_first_of(u"?#"));
    size_t cut = path.find_last_of(u"/\\");
    std::u16string name = cut == std::u16string::npos ? path : path.substr(cut + 1);
    if (name.empty() || name == u"." || name == u"..")
        return names;
    size_t dot = name.rfind(u'.');
    std::u16string stem = dot == std::u16string::npos ? std::u16string() : name.substr(0, dot);
    // A stem of dots alone ("..", from "...zip") would name a parent
    // directory: such a name keeps its file directly in the temporary
    // directory, as a name without a stem does.
    if (stem.find_first_not_of(u'.') == std::u16string::npos)
        stem.clear();
    std::u16string dir = temp_dir;
    while (!dir.empty() && dir.back() == u'/')
        dir.pop_back();
    names.valid = 1;
    names.name = name;
    names.run_dir = stem.empty() ? dir : dir + u"/" + stem;
    names.target = names.run_dir + u"/" + name;
    names.extracted = names.run_dir + u"/" + UPDATE_EXTRACTED_NAME;
    return names;
}

int update_download_kind(const std::u16string& name) {
    if (file_has_extension(name, "rar") || file_has_extension(name, "zip") ||
        file_has_extension(name, "7z"))
        return 1;
    if (file_has_extension(name, "dqv"))
        return 2;
    return 0;
}

bool UpdateRun::obtainFromDownload(std::u16string* package_path) {
    enter(UpdateStage::Download);
    if (!dry_run_) // a dry run updates nothing
        host_->setProgressText(UPDATE_TEXT_UPDATING);
    UpdateDownloadNames names = update_download_names(source_.download_url, temp_directory());
    if (!names.valid) {
        // Nothing in the URL names a file to keep: there is no update file.
        fail(UPDATE_TEXT_NO_UPDATE_FILE);
        return false;
    }
    std::u16string temp = temp_directory();
    while (!temp.empty() && temp.back() == u'/')
        temp.pop_back();
    // Nothing is downloaded into a directory that is not this user's own.
    if (temp_dir_ensure().empty() || !claimRunDirectory(names.run_dir, temp)) {
        fail(UPDATE_TEXT_OPEN_FAILED);
        return false;
    }
    download_target_ = names.target;
    extracted_ = names.extracted;
    package_remove_file(download_target_);

    CHttpDownload* download = host_->downloadComponent();
    if (!download) {
        fail(UPDATE_TEXT_OPEN_FAILED);
        return false;
    }
    host_->clearDownloadFailureText();
    // Partial downloads of another package are of no use any more.
    resume_remove_leftovers(wtext_to_utf8(temp.c_str()),
                            wtext_to_utf8(source_.download_url.c_str()));
    ResumeOptions options;
    if (pause_)
        options.pause = pause_;
    options.cancelled = [this] { return host_->isClosing(); };
    bool noticed = false;
    options.notice = [this, &noticed](const std::u16string& text) {
        noticed = true;
        host_->downloadNotice(text);
    };
    int kind = update_download_kind(names.name);
    options.check = [this, kind](const std::u16string& path) {
        return downloadedFileIsSound(path, kind);
    };
    ResumeOutcome got = resumable_download(*download, host_->downloadOwner(), source_.download_url,
                                           download_target_, options);
    if (noticed)
        host_->downloadNotice(u"");
    // How the transfer ended, for the cause under the failure.
    if (got.start_error.empty() && got.result != DOWNLOAD_RESULT_OK &&
        got.result != DOWNLOAD_RESULT_ABORTED)
        outcome_.download_cause =
            failure_text_download_result(got.result, long(got.detail), got.reason);
    if (!got.start_error.empty()) {
        fail(got.start_error);
        return false;
    }
    std::this_thread::sleep_for(DOWNLOAD_END_WAIT);
    std::u16string failure = host_->downloadFailureText();
    // Only a whole file counts: a transfer that was stopped, or that left
    // the target empty or shorter than the server announced, is a failed
    // download whatever its end message said.
    if (failure.empty() && (!got.complete || got.size == 0))
        failure = VERSION_TEXT_PACKAGE_FAILED;
    if (!failure.empty()) {
        fail(got.gave_up || got.refused ? update_download_failure_text(failure, got.reason)
                                        : failure);
        return false;
    }
    host_->setProgressPos(0);

    switch (update_download_kind(names.name)) {
    case 1:
        return unpack(download_target_, package_path);
    case 2:
        *package_path = download_target_;
        return true;
    default:
        fail(UPDATE_TEXT_NO_UPDATE_FILE);
        return false;
    }
}

bool UpdateRun::downloadedFileIsSound(const std::u16string& path, int kind) {
    if (kind == 2) {
        Package* pkg = package_load(path.c_str());
        bool ok = pkg && package_is_for_customer(pkg, TOOL_CUSTOMER_NAME, UPDATE_CUSTOMER_NAME_COMPARE);
        package_free(pkg);
        return ok;
    }
    if (kind != 1)
        return true; // nothing to check: the run refuses the name anyway
    // An archive is sound when its package comes out whole (CRC checked).
    bool ok = package_unpack(path, extracted_, run_dir_, nullptr, nullptr, nullptr);
    std::error_code ec;
    if (ok && (std::filesystem::file_size(std::filesystem::path(wtext_to_utf8(extracted_.c_str())), ec) == 0 || ec))
        ok = false; // no package in it
    package_remove_file(extracted_);
    return ok;
}

