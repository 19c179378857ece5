// What is wrong with a package that cannot be used, and the words shown
// under a failure's own text.
#include <gtest/gtest.h>

#include <algorithm>

#include "update/failure_text.h"
#include "package/package.h"
#include "package/package_check.h"
#include "update/update_run.h"
#include "test_util.h"

namespace {

PkgDescription small_package() {
    PkgDescription d;
    d.sections[SECTION_BOOT] = pkg_pattern(1200, 1);
    d.sections[SECTION_VOICE] = pkg_pattern(900, 2);
    d.sections[SECTION_GPS] = pkg_pattern(1300, 3);
    return d;
}

TEST(PackageCheck, NamesWhyAFileIsNoUsablePackage) {
    PkgLayout layout;
    Bytes whole = pkgbuild_bytes(small_package(), &layout);
    ASSERT_FALSE(whole.empty());
    uint64_t size = whole.size();

    PkgDescription broken_trailer = small_package();
    broken_trailer.bad_checksum = true;
    PkgDescription beyond_end = small_package();
    // The GPS section claims 4000 bytes more than the file holds.
    beyond_end.pair_override[SECTION_GPS] = {layout.offset[SECTION_GPS],
                                             layout.size[SECTION_GPS] + 4000};
    PkgDescription far_away = small_package();
    far_away.pair_override[SECTION_VOICE] = {0x7000000, 16};
    PkgDescription other = small_package();
    other.customer = "OTHERCO";

    struct Case {
        const char* name;
        Bytes bytes;
        bool create;
        PackageProblem problem;
        uint64_t offset;
        std::string customer;
    } cases[] = {
        {"missing", {}, false, PackageProblem::NoFile, 0, ""},
        {"empty", {}, true, PackageProblem::Empty, 0, ""},
        {"random bytes", pkg_pattern(3000, 9), true, PackageProblem::NotPackage, 0, ""},
        {"shorter than a trailer", pkg_pattern(100, 9), true, PackageProblem::NotPackage, 0, ""},
        {"broken trailer", pkgbuild_bytes(broken_trailer), true, PackageProblem::Damaged,
         size - FORM_C_SIZE, ""},
        {"section past the end", pkgbuild_bytes(beyond_end), true, PackageProblem::Damaged,
         layout.trailer_at, ""},
        {"section far away", pkgbuild_bytes(far_away), true, PackageProblem::Damaged, 0x7000000,
         ""},
        {"another customer's", pkgbuild_bytes(other), true, PackageProblem::OtherCustomer, 0,
         "OTHERCO"},
        {"this customer's", whole, true, PackageProblem::None, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFile file;
        if (c.create)
            ASSERT_TRUE(file.write(c.bytes));
        else
            std::remove(file.path().c_str());
        PackageCheck check = package_check(file.w(), TOOL_CUSTOMER_NAME, 12);
        EXPECT_EQ(c.problem, check.problem);
        EXPECT_EQ(c.offset, check.offset);
        EXPECT_EQ(c.customer, check.customer);
    }
    // Without a customer to match, any whole package passes.
    TempFile other_file;
    ASSERT_TRUE(other_file.write(pkgbuild_bytes(other)));
    EXPECT_EQ(PackageProblem::None, package_check(other_file.w(), nullptr, 0).problem);
    // A folder cannot be read as a package.
    EXPECT_EQ(PackageProblem::Unreadable, package_check(u"/", nullptr, 0).problem);
}

// A zip archive of one stored entry whose method fields (in its local
// header and its directory record) say method instead.
Bytes zip_with_method(const std::string& name, uint16_t method) {
    TempFile zip(".zip");
    EXPECT_EQ(1, pkgbuild_zip(zip.path(), {{name, pkg_pattern(300, 4), true}}));
    Bytes b = pkg_read_file(zip.path());
    const uint8_t central[] = {'P', 'K', 1, 2};
    size_t dir = std::search(b.begin(), b.end(), central, central + 4) - b.begin();
    EXPECT_LT(dir + 12, b.size());
    for (size_t at : {size_t(8), dir + 10}) {
        b[at] = uint8_t(method & 0xFF);
        b[at + 1] = uint8_t(method >> 8);
    }
    return b;
}

TEST(PackageCheck, NamesWhyAZipArchiveCannotBeUnpacked) {
    TempFile empty_zip(".zip");
    ASSERT_EQ(1, pkgbuild_zip(empty_zip.path(), {}));
    TempFile twice(".zip");
    ASSERT_EQ(1, pkgbuild_zip(twice.path(), {{"readme.txt", pkg_pattern(10, 1)},
                                             {"pkg/u.dqv", pkg_pattern(300, 1)},
                                             {"pkg/u.dqv", pkg_pattern(300, 2)}}));
    TempFile readme(".zip");
    ASSERT_EQ(1, pkgbuild_zip(readme.path(), {{"readme.txt", pkg_pattern(10, 1)}}));
    struct Case {
        const char* what;
        Bytes content;
        PackageProblem problem;
        const char* entry;
        const char* method;
    } cases[] = {
        {"0 bytes", {}, PackageProblem::Empty, "", ""},
        {"no entries", pkg_read_file(empty_zip.path()), PackageProblem::EmptyArchive, "", ""},
        {"one name twice", pkg_read_file(twice.path()), PackageProblem::Duplicate, "pkg/u.dqv",
         ""},
        {"bzip2", zip_with_method("u.dqv", 12), PackageProblem::Compression, "u.dqv", "bzip2"},
        {"lzma", zip_with_method("u.dqv", 14), PackageProblem::Compression, "u.dqv", "LZMA"},
        // Only the package's own method counts.
        {"bzip2 readme", zip_with_method("readme.txt", 12), PackageProblem::BadArchive, "", ""},
        {"no package", pkg_read_file(readme.path()), PackageProblem::BadArchive, "", ""},
        {"junk", pkg_pattern(500, 2), PackageProblem::NotArchive, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempFile f(".zip");
        ASSERT_TRUE(f.write(c.content));
        PackageCheck check = package_check_archive(f.w());
        EXPECT_EQ(c.problem, check.problem);
        EXPECT_EQ(c.entry, check.entry);
        EXPECT_EQ(c.method, check.method);
    }
    EXPECT_EQ(PackageProblem::NoFile, package_check_archive(u"/nonexistent/x.zip").problem);
}

// The line under "Open update file failed!" for each cause.
TEST(FailureText, PackageCauses) {
    struct Case {
        PackageCheck check;
        const char* line;
    } cases[] = {
        {{PackageProblem::None, 0, ""}, ""},
        {{PackageProblem::NoFile, 0, ""},
         "There is no such file. Check the file's name and folder."},
        {{PackageProblem::Unreadable, 0, ""},
         "The file cannot be read (no permission, or it is a folder). Check its permissions, or "
         "copy it where this user can read it."},
        {{PackageProblem::TooLarge, 0, ""},
         "The file is larger than an update package can be (2 GB). Choose the .dqv update "
         "package itself."},
        {{PackageProblem::Empty, 0, ""},
         "The file is empty (or the archive holds no .dqv package). Download the package again."},
        {{PackageProblem::NotPackage, 0, ""},
         "The file is not an update package: it does not end with a package directory. Choose a "
         ".dqv update package, or a zip archive holding one."},
        {{PackageProblem::Damaged, 5174, ""},
         "The package is damaged at byte 5174. Download the package again; a copy cut short or "
         "altered cannot be written."},
        {{PackageProblem::OtherCustomer, 0, "OTHERCO"},
         "The package was made for another customer: OTHERCO. Use the update package made for "
         "this tool's units."},
        {{PackageProblem::OtherCustomer, 0, ""},
         "The package was made for another customer: (no name). Use the update package made for "
         "this tool's units."},
        {{PackageProblem::NotArchive, 0, ""},
         "The file is named as an archive but is not a zip archive (rar and 7z archives are not "
         "unpacked here). Unpack it yourself and choose the .dqv package inside."},
        {{PackageProblem::EmptyArchive, 0, ""},
         "The zip archive holds no files. Download the archive again, or choose the .dqv package "
         "itself."},
        {{PackageProblem::Duplicate, 0, "", "pkg/u.dqv", ""},
         "The zip archive holds two files named pkg/u.dqv: which of them is the package cannot "
         "be told. Unpack the package you mean yourself and choose the .dqv file."},
        {{PackageProblem::Compression, 0, "", "u.dqv", "bzip2"},
         "The package u.dqv in the zip archive is compressed with bzip2, which is not unpacked "
         "here (only stored and deflated entries are). Unpack it yourself and choose the .dqv "
         "package inside."},
        {{PackageProblem::BadArchive, 0, ""},
         "The zip archive could not be unpacked: it is damaged, its package is larger than 2 GB, "
         "or the disk is full. Download the archive again, or free space in the temporary "
         "folder."},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.line, failure_text_line(failure_text_package(c.check)));
}

// The line under "Update Failed!  N" (and the check's own failures, which
// carry their result as the status).
TEST(FailureText, UpdateStatuses) {
    const std::string again = "Unplug the unit, plug it in again and run the same update.";
    const std::string saved = " Its settings from before the update are saved in /b/1.";
    auto refused = [](const char* area, int status, const char* more) {
        return std::string("The unit refused the write of ") + area +
               " or stopped answering during it (status " + std::to_string(status) +
               "): the unit's data is now incomplete" + more + ".";
    };
    const char* no_start = " and it may not start until the update is written again";
    struct Case {
        int status;
        const char* backup;
        std::string line;
    } cases[] = {
        {-7, "", refused("the GPS data", -7, "") + " " + again},
        {-7, "/b/1", refused("the GPS data", -7, "") + " " + again + saved},
        {-6, "", refused("the update tool", -6, "") + " " + again},
        {-5, "", refused("the radar mute data", -5, "") + " " + again},
        {-4, "", refused("the voice data", -4, "") + " " + again},
        {-3, "", refused("the program", -3, no_start) + " " + again},
        {-2, "/b/1", refused("the boot image", -2, no_start) + " " + again + saved},
        {-1, "/b/1",
         "The writes could not begin (no unit or no package at hand); nothing was written. " +
             again},
        {0, "", "The update did not finish; the unit's data may be incomplete. " + again},
        {1, "",
         "The package's data is larger than this unit's memory; nothing was written. Choose "
         "fewer provinces, or use an update package made for this unit."},
        {2, "",
         "The package holds no voice data for this unit; nothing was written. Use an update "
         "package made for this unit."},
        {3, "",
         "The package holds no GPS data for this unit; nothing was written. Download the package "
         "again, or use one made for this unit."},
        {4, "/b/1",
         "The unit refused the write of its main settings or stopped answering during it; no "
         "other data was written. " +
             again + saved},
        {-42, "", "The update ended with status -42; the unit's data may be incomplete. " + again},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        EXPECT_EQ(c.line, failure_text_line(failure_text_update(c.status, c.backup)));
    }
}

// A run's outcome: the step it stopped at decides which words fit.
TEST(FailureText, RunOutcomes) {
    auto outcome = [](UpdateStage stage, const char16_t* message, int status) {
        UpdateOutcome o;
        o.stage = stage;
        o.message = message;
        o.status = status;
        return o;
    };
    UpdateOutcome damaged = outcome(UpdateStage::Plan, UPDATE_TEXT_OPEN_FAILED, 3);
    damaged.package = {PackageProblem::Damaged, 77, ""};
    UpdateOutcome stopped = outcome(UpdateStage::Write, UPDATE_TEXT_FAILED, -7);
    stopped.interrupted = 1;
    UpdateOutcome done = outcome(UpdateStage::Write, u"", 0);
    done.result = UPDATE_SUCCEEDED;
    struct Case {
        const char* name;
        UpdateOutcome o;
        std::string reason;
    } cases[] = {
        {"write refused", outcome(UpdateStage::Write, UPDATE_TEXT_FAILED, -7),
         failure_text_update(-7, "").reason},
        {"program alone refused", outcome(UpdateStage::Write, UPDATE_TEXT_FAILED, 0),
         "The unit refused the program or stopped answering while it was written: its program is "
         "now incomplete and it may not start until the update is written again."},
        {"read-back differs",
         outcome(UpdateStage::Write, u"The unit does not hold what was written.", 0), ""},
        {"no program for the board", outcome(UpdateStage::Plan, UPDATE_TEXT_FAILED, -3),
         "The package holds no program for this unit's board; nothing was written."},
        {"program alone too large", outcome(UpdateStage::Plan, UPDATE_TEXT_FAILED, 0),
         "The program in the package does not fit this unit; nothing was written."},
        {"too large", outcome(UpdateStage::Plan, UPDATE_TEXT_TOO_LARGE, 1),
         failure_text_update(1, "").reason},
        {"section lost by the file", damaged, "The package is damaged at byte 77."},
        {"nothing to write", outcome(UpdateStage::Source, UPDATE_TEXT_OPEN_FAILED, 0),
         "No package was chosen, and the unit's version file names none to download."},
        {"download", outcome(UpdateStage::Download, u"Download failed", 0), "The download failed."},
        {"downloaded file of no known kind",
         outcome(UpdateStage::Download, UPDATE_TEXT_NO_UPDATE_FILE, 0),
         "The server's file is neither a .dqv package nor a zip archive."},
        {"provinces", outcome(UpdateStage::Provinces, UPDATE_TEXT_OPEN_FAILED, 0),
         "The chosen provinces' data could not be built (too large, or memory is short); nothing "
         "was written."},
        {"backup refused", outcome(UpdateStage::Guard, u"The backup failed", 0), ""},
        {"stopped", stopped, ""},
        {"succeeded", done, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.reason, failure_text_outcome(c.o, "").reason) << c.name;
    // A run that stopped while writing still says what to do next.
    EXPECT_EQ("Unplug the unit, plug it in again and run the same update. Its settings from "
              "before the update are saved in /b/2.",
              failure_text_outcome(stopped, "/b/2").hint);
}

TEST(FailureText, Downloads) {
    struct Case {
        int result;
        long detail;
        const char* message;
        const char* line;
    } cases[] = {
        {2, 7, "Couldn't connect to server",
         "The download failed: Couldn't connect to server. Check the network connection and try "
         "again, or update from a package file."},
        {5, 404, "",
         "The download failed: the server answered with HTTP status 404. Check the network "
         "connection and try again, or update from a package file."},
        {3, 27, "", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.line,
                  failure_text_line(failure_text_download_result(c.result, c.detail, c.message)));
    EXPECT_EQ("The download failed. Check the network connection and try again, or update from a "
              "package file.",
              failure_text_line(failure_text_download("")));
}

} // namespace
