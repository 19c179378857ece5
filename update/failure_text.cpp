#include "update/failure_text.h"

#include <string>

#include "online/messages.h"
#include "update/update_run.h"

namespace {

// What the next step adds when the unit's settings were saved before the run.
std::string with_backup(std::string hint, const std::string& backup_dir) {
    if (!backup_dir.empty())
        hint += " Its settings from before the update are saved in " + backup_dir + ".";
    return hint;
}

constexpr const char* RUN_AGAIN = "Unplug the unit, plug it in again and run the same update.";
constexpr const char* OTHER_PACKAGE = "Use an update package made for this unit.";

// The area a negative write status names, in the order the run writes them.
const char* written_area(int status) {
    switch (status) {
    case -4:
        return "the voice data";
    case -5:
        return "the radar mute data";
    case -6:
        return "the update tool";
    case -7:
        return "the GPS data";
    case -3:
        return "the program";
    case -2:
        return "the boot image";
    default:
        return nullptr;
    }
}

} // namespace

std::string failure_text_line(const FailureText& f) {
    if (f.reason.empty())
        return f.hint;
    if (f.hint.empty())
        return f.reason;
    return f.reason + " " + f.hint;
}

FailureText failure_text_update(int status, const std::string& backup_dir) {
    if (const char* area = written_area(status)) {
        std::string reason = std::string("The unit refused the write of ") + area +
                             " or stopped answering during it (status " + std::to_string(status) +
                             "): the unit's data is now incomplete";
        // The program and the boot image go last: without them whole the
        // unit may not start, though it still takes the update again.
        if (status == -3 || status == -2)
            reason += " and it may not start until the update is written again";
        return {reason + ".", with_backup(RUN_AGAIN, backup_dir)};
    }
    switch (status) {
    case -1:
        return {"The writes could not begin (no unit or no package at hand); nothing was written.",
                RUN_AGAIN};
    case 0:
        return {"The update did not finish; the unit's data may be incomplete.",
                with_backup(RUN_AGAIN, backup_dir)};
    case 1:
        return {"The package's data is larger than this unit's memory; nothing was written.",
                "Choose fewer provinces, or use an update package made for this unit."};
    case 2:
        return {"The package holds no voice data for this unit; nothing was written.",
                OTHER_PACKAGE};
    case 3:
        return {"The package holds no GPS data for this unit; nothing was written.",
                "Download the package again, or use one made for this unit."};
    case 4:
        return {"The unit refused the write of its main settings or stopped answering during it; "
                "no other data was written.",
                with_backup(RUN_AGAIN, backup_dir)};
    default:
        return {"The update ended with status " + std::to_string(status) +
                    "; the unit's data may be incomplete.",
                with_backup(RUN_AGAIN, backup_dir)};
    }
}

FailureText failure_text_package(const PackageCheck& check) {
    switch (check.problem) {
    case PackageProblem::None:
        return {};
    case PackageProblem::NoFile:
        return {"There is no such file.", "Check the file's name and folder."};
    case PackageProblem::Unreadable:
        return {"The file cannot be read (no permission, or it is a folder).",
                "Check its permissions, or copy it where this user can read it."};
    case PackageProblem::TooLarge:
        return {"The file is larger than an update package can be (2 GB).",
                "Choose the .dqv update package itself."};
    case PackageProblem::Empty:
        return {"The file is empty (or the archive holds no .dqv package).",
                "Download the package again."};
    case PackageProblem::NotPackage:
        return {"The file is not an update package: it does not end with a package directory.",
                "Choose a .dqv update package, or a zip archive holding one."};
    case PackageProblem::Damaged:
        return {"The package is damaged at byte " + std::to_string(check.offset) + ".",
                "Download the package again; a copy cut short or altered cannot be written."};
    case PackageProblem::OtherCustomer:
        return {"The package was made for another customer: " +
                    (check.customer.empty() ? std::string("(no name)") : check.customer) + ".",
                "Use the update package made for this tool's units."};
    case PackageProblem::NotArchive:
        return {"The file is named as an archive but is not a zip archive (rar and 7z archives "
                "are not unpacked here).",
                "Unpack it yourself and choose the .dqv package inside."};
    case PackageProblem::EmptyArchive:
        return {"The zip archive holds no files.",
                "Download the archive again, or choose the .dqv package itself."};
    case PackageProblem::Duplicate:
        return {"The zip archive holds two files named " + check.entry +
                    ": which of them is the package cannot be told.",
                "Unpack the package you mean yourself and choose the .dqv file."};
    case PackageProblem::Compression:
        return {"The package " + check.entry + " in the zip archive is compressed with " +
                    check.method +
                    ", which is not unpacked here (only stored and deflated "
                    "entries are).",
                "Unpack it yourself and choose the .dqv package inside."};
    case PackageProblem::BadArchive:
        return {"The zip archive could not be unpacked: it is damaged, its package is larger than "
                "2 GB, or the disk is full.",
                "Download the archive again, or free space in the temporary folder."};
    }
    return {};
}

