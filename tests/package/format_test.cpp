// Trailer forms and the directory they are turned into.
#include <gtest/gtest.h>

#include <cstring>

#include "package/bytes.h"
#include "package/package.h"
#include "package/scramble.h"
#include "support/checksum.h"
#include "support/stream.h"
#include "test_util.h"

namespace {

// Finds the trailer of a file through a real stream.
int find_form(const Bytes& file, PackageDirectory* dir) {
    TempFile f;
    EXPECT_TRUE(f.write(file));
    Stream* s = stream_open(f.w(), 0);
    EXPECT_NE(nullptr, s);
    int form = package_find_trailer(s, dir);
    stream_close(s);
    return form;
}

PkgDescription five_sections(int form) {
    PkgDescription d;
    d.form = form;
    d.sections[SECTION_BOOT] = pkg_pattern(1000, 1);
    d.sections[SECTION_RADAR] = pkg_pattern(900, 2);
    d.sections[SECTION_VOICE] = pkg_pattern(800, 3);
    d.sections[SECTION_GPS] = pkg_pattern(700, 4);
    d.programs.push_back(PkgProgram{"T73A", pkg_pattern(600, 5)});
    return d;
}

TEST(PackageTrailer, EachFormGivesTheSameDirectoryPairs) {
    for (int form : {PACKAGE_FORM_A, PACKAGE_FORM_B, PACKAGE_FORM_C}) {
        PkgDescription d = five_sections(form);
        d.prefix = pkg_pattern(600, 9); // keeps form A/B files longer than 520 bytes
        PkgLayout layout;
        Bytes file = pkgbuild_bytes(d, &layout);
        PackageDirectory dir;
        ASSERT_EQ(form, find_form(file, &dir)) << package_form_name(form);
        EXPECT_EQ(form, dir.form);
        EXPECT_EQ(form == PACKAGE_FORM_A   ? 1u
                  : form == PACKAGE_FORM_B ? 3u
                                           : 5u,
                  directory_version(&dir));
        for (int n = 1; n <= 5; ++n) {
            EXPECT_EQ(layout.offset[n], directory_offset(&dir, n)) << n;
            EXPECT_EQ(layout.size[n], directory_size(&dir, n)) << n;
        }
        EXPECT_EQ(0, std::memcmp(dir.bytes + DIR_CLIENT_ID, TOOL_CUSTOMER_NAME, 12));
        for (size_t i = DIR_PAIRS + 40; form != PACKAGE_FORM_C && i < DIRECTORY_SIZE; ++i)
            ASSERT_EQ(0, dir.bytes[i]) << "byte " << i << " of a form A/B directory";
    }
}

TEST(PackageTrailer, BadChecksumOrMarkerIsRefused) {
    for (int form : {PACKAGE_FORM_A, PACKAGE_FORM_B, PACKAGE_FORM_C}) {
        PkgDescription d = five_sections(form);
        d.prefix = pkg_pattern(600, 9);
        d.bad_checksum = true;
        PackageDirectory dir;
        EXPECT_EQ(PACKAGE_FORM_NONE, find_form(pkgbuild_bytes(d), &dir)) << form;
    }
    PkgDescription d = five_sections(PACKAGE_FORM_C);
    d.bad_marker = true;
    PackageDirectory dir;
    EXPECT_EQ(PACKAGE_FORM_NONE, find_form(pkgbuild_bytes(d), &dir));
}

TEST(PackageTrailer, FormCWithBadMarkerAndValidFormBTailIsFormB) {
    // 200 bytes before the form B trailer carry the start of a form C
    // record (covered length 516), so the last 520 bytes look like form C
    // until the marker is checked.
    PkgDescription d = five_sections(PACKAGE_FORM_B);
    d.prefix = pkg_pattern(600, 9);
    Bytes file = pkgbuild_bytes(d);
    Bytes c_start(200, 0);
    put_u32(c_start.data(), 0, 516);
    trailer_xor(c_start.data(), c_start.size());
    file.insert(file.end() - FORM_B_SIZE, c_start.begin(), c_start.end());
    PackageDirectory dir;
    EXPECT_EQ(PACKAGE_FORM_B, find_form(file, &dir));
}

TEST(PackageTrailer, SizeLimitsOfFormsAAndB) {
    struct Case {
        int form;
        int section;
        uint32_t size;
        bool accepted;
    } cases[] = {
        {PACKAGE_FORM_A, SECTION_GPS, LIMIT_GPS_SIZE, true},
        {PACKAGE_FORM_A, SECTION_GPS, LIMIT_GPS_SIZE + 1, false},
        {PACKAGE_FORM_A, SECTION_BOOT, LIMIT_BOOT_SIZE + 1, false},
        {PACKAGE_FORM_B, SECTION_RADAR, LIMIT_RADAR_SIZE, true},
        {PACKAGE_FORM_B, SECTION_RADAR, LIMIT_RADAR_SIZE + 1, false},
        {PACKAGE_FORM_B, SECTION_VOICE, LIMIT_VOICE_SIZE + 1, false},
        {PACKAGE_FORM_C, SECTION_GPS, 0xF0000000u, true}, // form C limits only the boot
        {PACKAGE_FORM_C, SECTION_VOICE, 0xF0000000u, true},
        {PACKAGE_FORM_C, SECTION_BOOT, LIMIT_BOOT_SIZE, true},
        {PACKAGE_FORM_C, SECTION_BOOT, LIMIT_BOOT_SIZE + 1, false},
    };
    for (const Case& c : cases) {
        PkgDescription d = five_sections(c.form);
        d.prefix = pkg_pattern(600, 9);
        d.pair_override[c.section] = {0, c.size};
        PackageDirectory dir;
        int form = find_form(pkgbuild_bytes(d), &dir);
        EXPECT_EQ(c.accepted ? c.form : PACKAGE_FORM_NONE, form)
            << "form " << c.form << " section " << c.section << " size " << c.size;
    }
}

TEST(PackageTrailer, FileShorterThanFormCIsNeverAccepted) {
    // 400 bytes ending in a valid form A trailer: the probe 520 bytes before
    // the end fails and leaves the stream unusable for the later forms.
    PkgDescription d;
    d.form = PACKAGE_FORM_A;
    d.sections[SECTION_VOICE] = pkg_pattern(96, 1);
    Bytes file = pkgbuild_bytes(d);
    ASSERT_EQ(400u, file.size());
    PackageDirectory dir;
    EXPECT_EQ(PACKAGE_FORM_NONE, find_form(file, &dir));
    // The same trailer behind 216 more bytes is found.
    d.prefix = Bytes(216, 0);
    EXPECT_EQ(PACKAGE_FORM_A, find_form(pkgbuild_bytes(d), &dir));
}

TEST(PackageTrailer, StreamIsMovedBack) {
    PkgDescription d = five_sections(PACKAGE_FORM_C);
    TempFile f;
    ASSERT_TRUE(f.write(pkgbuild_bytes(d)));
    Stream* s = stream_open(f.w(), 0);
    uint8_t two[2];
    ASSERT_EQ(2, stream_read(s, two, 2));
    PackageDirectory dir;
    EXPECT_EQ(PACKAGE_FORM_C, package_find_trailer(s, &dir));
    EXPECT_EQ(2, stream_tell(s));
    stream_close(s);
    EXPECT_EQ(PACKAGE_FORM_NONE, package_find_trailer(nullptr, &dir));
}

TEST(PackageTrailer, AcceptChecksRecordBytes) {
    uint8_t dirbytes[DIRECTORY_SIZE] = {};
    Bytes rec = pkgbuild_trailer_record(PACKAGE_FORM_C, dirbytes);
    PackageDirectory dir;
    EXPECT_EQ(1, trailer_accept(rec.data(), rec.size(), PACKAGE_FORM_C, &dir));
    EXPECT_EQ(0, trailer_accept(rec.data(), rec.size(), PACKAGE_FORM_B, &dir)); // wrong size
    rec[100] ^= 1;
    EXPECT_EQ(0, trailer_accept(rec.data(), rec.size(), PACKAGE_FORM_C, &dir));
    EXPECT_EQ(0, trailer_accept(nullptr, 520, PACKAGE_FORM_C, &dir));
}

} // namespace
