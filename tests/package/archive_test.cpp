// archive_extract over real zip files made by the test.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/archive.h"
#include "support/stream.h"
#include "test_util.h"

namespace {

struct Seen {
    std::vector<std::u16string> names;
    uint64_t size = 0;
    std::vector<uint64_t> progress;
};

int choose_package(int kind, uintptr_t value, void* owner) {
    auto* seen = static_cast<Seen*>(owner);
    if (kind == 0) {
        const auto* name = reinterpret_cast<const char16_t*>(value);
        seen->names.emplace_back(name);
        return archive_is_package_name(name);
    }
    if (kind == 1)
        seen->size = value;
    else
        seen->progress.push_back(value);
    return 0;
}

// Extracts zip into a fresh file; returns the result and the bytes written.
int extract(const std::string& zip, Bytes* out, Seen* seen) {
    TempFile dst;
    Stream* s = stream_open(dst.w(), 1);
    EXPECT_NE(nullptr, s);
    std::u16string wzip = utf8_to_wtext(zip);
    int rc = archive_extract(wzip.c_str(), s, seen, choose_package);
    stream_close(s);
    *out = pkg_read_file(dst.path());
    return rc;
}

TEST(ArchiveExtract, PicksPackageInsideFolderSkippingOthers) {
    Bytes pkg = pkg_pattern(5000, 1);
    TempFile zip(".zip");
    ASSERT_EQ(1, pkgbuild_zip(zip.path(), {{"data/", {}},
                                           {"data/readme.txt", pkg_pattern(100, 2)},
                                           {"data/sub/PKG.DQV", pkg},
                                           {"later.dqv", pkg_pattern(10, 3)}}));
    Bytes out;
    Seen seen;
    EXPECT_EQ(1, extract(zip.path(), &out, &seen));
    EXPECT_EQ(pkg, out);
    // The folder is never offered; names are the part after the last '/'.
    EXPECT_EQ((std::vector<std::u16string>{u"readme.txt", u"PKG.DQV"}), seen.names);
    EXPECT_EQ(5000u, seen.size);
    ASSERT_FALSE(seen.progress.empty());
    EXPECT_EQ(5000u, seen.progress.back());
}

TEST(ArchiveExtract, OnlyFirstOfTwoPackages) {
    TempFile zip(".zip");
    ASSERT_EQ(1, pkgbuild_zip(zip.path(), {{"a.dqv", pkg_pattern(300, 1)},
                                           {"b.dqv", pkg_pattern(400, 2), true}}));
    Bytes out;
    Seen seen;
    EXPECT_EQ(1, extract(zip.path(), &out, &seen));
    EXPECT_EQ(pkg_pattern(300, 1), out);
    EXPECT_EQ(1u, seen.names.size());
}

TEST(ArchiveExtract, NoPackageOrOnlyFoldersWritesNothing) {
    TempFile zip(".zip");
    ASSERT_EQ(1, pkgbuild_zip(zip.path(), {{"x/", {}}, {"x/y/", {}}}));
    Bytes out;
    Seen seen;
    EXPECT_EQ(1, extract(zip.path(), &out, &seen));
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(seen.names.empty());

    TempFile zip2(".zip");
    ASSERT_EQ(1, pkgbuild_zip(zip2.path(), {{"notes.txt", pkg_pattern(50, 1)}}));
    EXPECT_EQ(1, extract(zip2.path(), &out, &seen));
    EXPECT_TRUE(out.empty());
}

// Of two files of one name other tools show the last, this walk would take
// the first: such an archive, and one holding nothing, give nothing.
TEST(ArchiveExtract, DuplicateNamesOrNoEntriesWriteNothing) {
    struct Case {
        const char* what;
        std::vector<PkgZipEntry> entries;
    };
    for (const Case& c :
         {Case{"package twice", {{"u.dqv", pkg_pattern(300, 1)}, {"u.dqv", pkg_pattern(300, 2)}}},
          Case{"other file twice",
               {{"u.dqv", pkg_pattern(300, 1)}, {"a.txt", {}}, {"a.txt", pkg_pattern(9, 2)}}},
          Case{"no entries", {}}}) {
        SCOPED_TRACE(c.what);
        TempFile zip(".zip");
        ASSERT_EQ(1, pkgbuild_zip(zip.path(), c.entries));
        Bytes out;
        Seen seen;
        EXPECT_EQ(0, extract(zip.path(), &out, &seen));
        EXPECT_TRUE(out.empty());
        EXPECT_TRUE(seen.names.empty());
    }
    // A package compressed with bzip2 (here: stored bytes under that method,
    // which minizip would hand out unchecked) is refused, not copied.
    TempFile bz(".zip");
    ASSERT_EQ(1, pkgbuild_zip(bz.path(), {{"u.dqv", pkg_pattern(300, 4), true}}));
    Bytes b = pkg_read_file(bz.path());
    const uint8_t central[] = {'P', 'K', 1, 2};
    size_t dir = std::search(b.begin(), b.end(), central, central + 4) - b.begin();
    ASSERT_LT(dir + 12, b.size());
    b[8] = b[dir + 10] = 12;
    ASSERT_TRUE(bz.write(b));
    Bytes bz_out;
    Seen bz_seen;
    EXPECT_EQ(0, extract(bz.path(), &bz_out, &bz_seen));
    EXPECT_TRUE(bz_out.empty());

    // One name in two folders is two files.
    TempFile zip(".zip");
    ASSERT_EQ(1, pkgbuild_zip(zip.path(), {{"a/u.dqv", pkg_pattern(300, 1)},
                                           {"b/u.dqv", pkg_pattern(300, 2)}}));
    Bytes out;
    Seen seen;
    EXPECT_EQ(1, extract(zip.path(), &out, &seen));
    EXPECT_EQ(pkg_pattern(300, 1), out);
}

TEST(ArchiveExtract, NotAZipFails) {
    struct Case {
        const char* what;
        Bytes content;
    } cases[] = {
        {"rar", Bytes{'R', 'a', 'r', '!', 0x1A, 0x07, 0x00, 1, 2, 3, 4, 5}},
        {"7z", Bytes{'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0, 4, 1, 2, 3, 4}},
        {"empty", Bytes{}},
        {"random", pkg_pattern(4096, 5)},
    };
    for (const Case& c : cases) {
        TempFile f(".zip");
        ASSERT_TRUE(f.write(c.content));
        Bytes out;
        Seen seen;
        EXPECT_EQ(0, extract(f.path(), &out, &seen)) << c.what;
        EXPECT_TRUE(out.empty()) << c.what;
    }
    Seen seen;
    Bytes out;
    EXPECT_EQ(0, extract("/nonexistent/a.zip", &out, &seen));
    EXPECT_EQ(0, archive_extract(nullptr, nullptr, nullptr, choose_package));
    // A lone surrogate has no file name on this system.
    const char16_t bad[] = {u'/', u't', 0xD800, u'.', u'z', 0};
    EXPECT_EQ(0, archive_extract(bad, nullptr, nullptr, choose_package));
}

// Finds the first occurrence of needle in hay.
size_t find(const Bytes& hay, const Bytes& needle) {
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) - hay.begin();
}

TEST(ArchiveExtract, DamagedEntryIsAFailedExtraction) {
    Bytes pkg = pkg_pattern(3000, 9);
    TempFile zip(".zip");
    ASSERT_EQ(1, pkgbuild_zip(zip.path(), {{"u.dqv", pkg, true}}));
    Bytes file = pkg_read_file(zip.path());
    size_t at = find(file, Bytes(pkg.begin(), pkg.begin() + 64));
    ASSERT_LT(at, file.size());

    // A stored entry with one byte changed: every byte reads, the CRC fails.
    Bytes crc_bad = file;
    crc_bad[at + 1000] ^= 0x01;
    TempFile f1(".zip");
    ASSERT_TRUE(f1.write(crc_bad));
    Bytes out;
    Seen seen;
    EXPECT_EQ(0, extract(f1.path(), &out, &seen));

    // A deflated entry whose compressed bytes are garbage: the read fails.
    TempFile zip2(".zip");
    ASSERT_EQ(1, pkgbuild_zip(zip2.path(), {{"u.dqv", Bytes(20000, 'a')}}));
    Bytes deflated = pkg_read_file(zip2.path());
    size_t data_at = 30 + 5; // local header, name "u.dqv", no extra field
    ASSERT_GT(deflated.size(), data_at + 20);
    for (size_t i = 0; i < 16; ++i)
        deflated[data_at + i] = 0xFF;
    TempFile f2(".zip");
    ASSERT_TRUE(f2.write(deflated));
    EXPECT_EQ(0, extract(f2.path(), &out, &seen));
}

TEST(ArchiveExtract, WriteFailureIsAFailedExtraction) {
    TempFile zip(".zip");
    ASSERT_EQ(1, pkgbuild_zip(zip.path(), {{"u.dqv", pkg_pattern(5000, 3)}}));
    TempFile dst;
    Stream* reading = stream_open(dst.w(), 0); // not a writing stream
    ASSERT_NE(nullptr, reading);
    Seen seen;
    std::u16string wzip = utf8_to_wtext(zip.path());
    EXPECT_EQ(0, archive_extract(wzip.c_str(), reading, &seen, choose_package));
    stream_close(reading);
}

// Extracts with a bound on the entry size.
int extract_bounded(const std::string& zip, uint64_t max_size, Bytes* out, Seen* seen) {
    TempFile dst;
    Stream* s = stream_open(dst.w(), 1);
    EXPECT_NE(nullptr, s);
    std::u16string wzip = utf8_to_wtext(zip);
    int rc = archive_extract(wzip.c_str(), s, seen, choose_package, max_size);
    stream_close(s);
    *out = pkg_read_file(dst.path());
    return rc;
}

TEST(ArchiveExtract, EntryLargerThanThePackageBoundIsNeverInflated) {
    struct Case {
        const char* what;
        PkgZipEntry entry;
        uint64_t bound;
        int rc;
        size_t most_written;
    } cases[] = {
        {"declared one byte over the bound", {"u.dqv", Bytes(4001, 0)}, 4000, 0, 0},
        {"declared exactly the bound", {"u.dqv", Bytes(4000, 0)}, 4000, 1, 4000},
        // Zeros that claim 5 GiB: refused on the claim, nothing written.
        {"declared 5 GiB", {"u.dqv", Bytes(100000, 0), false, 5ull << 30}, ARCHIVE_MAX_ENTRY_SIZE,
         0, 0},
        // One that inflates past what it declares stops at the declared
        // size and fails its check: the claim bounds what is written.
        {"declared less than it holds", {"u.dqv", Bytes(100000, 0), false, 3000}, 4000, 0, 3000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempFile zip(".zip");
        ASSERT_EQ(1, pkgbuild_zip(zip.path(), {c.entry}));
        Bytes out;
        Seen seen;
        EXPECT_EQ(c.rc, extract_bounded(zip.path(), c.bound, &out, &seen));
        EXPECT_LE(out.size(), c.most_written);
        if (c.rc == 1) {
            EXPECT_EQ(out, c.entry.data);
        }
    }
}

TEST(ArchiveExtract, PackageNameMatch) {
    struct {
        const char16_t* name;
        int want;
    } cases[] = {{u"a.dqv", 1},  {u"A.DqV", 1}, {u"dqv", 1},       {u"x.dqv.zip", 0},
                 {u"x.dqvx", 0}, {u"x.dq", 0},  {u"x.tar.dqv", 1}, {u"", 0}};
    for (auto& c : cases)
        EXPECT_EQ(c.want, archive_is_package_name(c.name)) << wtext_to_utf8(c.name);
    EXPECT_EQ(0, archive_is_package_name(nullptr));
}

} // namespace