FailureText failure_text_download(const std::string& message) {
    const char* hint = "Check the network connection and try again, or update from a package file.";
    if (message.empty())
        return {"The download failed.", hint};
    return {"The download failed: " + message + ".", hint};
}

FailureText failure_text_download_result(int result, long detail, const std::string& message) {
    // A status says more than the library's words for it.
    if (result == DOWNLOAD_RESULT_HTTP_STATUS)
        return failure_text_download("the server answered with HTTP status " +
                                     std::to_string(detail));
    if (!message.empty())
        return failure_text_download(message);
    return {};
}

FailureText failure_text_outcome(const UpdateOutcome& o, const std::string& backup_dir) {
    if (o.result == UPDATE_SUCCEEDED)
        return {};
    if (o.interrupted)
        return {"", with_backup(RUN_AGAIN, backup_dir)};
    if (o.package.problem != PackageProblem::None)
        return failure_text_package(o.package);
    const std::u16string& m = o.message;
    switch (o.stage) {
    case UpdateStage::Source:
        return {"No package was chosen, and the unit's version file names none to download.",
                "Name the update package file."};
    case UpdateStage::Download:
        if (m == UPDATE_TEXT_NO_UPDATE_FILE)
            return {"The server's file is neither a .dqv package nor a zip archive.",
                    "Try again later, or name a package file."};
        if (m == UPDATE_TEXT_OPEN_FAILED)
            return {"The temporary folder cannot be used for the download.",
                    "Check that it exists, belongs to this user and has free space."};
        return failure_text_download("");
    case UpdateStage::Unpack:
    case UpdateStage::Load:
        return {"The package could not be read.", "Download the package again."};
    case UpdateStage::Provinces:
        return {"The chosen provinces' data could not be built (too large, or memory is short); "
                "nothing was written.",
                "Choose fewer provinces."};
    case UpdateStage::Guard:
        // The guard's own text says why (the backup, the confirmation).
        return {};
    case UpdateStage::Plan:
        if (o.status == 0 && m == UPDATE_TEXT_FAILED)
            return {"The program in the package does not fit this unit; nothing was written.",
                    OTHER_PACKAGE};
        if (o.status == -3)
            return {"The package holds no program for this unit's board; nothing was written.",
                    OTHER_PACKAGE};
        return failure_text_update(o.status, backup_dir);
    case UpdateStage::Write:
        if (o.status == 0 && m == UPDATE_TEXT_FAILED)
            return {"The unit refused the program or stopped answering while it was written: its "
                    "program is now incomplete and it may not start until the update is written "
                    "again.",
                    with_backup(RUN_AGAIN, backup_dir)};
        if (o.status == 0)
            return {"", with_backup(RUN_AGAIN, backup_dir)};
        return failure_text_update(o.status, backup_dir);
    }
    return {};
}
